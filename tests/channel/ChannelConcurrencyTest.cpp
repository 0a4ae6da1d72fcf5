// Many client threads on one channel at once: property reads and writes,
// E-to-E, refreshes, and Open and Close racing with all of them. Run under
// ThreadSanitizer by `make test`; here the calls must only ever return one
// of the answers a client can expect.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/kernel/Mutex.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/timeline/ITimeline.h"
#include "tests/channel/ChannelFixture.h"
#include "tests/context/ChangeRecord.h"

namespace {

using namespace std::chrono_literals;

constexpr HRESULT kNotFound = HR(0x80045224);

class ChannelConcurrencyTest : public tmstest::ChannelFixture {
protected:
    void SetUp() override {
        ChannelFixture::SetUp();
        ASSERT_EQ(StartSimulator(), "");
        m_channel = NewChannel();
        ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    }
    // Counts, and reports, an answer no client may get.
    void Check(HRESULT hr, std::initializer_list<HRESULT> allowed) {
        for (HRESULT a : allowed) {
            if (hr == a) {
                return;
            }
        }
        ++m_unexpected;
        ADD_FAILURE() << std::hex << hr;
    }
    std::atomic<int> m_unexpected{0};
};

TEST_F(ChannelConcurrencyTest, ClientsRacingOpenAndCloseGetOnlyExpectedAnswers) {
    std::atomic<bool> stop{false};
    auto check = [this](HRESULT hr, std::initializer_list<HRESULT> allowed) { Check(hr, allowed); };
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
    EXPECT_EQ(m_unexpected.load(), 0);
    BOOL ee = 0;
    EXPECT_EQ(m_channel->GetEtoE(&ee), S_OK);
}

// Regression: setting "gangindex" read the other channels' status blocks
// through the process-wide table's entries without holding its mutex, while
// Close of one of those channels removed its entry and freed the block.
TEST_F(ChannelConcurrencyTest, GangIndexWhileAnotherChannelClosesNeverReadsAFreedBlock) {
    CComPtr<ITmsChannel> follower = NewChannel();
    ASSERT_EQ(OpenIndex(follower, 1), S_OK) << LastErrorText();
    std::atomic<bool> stop{false};
    std::thread opener([&] {
        for (int i = 0; i < 10; ++i) {
            Check(m_channel->Close(), {S_OK});
            Check(OpenIndex(m_channel, 0), {S_OK});
        }
        stop = true;
    });
    int sets = 0;
    while (!stop) {
        const std::int32_t gang = sets++ % 2 == 0 ? -1 : 0;
        Check(follower->SetChannelProperty(CBstr("gangindex"), CVariant(gang).GetVARIANT()),
              {S_OK});
    }
    opener.join();
    EXPECT_EQ(m_unexpected.load(), 0);
    // With channel 0 open, joining gang 0 makes channel 1 its second member.
    ASSERT_EQ(
        follower->SetChannelProperty(CBstr("gangindex"), CVariant(std::int32_t{-1}).GetVARIANT()),
        S_OK);
    ASSERT_EQ(
        follower->SetChannelProperty(CBstr("gangindex"), CVariant(std::int32_t{0}).GetVARIANT()),
        S_OK)
        << LastErrorText();
    CVariant order;
    ASSERT_EQ(follower->GetChannelProperty(CBstr("gangorder"), order.GetAddress()), S_OK);
    EXPECT_EQ(order.ToInt32(), 1);
    EXPECT_EQ(follower->Close(), S_OK);
}

TEST_F(ChannelConcurrencyTest, ContextsAndTimelinesRacingWithTheTimelinesCallbacks) {
    std::atomic<bool> stop{false};
    std::atomic<int> allocated{0};
    auto check = [this](HRESULT hr, std::initializer_list<HRESULT> allowed) { Check(hr, allowed); };
    // One timeline stays; the status records its contexts report come back
    // to the broker on the timeline component's own thread.
    unsigned short kept = 0;
    CComPtr<ITimeline> keptTimeline;
    GUID iid = IID_ITimeline;
    ASSERT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr("kept"), FALSE, 0, &kept,
                                        &iid, reinterpret_cast<void**>(&keptTimeline)),
              S_OK);
    std::vector<std::thread> clients;
    for (int t = 0; t < 2; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < 40; ++i) {
                unsigned token = 0;
                const HRESULT hr = m_channel->AllocateContext(kept, &token);
                check(hr, {S_OK, kNotFound});
                if (hr == S_OK) {
                    ++allocated;
                    unsigned char record[40] = {};
                    check(keptTimeline->ContextStatus(token, 40, record), {S_OK, S_FALSE});
                    CVariant v;
                    check(
                        m_channel->GetStatus(token, CBstr("assigned+ctxportstate"), v.GetAddress()),
                        {S_OK, kNotFound});
                    check(m_channel->FreeContext(token), {S_OK});
                }
            }
        });
    }
    clients.emplace_back([&] {
        // Timelines of their own, with a context each, opened and closed.
        for (int i = 0; !stop && i < 30; ++i) {
            unsigned short code = 0;
            CComPtr<IUnknown> t;
            GUID any = IID_IUnknown;
            const std::string name = "churn" + std::to_string(i);
            check(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), FALSE, 0, &code,
                                            &any, reinterpret_cast<void**>(&t)),
                  {S_OK});
            unsigned token = 0;
            check(m_channel->AllocateContext(code, &token), {S_OK, kNotFound});
            check(m_channel->CloseTimeline(code), {S_OK});
        }
    });
    clients.emplace_back([&] {
        while (!stop) {
            CVariant v;
            check(m_channel->GetStatus(0, CBstr("assigned"), v.GetAddress()), {S_OK});
            unsigned char record[40] = {};
            check(keptTimeline->ContextStatus(0x10101, 40, record), {S_OK, S_FALSE});
        }
    });
    for (std::size_t i = 0; i + 1 < clients.size(); ++i) {
        clients[i].join();
    }
    stop = true;
    clients.back().join();
    EXPECT_EQ(m_unexpected.load(), 0);
    EXPECT_GT(allocated.load(), 0);
    keptTimeline.Release();
    EXPECT_EQ(m_channel->Close(), S_OK);
}

