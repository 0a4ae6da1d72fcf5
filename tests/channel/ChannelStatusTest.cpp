// The status monitor of an open channel against tms-rtssim: what GetStatus
// and the status block show follows the simulator, GPI inputs, storage, an
// RTS that dies, and closing while the monitor runs.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"
#include "tmschannel/channel/StatusSchedule.h"

namespace {

using namespace std::chrono_literals;
using ChannelStatusTest = tmstest::ContextFixture;

constexpr HRESULT kUnknownVolume = HR(0x80043010);

// Polls until done() or 5 s have passed.
bool Eventually(const std::function<bool()>& done) {
    return tmstest::Eventually(done, std::chrono::seconds(5));
}

std::int32_t I4(ITmsChannel* channel, unsigned token, const char* name) {
    CVariant v;
    EXPECT_EQ(channel->GetStatus(token, CBstr(name), v.GetAddress()), S_OK) << name;
    return v.ToInt32();
}

TEST_F(ChannelStatusTest, StatusNamesAndTheBlockFollowThePortGpiAndStorage) {
    const unsigned token = Alloc(Create("status", true, 600));
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 100);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    EXPECT_TRUE(Eventually([&] { return I4(m_channel, token, "portstate") == TmsCuePlay; }));
    EXPECT_EQ(I4(m_channel, token, "position"), 100);
    auto play = Change(0x0104, TmsShuttlePlay, 1.0f);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    EXPECT_TRUE(Eventually([&] { return I4(m_channel, token, "position") > 130; }));
    EXPECT_EQ(I4(m_channel, token, "portstate"), TmsShuttlePlay);

    // The block as another process reads it: the newest context slot.
    CChanAccess access(kChannel);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    CVariant published;
    EXPECT_TRUE(Eventually([&] {
        return access.StringToStatus("portstate", false, nullptr, nullptr,
                                     published.GetAddress()) == S_OK &&
               published.ToInt32() == TmsShuttlePlay;
    }));

    // GPI: the first query reports no change, the next what changed since.
    EXPECT_EQ(I4(m_channel, 0, "gpiinputs"), 0);
    ASSERT_EQ(tmstest::SimControl("gpi 1 3 on"), "ok");
    std::uint32_t mask = 0;
    EXPECT_TRUE(Eventually([&] {
        std::memcpy(&mask, access.StatusBlock() + 0x150F0, 4);
        return (mask & 0x8u) != 0;
    }));
    EXPECT_EQ(I4(m_channel, 0, "gpiinputs"), 0x8);
    EXPECT_EQ(I4(m_channel, 0, "gpiinputs"), 0) << "no change since the last query";

    long total = 0, remaining = 0, fields = 0;
    ASSERT_EQ(m_channel->GetStorage(CBstr("v:"), &total, &remaining, &fields), S_OK)
        << LastErrorText();
    EXPECT_GT(total, 0);
    EXPECT_LE(remaining, total);
    EXPECT_GE(fields, 1);
    EXPECT_EQ(m_channel->GetStorage(CBstr("Z:"), &total, &remaining, &fields), kUnknownVolume);
    EXPECT_EQ(LastErrorText(), "Unknown disk volume 'Z:'");
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

// The byte ranges of now that differ from before, "0x14888-0x1488a ...".
std::string ChangedRanges(const std::vector<std::uint8_t>& before, const std::uint8_t* now) {
    std::string out;
    for (std::size_t i = 0; i < before.size();) {
        if (before[i] == now[i]) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < before.size() && before[end] != now[end]) {
            ++end;
        }
        char text[40];
        std::snprintf(text, sizeof text, "%s0x%zx-0x%zx", out.empty() ? "" : " ", i, end);
        out += text;
        i = end;
    }
    return out;
}

// The block with every ring's index word and the publisher's tick zeroed:
// they go on moving while the monitor runs, whatever it finds.
std::vector<std::uint8_t> WithoutRingIndexes(const std::uint8_t* block) {
    std::vector<std::uint8_t> copy(block, block + statusmem::kBlockSize);
    for (const statusmem::Ring& r : statusmem::kRings) {
        std::memset(copy.data() + r.indexOffset, 0, 4);
    }
    std::memset(copy.data() + statusmem::kAudioRingIndex, 0, 4 * statusmem::kAudioRings);
    std::memset(copy.data() + 0x15108, 0, 4);
    return copy;
}

