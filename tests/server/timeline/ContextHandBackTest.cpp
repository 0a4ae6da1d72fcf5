// The context status hand-back: another thread, in order, bounded, and
// revocation and destruction that race with a running callback.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/com/ComObjectBase.h"
#include "server/timeline/ITimeline.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using namespace std::chrono_literals;

struct Delivery {
    unsigned int token;
    int sequence;
    std::thread::id thread;
};

// Records what the timeline hands back; a hook may block or call back.
class CFakeBroker : public CComObjectBase<ITmsContextBroker> {
public:
    // The hook runs for records counted after it is set: a record already
    // counted (and so waited for) when the hook is set runs without it,
    // though its callback may not have returned yet.
    void SetHook(std::function<void(unsigned int token)> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }

    HRESULT ApplyContextUpdate(unsigned int token, int size, unsigned char* record) override {
        std::function<void(unsigned int token)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            EXPECT_GE(size, 40);
            m_got.push_back({token, record[0] | record[1] << 8, std::this_thread::get_id()});
            hook = m_hook;
        }
        m_changed.notify_all();
        if (hook) {
            hook(token);
        }
        return S_OK;
    }
    HRESULT ApplyContextChange(unsigned int, int, unsigned char*) override { return E_NOTIMPL; }
    HRESULT ApplyScheduledChange(unsigned int, BSTR, TmsPortContextCondition, unsigned int, long,
                                 int, unsigned char*) override {
        return E_NOTIMPL;
    }
    HRESULT GetChannelCapabilities(unsigned int*, unsigned int*) override { return E_NOTIMPL; }
    HRESULT IsPlaying(unsigned int, long*) override { return E_NOTIMPL; }

    // Waits until count records arrived; false after 30 s (a bound for a
    // loaded machine, not a figure the test measures).
    bool WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 30s, [&] { return m_got.size() >= count; });
    }
    std::vector<Delivery> Got() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_got;
    std::function<void(unsigned int token)> m_hook;
};

// A gate a callback waits at until the test opens it.
class CGate {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, 30s, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

HRESULT Report(ITimeline* timeline, unsigned int token, int sequence, int size = 40) {
    std::vector<unsigned char> record(static_cast<std::size_t>(size), 0);
    record[0] = static_cast<unsigned char>(sequence);
    record[1] = static_cast<unsigned char>(sequence >> 8);
    return timeline->ContextStatus(token, size, record.data());
}

class TimelineHandBackTest : public TimelineTest {
protected:
    void SetUp() override {
        TimelineTest::SetUp();
        m_timeline = Create("status").QueryInterface<ITimeline>();
        ASSERT_TRUE(m_timeline);
        m_broker = MakeComObject<CFakeBroker>();
    }

    // A failed assertion leaves the test with the hand-back thread perhaps
    // still at the gate: the gate outlives the timeline and opens first.
    void TearDown() override {
        m_gate.Open();
        m_timeline.Release();
        TimelineTest::TearDown();
    }

