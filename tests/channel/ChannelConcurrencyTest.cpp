// Many client threads on one channel at once: property reads and writes,
// E-to-E, refreshes, and Open and Close racing with all of them. Run under
// ThreadSanitizer by `make test`; here the calls must only ever return one
// of the answers a client can expect.
#include <atomic>
#include <thread>
#include <vector>

#include "tests/channel/ChannelFixture.h"

namespace {

class ChannelConcurrencyTest : public tmstest::ChannelFixture {};

bool OneOf(HRESULT hr, std::initializer_list<HRESULT> allowed) {
    for (HRESULT a : allowed) {
        if (hr == a) {
            return true;
        }
    }
    return false;
}

TEST_F(ChannelConcurrencyTest, ClientsRacingOpenAndCloseGetOnlyExpectedAnswers) {
    ASSERT_EQ(StartSimulator(), "");
    m_channel = NewChannel();
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    constexpr HRESULT kNotFound = HR(0x80045224);
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    auto check = [&](HRESULT hr, std::initializer_list<HRESULT> allowed) {
        if (!OneOf(hr, allowed)) {
            ++unexpected;
            ADD_FAILURE() << std::hex << hr;
        }
    };
    std::vector<std::thread> clients;
    clients.emplace_back([&] {
        for (int i = 0; i < 15; ++i) {
            check(m_channel->Close(), {S_OK});
            check(OpenIndex(m_channel, 0), {S_OK});
        }
        stop = true;
    });
    clients.emplace_back([&] {
        while (!stop) {
            CVariant v;
            check(m_channel->GetResourceProperty(CBstr("video"), 0, CBstr("compression+mediadata"),
                                                 v.GetAddress()),
                  {S_OK, kNotFound});
            check(
                m_channel->GetResourceStatus(CBstr("video"), 0, CBstr("tickcount"), v.GetAddress()),
                {S_OK, kNotFound});
            unsigned c1 = 0, c2 = 0;
            CComPtr<ITmsContextBroker> broker;
            m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker));
            check(broker->GetChannelCapabilities(&c1, &c2), {S_OK});
        }
    });
    clients.emplace_back([&] {
        for (int i = 0; !stop; ++i) {
            check(m_channel->SetEtoE(i % 2), {S_OK});
            BOOL ee = 0;
            check(m_channel->GetEtoE(&ee), {S_OK});
        }
    });
    clients.emplace_back([&] {
        while (!stop) {
            check(m_channel->RefreshConfig(CBstr("gpin")), {S_OK, E_UNEXPECTED});
            check(m_channel->SetResourcePropertyEx(CBstr("video"), 0, CBstr("aspectratio"),
                                                   CVariant("16:9"), FALSE),
                  {S_OK, kNotFound, E_UNEXPECTED});
        }
    });
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(unexpected.load(), 0);
    BOOL ee = 0;
    EXPECT_EQ(m_channel->GetEtoE(&ee), S_OK);
}

}  // namespace