// An RTS whose tick stands still: every cycle finds nothing new and
// publishes again what it published last, so once every ring has gone
// round not a byte of the block changes but the ring indexes.
TEST_F(ChannelStatusTest, ATickThatDidNotMovePublishesNothingNew) {
    const unsigned token = Alloc(Create("held", true, 6000));
    auto cue = Change(0x000C, TmsCuePlay, 0.0f, 0);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK) << LastErrorText();
    auto play = Change(0x0104, TmsShuttlePlay, 1.0f);
    ASSERT_EQ(m_broker->ApplyContextChange(token, 124, play.data()), S_OK) << LastErrorText();
    ASSERT_TRUE(Eventually([&] { return I4(m_channel, token, "position") > 10; }));

    CChanAccess access(kChannel);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    auto ringIndex = [&] {
        std::int32_t index = 0;
        std::memcpy(&index, access.StatusBlock() + statusmem::kRings[0].indexOffset, 4);
        return index;
    };
    // Every slot of the channel ring comes to hold the cycle that saw the
    // last tick, once the ring has gone round.
    auto oneCycleNumber = [&] {
        std::uint16_t cycles[30];
        std::memcpy(cycles, access.StatusBlock() + 0x14888, sizeof cycles);
        return std::count(std::begin(cycles), std::end(cycles), cycles[0]) == 30;
    };
    ASSERT_TRUE(Eventually(oneCycleNumber));
    std::this_thread::sleep_for(100ms);  // and every other ring with it
    const std::vector<std::uint8_t> before = WithoutRingIndexes(access.StatusBlock());
    const std::int32_t held = I4(m_channel, token, "position");
    const std::int32_t indexBefore = ringIndex();
    std::this_thread::sleep_for(300ms);  // fifteen cycles
    EXPECT_EQ(ChangedRanges(before, WithoutRingIndexes(access.StatusBlock()).data()), "");
    EXPECT_NE(ringIndex(), indexBefore) << "the monitor still runs";
    // ... and says so to readers: it names its process in every cycle.
    std::int32_t publisher = 0;
    std::memcpy(&publisher, access.StatusBlock() + 0x15104, 4);
    EXPECT_EQ(publisher, ::getpid());
    EXPECT_EQ(I4(m_channel, token, "position"), held);
    EXPECT_TRUE(oneCycleNumber());

    ASSERT_EQ(tmstest::SimControl("clock run"), "ok");
    EXPECT_TRUE(Eventually([&] { return I4(m_channel, token, "position") > held; }));
    EXPECT_TRUE(Eventually([&] {
        return ChangedRanges(before, WithoutRingIndexes(access.StatusBlock()).data()) != "";
    }));
    ASSERT_EQ(m_channel->FreeContext(token), S_OK);
}

// A volume filling up: the remaining record time falls with the free space
// and, under the 5% reserve, the storage is full.
TEST_F(ChannelStatusTest, AVolumeFillingUpShortensTheRecordTimeAndThenIsFull) {
    ::setenv("TMS_VOLUME_QUOTA", "V:=200000000", 1);
    auto storage = [&] {
        long total = 0, remaining = 0, fields = 0;
        EXPECT_EQ(m_channel->GetStorage(CBstr("V:"), &total, &remaining, &fields), S_OK);
        return std::array<long, 3>{total, remaining, fields};
    };
    // 200 MB less the 5% reserve.
    ASSERT_TRUE(Eventually([&] { return storage()[0] == 190000000 >> 20; }));
    const long before = storage()[2];
    ASSERT_GT(before, 1) << "the video records at a known rate";
    const std::filesystem::path fill = m_dir.Path() + "/volumes/V/fill";
    std::ofstream{fill}.close();
    std::filesystem::resize_file(fill, 100000000);
    EXPECT_TRUE(Eventually([&] { return storage()[2] < before; }));
    EXPECT_EQ(I4(m_channel, 0, "storagestatus"), 1);
    std::filesystem::resize_file(fill, 195000000);
    EXPECT_TRUE(Eventually([&] { return storage()[2] == 1; }));
    CVariant state;
    ASSERT_EQ(m_channel->GetStatus(0, CBstr("storagestatusstr"), state.GetAddress()), S_OK);
    EXPECT_EQ(state.ToString(), "StorageFull");
    EXPECT_EQ(storage()[1], 0);
    ::unsetenv("TMS_VOLUME_QUOTA");
}

TEST_F(ChannelStatusTest, AnRtsThatDiesTakesTheChannelOfflineAndEndsTheMonitor) {
    CChanAccess access(kChannel);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    m_sim.Kill();
    bool offline = false;
    EXPECT_TRUE(Eventually([&] { return access.IsChanOffline(offline) == S_OK && offline; }));
    EXPECT_TRUE(Eventually([] {
        for (const auto& r : tmstest::ReadLog()) {
            if (r.text == "Chan2: the RTS connection is lost; status updates end") {
                return true;
            }
        }
        return false;
    }));
    // The monitor has ended: Close neither waits for it nor for the
    // channel to come back.
    EXPECT_TRUE(FAILED(m_channel->Close()));
    EXPECT_EQ(m_channel->Close(), S_OK) << "closed";
    // What the killed simulator could not remove itself.
    for (const std::string& name : tmstest::NamedObjectsLeft()) {
        if (name.find("StatusMemory") == std::string::npos) {
            std::filesystem::remove("/dev/shm/" + name);
        }
    }
}