// Regression: the context calls searched the context table with no lock
// while Open appended to it and Close destroyed it, and WaitForPortState
// kept polling a context that Close had freed; CreateTimeline during Close's
// wait left a timeline open that no one closed. Every context operation now
// races Close and Open; the calls answer a failure or S_FALSE, never touch
// freed memory (AddressSanitizer, ThreadSanitizer), and nothing stays open.
TEST_F(ChannelConcurrencyTest, ContextCallsRacingCloseAndOpenNeverReachAFreedContext) {
    constexpr HRESULT kClosedOrClosing = E_UNEXPECTED;
    constexpr HRESULT kNoTimeline = kNotFound;
    std::atomic<bool> stop{false};
    std::atomic<int> admitted{0};
    auto check = [this](HRESULT hr, std::initializer_list<HRESULT> allowed) { Check(hr, allowed); };
    CComPtr<ITmsContextBroker> broker;
    ASSERT_EQ(m_channel->QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker)),
              S_OK);
    std::vector<std::string> names[2];  // by each creating thread
    std::vector<std::thread> clients;
    clients.emplace_back([&] {
        for (int i = 0; i < 12; ++i) {
            check(m_channel->Close(), {S_OK});
            check(OpenIndex(m_channel, 0), {S_OK});
        }
        stop = true;
    });
    for (int t = 0; t < 2; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                unsigned short code = 0;
                CComPtr<IUnknown> timeline;
                GUID any = IID_IUnknown;
                const std::string name = "race" + std::to_string(t) + "-" + std::to_string(i);
                const HRESULT created =
                    m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), FALSE, 0,
                                              &code, &any, reinterpret_cast<void**>(&timeline));
                check(created, {S_OK, kClosedOrClosing});
                if (created != S_OK) {
                    continue;
                }
                names[t].push_back(name);
                unsigned token = 0;
                const HRESULT allocated = m_channel->AllocateContext(code, &token);
                check(allocated, {S_OK, kNotFound, kClosedOrClosing});
                if (allocated == S_OK) {
                    ++admitted;
                    auto change = tmstest::ChangeRecord(0x0004 | 0x0008, TmsCuePlay, 0.0f, 10, 600);
                    check(broker->ApplyContextChange(token, 124, change.data()),
                          {S_OK, S_FALSE, kNotFound, HR(0x80043003)});
                    unsigned char update[40] = {};
                    check(broker->ApplyContextUpdate(token, 40, update), {S_OK, S_FALSE});
                    long playing = 0;
                    check(broker->IsPlaying(token, &playing), {S_OK, kNotFound});
                    check(m_channel->WaitForPortState(token, TmsShuttlePlay, 200), {S_OK, S_FALSE});
                    CVariant v;
                    check(m_channel->GetStatus(token, CBstr("assigned+portstate+ctxportstate"),
                                               v.GetAddress()),
                          {S_OK, kNotFound});
                    check(m_channel->FreeContext(token), {S_OK, S_FALSE});
                }
                check(m_channel->CloseTimeline(code), {S_OK, kNoTimeline, kClosedOrClosing});
            }
        });
    }
    clients.emplace_back([&] {
        // A wait that only Close can end: no context of this channel ever
        // reaches record.
        while (!stop) {
            for (unsigned index = 0; index < 4; ++index) {
                const unsigned token = (0u << 16) | (1u << 8) | index;
                check(m_channel->WaitForPortState(token, TmsShuttleRecord, 5000), {S_OK, S_FALSE});
            }
        }
    });
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(m_unexpected.load(), 0);
    EXPECT_GT(admitted.load(), 0);
    // Everything that was created is closed: a closed channel refuses new
    // work by name, and the same movies open again on the reopened channel.
    ASSERT_EQ(m_channel->Close(), S_OK);
    unsigned token = 0;
    EXPECT_EQ(m_channel->AllocateContext(1, &token), kClosedOrClosing);
    EXPECT_EQ(LastErrorText(), "AllocateContext: the channel is not open");
    ASSERT_EQ(OpenIndex(m_channel, 0), S_OK);
    for (const auto& made : names) {
        for (std::size_t i = 0; i < made.size() && i < 3; ++i) {
            SCOPED_TRACE(made[i]);
            unsigned short code = 0;
            CComPtr<IUnknown> again;
            GUID any = IID_IUnknown;
            EXPECT_EQ(m_channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr(made[i]), &code,
                                              &any, reinterpret_cast<void**>(&again)),
                      S_OK)
                << LastErrorText();
            EXPECT_EQ(m_channel->CloseTimeline(code), S_OK);
        }
    }
}

