// The record tests' fixture: channel 1 (Chan2) out of its gang, the
// simulator's clock held, a populated movie of one record segment and the
// readers of what a record leaves in its movie and media files.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/ITimeline.h"
#include "tests/channel/ContextFixture.h"
#include "tmschannel/context/ContextRecord.h"

namespace tmstest {

constexpr std::int32_t kCapacity = 2400;  // the record segment of the movie

class RecordFixture : public ContextFixture {
protected:
    void SetUp() override {
        ContextFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // Out of its gang: a follower leaves the marks to the gang's leader.
        EditConfig(R"(<Ganging gangIndex="0" gangOrder="1"/>)",
                   R"(<Ganging gangIndex="-1" gangOrder="-1"/>)");
        ASSERT_EQ(m_channel->RefreshConfig(CBstr("")), S_OK) << LastErrorText();
        ASSERT_TRUE(m_shmem.Open());
        ASSERT_EQ(SimControl("clock hold"), "ok");
    }
    void TearDown() override {
        ::unsetenv("TMS_VOLUME_QUOTA");
        m_shmem.Close();
        ContextFixture::TearDown();
    }

    void Apply(unsigned token, std::vector<unsigned char> record) {
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, record.data()), S_OK) << LastErrorText();
    }
    TmsPortContextStatus Port(unsigned token) const {
        TmsPortContextStatus s{};
        EXPECT_TRUE(m_shmem.GetContextStatus(kChannel, static_cast<int>(token & 0xFF), &s));
        return s;
    }
    std::int32_t Status(unsigned token, const char* name) {
        CVariant v;
        EXPECT_EQ(m_channel->GetStatus(token, CBstr(name), v.GetAddress()), S_OK)
            << LastErrorText();
        return v.ToInt32();
    }
    std::int32_t MovieI4(const char* name) {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr(name), v.GetAddress()), S_OK);
        return v.ToInt32();
    }
    bool UnderConstruction() {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr("underConstruction"), v.GetAddress()), S_OK);
        return v.ToBool();
    }
    std::string VideoFile() {
        unsigned short code = 0;
        EXPECT_EQ(m_movie->GetSegmentAtPosition(VideoTrackType(), 0, 0, &code), S_OK);
        long type = 0, in = 0, out = 0, duration = 0;
        CBstr name;
        EXPECT_EQ(m_movie->GetSegmentDescription(VideoTrackType(), 0, code, &type, &name, &in, &out,
                                                 &duration),
                  S_OK);
        return m_dir.Path() + "/volumes/V/" + name.ToUtf8();
    }
    // A populated movie of one record segment, cued for record at 0 and
    // recording its first field (a held clock publishes only with a step).
    unsigned StartRecord(const char* name) {
        CComPtr<IUnknown> timeline;
        const std::uint16_t code = Create(name, true, kCapacity, &timeline);
        m_movie = MovieOf(timeline);
        const unsigned token = Alloc(code);
        Apply(token, Change(context_record::kPortState | context_record::kPosition, TmsCueRecord,
                            0.0f, 0, kCapacity));
        Apply(token, Change(context_record::kPortState, TmsShuttleRecord, 0.0f, 0, kCapacity));
        EXPECT_EQ(SimControl("clock step 1"), "ok");
        // The status pass sees the record and construction begins.
        EXPECT_TRUE(Eventually([&] { return UnderConstruction(); }));
        return token;
    }

    // Records 240 fields, then plays the recording from 0 at 1x with the
    // clock stepped past its mark out: auto stop holds it at 239. The
    // context of the play in *played.
    void PlayRecordingToItsMarkOut(unsigned* played) {
        unsigned token = StartRecord("played");
        ASSERT_EQ(tmstest::SimControl("clock step 239"), "ok");
        Apply(token, Change(context_record::kPortState, TmsIdle, 0.0f, 0, kCapacity));
        ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
        ASSERT_EQ(m_channel->WaitForPortState(token, TmsIdle, 5000), S_OK);
        ASSERT_TRUE(tmstest::Eventually([&] { return !UnderConstruction(); }));
        ASSERT_EQ(MovieI4("markOut"), 240);
        ASSERT_EQ(m_channel->FreeContext(token), S_OK);

        // The timeline of the recording, mark in 0 to mark out 240, from 0.
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        ASSERT_EQ(m_channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr("played"), &code, &iid,
                                          reinterpret_cast<void**>(&timeline)),
                  S_OK)
            << LastErrorText();
        token = Alloc(code);
        Apply(token, Change(context_record::kPortState | context_record::kPosition, TmsCuePlay,
                            0.0f, 0, 240));
        Apply(token, Change(context_record::kPortState | context_record::kSpeed, TmsShuttlePlay,
                            1.0f, 0, 240));
        ASSERT_EQ(tmstest::SimControl("clock step 400"), "ok");
        // The RTS holds at the maximum (239) and the context stops it there.
        EXPECT_TRUE(tmstest::Eventually([&] { return Port(token).speed == 0.0f; }));
        EXPECT_EQ(Port(token).position, 239);
        EXPECT_EQ(Port(token).portState, TmsShuttlePlay);
        *played = token;
    }

    CRtsShmem m_shmem;
    CComPtr<IMovie> m_movie;
};

}  // namespace tmstest