    CGate m_gate;
    CComPtr<ITimeline> m_timeline;
    CComPtr<CFakeBroker> m_broker;
};

TEST_F(TimelineHandBackTest, RecordsComeBackOnAnotherThreadInOrderPerToken) {
    EXPECT_EQ(m_timeline->RegisterContext(0, m_broker), E_INVALIDARG);
    EXPECT_EQ(m_timeline->RegisterContext(0x10101, nullptr), E_INVALIDARG);
    EXPECT_EQ(Report(m_timeline, 0x10101, 0), S_FALSE);  // not registered
    ASSERT_EQ(m_timeline->RegisterContext(0x10101, m_broker), S_OK);
    ASSERT_EQ(m_timeline->RegisterContext(0x10102, m_broker), S_OK);
    EXPECT_EQ(Report(m_timeline, 0x10101, 0, 39), E_INVALIDARG);
    EXPECT_EQ(m_timeline->ContextStatus(0x10101, 40, nullptr), E_POINTER);

    constexpr int kEach = 100;
    for (int i = 0; i < kEach; ++i) {
        ASSERT_EQ(Report(m_timeline, 0x10101, i), S_OK);
        ASSERT_EQ(Report(m_timeline, 0x10102, i, 64), S_OK);
    }
    ASSERT_TRUE(m_broker->WaitFor(2 * kEach));
    int next[2] = {0, 0};
    for (const Delivery& d : m_broker->Got()) {
        EXPECT_NE(d.thread, std::this_thread::get_id());
        EXPECT_EQ(d.sequence, next[d.token - 0x10101]++);
    }
    EXPECT_EQ(next[0] + next[1], 2 * kEach);
}

TEST_F(TimelineHandBackTest, RevokeWaitsForTheRunningCallbackAndNothingArrivesAfterIt) {
    CGate& gate = m_gate;
    std::atomic<bool> inCallback{false};
    m_broker->SetHook([&](unsigned int) {
        inCallback = true;
        gate.Pass();
    });
    ASSERT_EQ(m_timeline->RegisterContext(7, m_broker), S_OK);
    ASSERT_EQ(Report(m_timeline, 7, 0), S_OK);
    for (int i = 0; i < 100 && !inCallback; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(inCallback);
    for (int i = 1; i <= 5; ++i) {
        Report(m_timeline, 7, i);  // queued behind the running one
    }
    std::atomic<bool> revoked{false};
    std::thread revoker([&] {
        EXPECT_EQ(m_timeline->RevokeContext(7), S_OK);
        revoked = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(revoked);  // still waiting for the callback
    gate.Open();
    revoker.join();
    EXPECT_TRUE(revoked);
    EXPECT_EQ(Report(m_timeline, 7, 6), S_FALSE);
    EXPECT_EQ(m_timeline->RevokeContext(7), S_FALSE);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_broker->Got().size(), 1u);
}

// Revoking one token drops only its queued records, and the others keep
// their order, also when the queue has wrapped round its ring.
TEST_F(TimelineHandBackTest, RevokeKeepsTheOtherTokensRecordsInOrder) {
    ASSERT_EQ(m_timeline->RegisterContext(1, m_broker), S_OK);
    ASSERT_EQ(m_timeline->RegisterContext(2, m_broker), S_OK);
    for (int i = 0; i < 200; ++i) {  // moves the ring's start on
        ASSERT_EQ(Report(m_timeline, 2, i), S_OK);
    }
    ASSERT_TRUE(m_broker->WaitFor(200));
    CGate& gate = m_gate;
    m_broker->SetHook([&](unsigned int) { gate.Pass(); });
    ASSERT_EQ(Report(m_timeline, 2, 200), S_OK);
    ASSERT_TRUE(m_broker->WaitFor(201));
    for (int i = 0; i < 100; ++i) {  // behind the running one, round the ring's end
        ASSERT_EQ(Report(m_timeline, 1, i), S_OK);
        ASSERT_EQ(Report(m_timeline, 2, 201 + i), S_OK);
    }
    EXPECT_EQ(m_timeline->RevokeContext(1), S_OK);
    gate.Open();
    ASSERT_TRUE(m_broker->WaitFor(301));
    std::this_thread::sleep_for(50ms);
    const std::vector<Delivery> got = m_broker->Got();
    ASSERT_EQ(got.size(), 301u);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].token, 2u);
        EXPECT_EQ(got[i].sequence, static_cast<int>(i));
    }
}

TEST_F(TimelineHandBackTest, AFullQueueDropsTheOldestRecords) {
    CGate& gate = m_gate;
    m_broker->SetHook([&](unsigned int) { gate.Pass(); });
    ASSERT_EQ(m_timeline->RegisterContext(9, m_broker), S_OK);
    ASSERT_EQ(Report(m_timeline, 9, 0), S_OK);
    ASSERT_TRUE(m_broker->WaitFor(1));
    // 300 records behind the running one; the queue keeps the last 256 (45 to 300).
    for (int i = 1; i <= 300; ++i) {
        ASSERT_EQ(Report(m_timeline, 9, i), S_OK);
    }
    gate.Open();
    ASSERT_TRUE(m_broker->WaitFor(257));
    const std::vector<Delivery> got = m_broker->Got();
    ASSERT_EQ(got.size(), 257u);
    EXPECT_EQ(got[1].sequence, 45);
    EXPECT_EQ(got.back().sequence, 300);
}

TEST_F(TimelineHandBackTest, TheLastReleaseInsideACallbackNeitherDeadlocksNorCrashes) {
    // Once the test lets go, the broker holds the only reference; its
    // callback revokes itself and drops the timeline, which so dies on its
    // own thread.
    CComPtr<ITimeline> held = m_timeline;
    CGate& gate = m_gate;
    std::atomic<bool> done{false};
    m_broker->SetHook([&](unsigned int token) {
        gate.Pass();
        EXPECT_EQ(held->RevokeContext(token), S_OK);
        held = nullptr;
        done = true;
    });
    ASSERT_EQ(m_timeline->RegisterContext(3, m_broker), S_OK);
    ASSERT_EQ(Report(m_timeline, 3, 0), S_OK);
    m_timeline = nullptr;
    gate.Open();
    for (int i = 0; i < 500 && !done; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(done);
    // The broker's reference from the registration went with the timeline.
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_broker->AddRef(), 2u);
    m_broker->Release();
}

}  // namespace
}  // namespace tltest