// Regression: AllocateContext published the new context's movie status under
// the channel lock, so a publication waiting for the status-file mutex (up
// to 5000 ms) or a slow movie held up every call that takes that lock: the
// status monitor's cycle, E-to-E, Close. Another holder keeps the mutex here
// while the allocation publishes. A call that takes the channel lock comes
// back while the allocation is still waiting, and so does CloseTimeline,
// which revokes the context under way; once the mutex is free the
// allocation ends and no context stays registered with the closed timeline.
TEST_F(ChannelConcurrencyTest, AllocateContextHeldTheChannelLockWhilePublishing) {
    unsigned short code = 0;
    CComPtr<IUnknown> timeline;
    GUID any = IID_IUnknown;
    ASSERT_EQ(m_channel->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr("held"), FALSE, 0, &code,
                                        &any, reinterpret_cast<void**>(&timeline)),
              S_OK);
    // The mutex is held by a thread of its own, as another process would:
    // this thread takes the channel lock below, and must not hold the
    // mutex while it does (the channel takes them the other way round).
    CChanAccess access(0);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    std::promise<bool> taken;
    std::promise<void> release;
    std::thread holder([&] {
        const bool held = WaitForSingleObject(access.MutexHandle(), 5000) == WAIT_OBJECT_0;
        taken.set_value(held);
        if (held) {
            release.get_future().wait_for(60s);
            ReleaseMutex(access.MutexHandle());
        }
    });
    if (!taken.get_future().get()) {
        holder.join();
        FAIL() << "the status-file mutex was not free within 5000 ms";
    }

    std::atomic<bool> allocated{false};
    HRESULT allocation = E_FAIL;
    unsigned token = 0;
    // Bit 15: publish at once, whatever the other contexts do.
    std::thread client([&] {
        allocation = m_channel->AllocateContext(static_cast<unsigned short>(code | 0x8000), &token);
        allocated = true;
    });
    // The chosen context carries its token from before the publication on
    // (channel 0, the first context).
    const unsigned expected = static_cast<unsigned>(code) << 8;
    bool reserved = false;
    for (int i = 0; i < 1000 && !reserved && !allocated; ++i) {
        CVariant v;
        reserved = m_channel->GetStatus(expected, CBstr("assigned"), v.GetAddress()) == S_OK;
        if (!reserved) {
            std::this_thread::sleep_for(5ms);
        }
    }
    // Both take the channel lock; neither waits for the publication.
    BOOL ee = 0;
    const HRESULT read = m_channel->GetEtoE(&ee);
    const bool allocatedBeforeRead = allocated;
    const HRESULT closed = m_channel->CloseTimeline(code);
    const bool allocatedBeforeClose = allocated;
    release.set_value();
    holder.join();
    client.join();

    ASSERT_TRUE(reserved) << "the allocation never stamped its context";
    EXPECT_EQ(read, S_OK);
    EXPECT_FALSE(allocatedBeforeRead) << "GetEtoE waited for the allocation's publication";
    EXPECT_EQ(closed, S_OK) << LastErrorText();
    EXPECT_FALSE(allocatedBeforeClose) << "CloseTimeline waited for the allocation's publication";
    // Revoked before its publication: the publication finds no movie, or the
    // movie read fails and the allocation is undone. Either way the context
    // is free and the token names nothing.
    if (allocation == S_OK) {
        EXPECT_EQ(token, expected);
    } else {
        EXPECT_EQ(token, 0u);
    }
    CVariant v;
    EXPECT_EQ(m_channel->GetStatus(expected, CBstr("assigned"), v.GetAddress()), kNotFound);
    unsigned none = 0xDEAD;
    EXPECT_EQ(m_channel->AllocateContext(code, &none), kNotFound) << "the timeline is closed";
    EXPECT_EQ(none, 0u);
}

}  // namespace
