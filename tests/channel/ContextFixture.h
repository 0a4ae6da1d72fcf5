// The channel fixture with channel 1 open and its broker at hand, and the
// timelines and contexts the context tests make on it.
#pragma once

#include <cstring>
#include <vector>

#include "server/timeline/IMovie.h"
#include "tests/channel/ChannelFixture.h"
#include "tests/context/ChangeRecord.h"
#include "tests/rts/Golden.h"

namespace tmstest {

class ContextFixture : public ChannelFixture {
public:
    static constexpr std::uint32_t kChannel = 1;  // Chan2

    // A client's change record with the fields a transport change uses
    // (trigger Asap).
    static std::vector<unsigned char> Change(std::uint32_t flags, std::int32_t state, float speed,
                                             std::int32_t position = 0, std::int32_t length = 600) {
        return ChangeRecord(flags, state, speed, position, length);
    }

protected:
    void SetUp() override {
        ChannelFixture::SetUp();
        PrepareConfig();
        ASSERT_EQ(StartSimulator(), "");
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, kChannel), S_OK) << LastErrorText();
        ASSERT_EQ(
            m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&m_broker)),
            S_OK);
    }
    void TearDown() override {
        m_broker.Release();
        ChannelFixture::TearDown();
    }
    // Edits the configuration before the simulator and the channel read it.
    virtual void PrepareConfig() {}

    // A new movie "ds/grp/NAME" on the channel; its code.
    std::uint16_t Create(const char* name, bool populate = false, int length = 300,
                         IUnknown** timeline = nullptr) {
        unsigned short code = 0;
        CComPtr<IUnknown> t;
        GUID iid = IID_IUnknown;
        EXPECT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), populate,
                                            length, &code, &iid, reinterpret_cast<void**>(&t)),
                  S_OK)
            << LastErrorText();
        if (timeline != nullptr) {
            *timeline = t.Detach();
        }
        return code;
    }

    unsigned Alloc(std::uint16_t code, HRESULT expect = S_OK) {
        unsigned token = 0xDEAD;
        EXPECT_EQ(m_channel->AllocateContext(code, &token), expect) << LastErrorText();
        if (expect != S_OK) {
            EXPECT_EQ(token, 0u);
        }
        return token;
    }

    std::vector<DumpedMessage> ReceivedForm(const char* form) const {
        std::vector<DumpedMessage> out;
        for (auto& m : Received()) {
            if (m.FormName() == form) {
                out.push_back(m);
            }
        }
        return out;
    }

    static CComPtr<IMovie> MovieOf(IUnknown* timeline) {
        CComPtr<IMovie> movie;
        EXPECT_EQ(timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie)), S_OK);
        return movie;
    }

    std::int32_t VideoTrackType() {
        CVariant v;
        EXPECT_EQ(
            m_channel->GetResourceProperty(CBstr("video"), 0, CBstr("tracktype"), v.GetAddress()),
            S_OK);
        return v.ToInt32();
    }

    CComPtr<ITmsContextBroker> m_broker;
};

}  // namespace tmstest