// Closing while the monitor is in a cycle, or while a context is busy, a
// hundred times: nothing the monitor uses goes before it has ended (run
// under the sanitizers with the rest of the suite), and nothing is left.
TEST_F(ChannelStatusTest, ConcurrencyCloseWhileTheMonitorRuns) {
    // Every library is loaded by now: no close may leave a thread, a
    // descriptor or a shared-memory object behind.
    auto entries = [](const char* folder) {
        return std::distance(std::filesystem::directory_iterator(folder),
                             std::filesystem::directory_iterator());
    };
    ASSERT_EQ(m_channel->Close(), S_OK);
    const auto threads = entries("/proc/self/task");
    const auto fds = entries("/proc/self/fd");
    const auto shm = tmstest::NamedObjectsLeft().size();
    ASSERT_EQ(OpenIndex(m_channel, kChannel), S_OK);
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        if (i % 10 == 0) {
            const unsigned token = Alloc(Create(("busy" + std::to_string(i)).c_str(), true, 60));
            auto cue = Change(0x000C, TmsCuePlay, 0.0f);
            ASSERT_EQ(m_broker->ApplyContextChange(token, 124, cue.data()), S_OK);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7 * 3));
        ASSERT_EQ(m_channel->Close(), S_OK) << LastErrorText();
        ASSERT_EQ(OpenIndex(m_channel, kChannel), S_OK) << LastErrorText();
    }
    ASSERT_EQ(m_channel->Close(), S_OK);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), fds);
    EXPECT_EQ(tmstest::NamedObjectsLeft().size(), shm);
}

// A channel offline when Close comes waits for it to come back only for a
// bounded time, then closes all the same.
TEST_F(ChannelStatusTest, AChannelLeftOfflineStillCloses) {
    CChanAccess access(kChannel);
    BOOL created = FALSE;
    ASSERT_TRUE(access.Open(&created));
    ASSERT_EQ(access.SetChanOfflineEvent(true), S_OK);
    EXPECT_EQ(m_channel->Close(), S_OK) << LastErrorText();
    bool waited = false, gaveUp = false;
    for (const auto& r : tmstest::ReadLog()) {
        waited = waited || r.text == "Waiting for Chan2 to come back online before closing";
        gaveUp = gaveUp || r.text == "Chan2: still offline after 5000 ms; closing anyway";
    }
    EXPECT_TRUE(waited);
    EXPECT_TRUE(gaveUp);
}

TEST(StatusScheduleTest, CycleNumbersWrapToOne) {
    const std::pair<std::uint16_t, std::uint16_t> rows[] = {
        {0, 1}, {1, 2}, {65534, 65535}, {65535, 1}};
    for (auto [from, to] : rows) {
        EXPECT_EQ(CStatusSchedule::NextCycle(from), to) << from;
    }
}

// The schedule's clock, stepped by the test: a loaded machine cannot
// oversleep it past a deadline.
CStatusSchedule::Clock::time_point g_scheduleNow{std::chrono::seconds(1000)};

TEST(StatusScheduleTest, DeadlinesStayOnTheGridAfterALateCycle) {
    using std::chrono::milliseconds;
    CStatusSchedule schedule(milliseconds(5), [] { return g_scheduleNow; });
    schedule.Start();
    const auto first = schedule.Deadline();
    EXPECT_EQ(first, g_scheduleNow + milliseconds(5));
    EXPECT_EQ(schedule.Remaining(), milliseconds(5));
    g_scheduleNow = first + std::chrono::microseconds(300);
    schedule.Begin();
    EXPECT_EQ(schedule.Deadline(), first + milliseconds(5));
    EXPECT_EQ(schedule.MaxLatenessUs(), 300);
    // A cycle begun 12 ms after its deadline (at first + 17) skips the
    // deadline it missed by more than a period (first + 10) and keeps the
    // grid of the first: the next cycle is due at first + 15, at once.
    g_scheduleNow = schedule.Deadline() + milliseconds(12);
    schedule.Begin();
    EXPECT_EQ(schedule.Deadline(), first + milliseconds(15));
    EXPECT_EQ(schedule.Remaining(), milliseconds(0));
    EXPECT_EQ(schedule.MaxLatenessUs(), 12000);
    EXPECT_EQ(schedule.Cycles(), 2u);
}

}  // namespace
