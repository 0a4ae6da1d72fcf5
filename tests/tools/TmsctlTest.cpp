#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/kernel/Mutex.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/ChanAccess.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"
#include "tests/tools/TmsctlProcess.h"
#include "tools/tmsctl/ChannelStatusText.h"
#include "tools/tmsctl/OutputsText.h"

namespace {

using tmstest::RunResult;
using tmstest::ScriptProcess;
using tmstest::Tmsctl;
using tmstest::WatchUntil;

TEST(TmsctlTest, TimecodeInvocations) {
    struct Row {
        const char* args;
        int exit;
        const char* output;
    } rows[] = {
        {"timecode --format 0 --drop-frame 3600", 0, "00:01:00,02\n"},
        {"timecode --format Format525_29_97Hz_2To1 --drop-frame -1", 0, "23:59:59;29\n"},
        {"timecode --format 0 --drop-frame --parse '00:10:00;00'", 0, "35964\n"},
        {"timecode --format Format625_50Hz_2To1 --parse 00:00:01:00", 0, "50\n"},
        {"timecode --format 99 1", 2, "unknown video format '99'"},
        {"timecode --format Bogus 1", 2, "unknown video format 'Bogus'"},
        {"timecode --format 0 --parse 00:61:00:00", 2, "minutes 61 out of range"},
        {"timecode --format 0 12x", 2, "position '12x'"},
        {"timecode 1", 2, "--format is required"},
        {"timecode --format 1 --drop-frame 0", 0, "no drop-frame timecode"},
        {"nosuch", 2, "unknown subcommand 'nosuch'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        RunResult r = Tmsctl(row.args);
        EXPECT_EQ(r.exit, row.exit) << r.out;
        EXPECT_NE(r.out.find(row.output), std::string::npos) << r.out;
    }
}

// The demo's movie is two segments long and the port is printed as the RTS
// reports it: held at the cue, then moving at the play's and the shuttle's
// speeds.
TEST(TmsctlTest, DemoPlaysATwoSegmentMovieAndPrintsThePort) {
    const RunResult r = Tmsctl("demo");
    EXPECT_EQ(r.exit, 0) << r.out;
    for (const char* expected :
         {"length 600", "track 4.0: 2 segment(s)", "> port .\n  RTS: cue at 0, speed 0.00",
          "  RTS: play at ", "speed 1.00", "speed -2.00", "What the RTS received"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    // The watch of the playing channel, as another process reads the
    // status memory: three snapshots, each a later cycle and position.
    const std::regex line(R"(context cycle (\d+) slot \d+  ShuttlePlay  position \S+ \((\d+)\))");
    std::vector<std::pair<int, int>> seen;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), line);
         it != std::sregex_iterator(); ++it) {
        seen.emplace_back(std::stoi((*it)[1]), std::stoi((*it)[2]));
    }
    ASSERT_EQ(seen.size(), 3u) << r.out;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GT(seen[i].first, seen[i - 1].first) << r.out;
        EXPECT_GT(seen[i].second, seen[i - 1].second) << r.out;
    }
}

}  // namespace

namespace {

// tmsctl run against a simulator that tmsctl's own demo machinery does not
// start: the script is the client, the registry and the RTS are the test's.
class TmsctlRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Tmsctl("register").exit, 0);
        ASSERT_EQ(m_sim.Start(TMS_RTSSIM, m_dir.Path()), "");
    }
    // The simulator stands for the server: stopping it removes the status
    // memory that the script's channel made (TestRuntimeDir checks).
    void TearDown() override { m_sim.Stop(); }
    RunResult Script(const std::string& text) {
        const std::string path = m_dir.Path() + "/script.txt";
        std::ofstream(path, std::ios::trunc) << text;
        return Tmsctl("run " + path);
    }
    tmstest::TestRuntimeDir m_dir;
    tmstest::RtsSimProcess m_sim;
};

TEST_F(TmsctlRunTest, EachCallIsPrintedWithItsResultAndFailuresWithNameAndMessage) {
    const RunResult r = Script(
        "open 0\nee on\nee\nresprop video 0 compression\nresprop video 3 compression\nclose\n");
    EXPECT_EQ(r.exit, 1) << r.out;  // one call failed
    EXPECT_NE(r.out.find("> ee\n  S_OK  True\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  S_OK  \"Mpeg\"\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  failed 0x80045224 NOT_FOUND: Could not find resource video[3]"),
              std::string::npos)
        << r.out;
}

TEST_F(TmsctlRunTest, TimelinesAndContextsByCodeAndTokenThenTheStoredMovies) {
    const RunResult r = Script(
        "open 0\ntimeline create ds grp clip 120 populate\nalloc .\nstatus . assigned\n"
        "cue . 10\nwait . cue 2000\nplay .\nwait . play 2000\nchange . state=record\n"
        "free .\ntimeline close .\ntimeline close .\nalloc 9\nclose\n");
    EXPECT_EQ(r.exit, 1) << r.out;  // the record, the second close and the last alloc fail
    for (const char* expected :
         {"> alloc .\n  S_OK  \"0x100\"\n", "> status . assigned\n  S_OK  True\n",
          "failed 0x80045224 NOT_FOUND: Could not find timeline code 1 in "
          "channel 'Chan1'",
          "Could not find timeline code 9 in channel 'Chan1'"}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    for (const char* bad :
         {"timeline extend . x 5\n", "change . speed=fast\n", "cue\n", "wait . sideways 10\n"}) {
        const RunResult usage = Script(bad);
        EXPECT_EQ(usage.exit, 2) << bad << usage.out;
    }

    // The movie was stored; a file that is not a movie is named, not listed half.
    std::ofstream(m_dir.Path() + "/movies/ds/grp/broken.movie") << "<movie";
    const RunResult list = Tmsctl("movies --runtime " + m_dir.Path());
    EXPECT_EQ(list.exit, 1) << list.out;
    EXPECT_NE(list.out.find("clip"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("broken                   unreadable:"), std::string::npos) << list.out;
}

TEST_F(TmsctlRunTest, OutOfRangeNumbersAndControlCharactersAreRefusedNamingTheArgument) {
    struct Row {
        std::string script;
        const char* says;
    };
    const Row rows[] = {
        {"open 4294967296\n",
         "line 1: open: CHANNEL-NUMBER '4294967296' is out of range (0 to 2147483647)\n"},
        {"resprop video 4294967296 compression\n",
         "line 1: resprop: NUMBER '4294967296' is out of range (0 to 2147483647)\n"},
        {"sleep 99999999999999999999\n",
         "line 1: sleep: MILLISECONDS '99999999999999999999' is out of range"},
        {"alloc 65536\n", "line 1: timeline CODE '65536' is out of range (0 to 65535)\n"},
        {"free 4294967296\n",
         "line 1: context TOKEN '4294967296' is out of range (0 to 4294967295)\n"},
        {"wait 0 idle 2147483648\n",
         "line 1: wait: MILLISECONDS '2147483648' is out of range (-2147483648 to 2147483647)\n"},
        {"change 0 pos=-2147483649\n", "line 1: pos '-2147483649' is out of range"},
        {"change 0 flags=0x100000000\n", "line 1: flags '0x100000000' is out of range"},
        {"change 0 speed=1e39\n", "line 1: speed '1e39' is out of range"},
        {"timeline append 1 0\n", "line 1: timeline append: LENGTH '0' is out of range"},
        {std::string("echo ok\nseek . 1\0 2\n", 20),
         "line 2: control character 0x00 at column 9: a line holds text only\n"},
        {"echo bell\x07\n", "line 1: control character 0x07 at column 10"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.says);
        const RunResult r = Script(row.script);
        EXPECT_EQ(r.exit, 2) << r.out;
        EXPECT_NE(r.out.find(row.says), std::string::npos) << r.out;
    }
    // A CRLF line ending is not a control character in the line.
    const RunResult crlf = Script("echo one\r\necho two\r\n");
    EXPECT_EQ(crlf.exit, 0) << crlf.out;
    EXPECT_NE(crlf.out.find(" two\n"), std::string::npos) << crlf.out;
}

TEST_F(TmsctlRunTest, ScheduleAndChannelPropertyCommands) {
    // Scheduled on a held clock, fired by stepping it: the fired log shows
    // the field asked for and the field fired on alike.
    const RunResult r = Script(
        "open 0\ntimeline create ds grp sched 600 populate\nalloc .\ncue . 0\n"
        "wait . cue 2000\nrts clock hold\nschedule . go at=tick:+5 state=play speed=1.0\n"
        "schedule . gone at=tick:+3 state=play speed=2.0\nunschedule . gone\n"
        "rts clock step 5\nrts fired 0\nrts clock run\n"
        "chanprop numv+ChannelId\nsetchanprop workingbin promos\nchanprop workingbin\n"
        "setchanprop channelid x\nclose\n");
    EXPECT_EQ(r.exit, 1) << r.out;  // the read-only name
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n0 go cond=0 due=(\\d+) at=\\1 "))) << r.out;
    EXPECT_EQ(r.out.find(" gone cond="), std::string::npos) << "cancelled: " << r.out;
    for (const char* expected :
         {"fired 1 held 0", "> chanprop numv+ChannelId\n  S_OK  [1, \"Chan1\"]",
          "> chanprop workingbin\n  S_OK  \"promos\"",
          "failed 0x80043018 CHANNEL_PROPERTY: 'channelid' property cannot be set in this "
          "manner."}) {
        EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
    }
    for (const char* bad :
         {"schedule . x\n", "schedule . x tick:5\n", "schedule . x at=when:5\n",
          "schedule . x at=gpi:32\n", "schedule . x at=gang:3\n", "schedule . x at=tick:5 fly\n",
          "unschedule .\n", "unschedule . x y\n", "chanprop\n", "setchanprop loopplayback\n"}) {
        const RunResult usage = Script(bad);
        EXPECT_EQ(usage.exit, 2) << bad << usage.out;
    }
}

// A client killed while playing left its channel's block published as live:
// "ShuttlePlay", a frozen cycle, offline "no". The block now names its
// publisher, a reader sees it gone, and the next open clears it.
TEST_F(TmsctlRunTest, KilledPublisherLeftItsChannelReadingAsLive) {
    const std::string runtime = "--runtime " + m_dir.Path();
    ScriptProcess player;
    ASSERT_TRUE(player.Start());
    ASSERT_TRUE(
        player.Send("open 1 killed\ntimeline create ds grp clip 600 populate\nalloc .\n"
                    "cue . 0\nwait . cue 5000\nplay .\n"));
    const std::string playing = WatchUntil("1 " + runtime, "ShuttlePlay");
    ASSERT_NE(playing.find("ShuttlePlay"), std::string::npos) << playing;
    const std::string publisher = "publisher process " + std::to_string(player.Pid()) + ": ";
    EXPECT_NE(playing.find(publisher), std::string::npos) << playing;
    // Without a channel named, the playing channel is shown, and only it.
    const RunResult all = Tmsctl("watch --once " + runtime);
    EXPECT_EQ(all.out.rfind("channel 1:\n", 0), 0u) << all.out;
    EXPECT_EQ(all.out.find("channel 0"), std::string::npos) << all.out;

    player.Kill();
    const RunResult dead = Tmsctl("watch 1 --once " + runtime);
    EXPECT_NE(dead.out.find(publisher + "publisher gone"), std::string::npos) << dead.out;
    EXPECT_NE(dead.out.find("ShuttlePlay"), std::string::npos) << dead.out;  // what it left

    ScriptProcess next;
    ASSERT_TRUE(next.Start());
    ASSERT_TRUE(next.Send("open 1 next\n"));
    const std::string opened =
        WatchUntil("1 " + runtime, "publisher process " + std::to_string(next.Pid()) + ": ");
    EXPECT_NE(opened.find("publisher process " + std::to_string(next.Pid()) + ": "),
              std::string::npos)
        << opened;
    EXPECT_EQ(opened.find("ShuttlePlay"), std::string::npos) << opened;
    EXPECT_NE(opened.find("context not published"), std::string::npos) << opened;
    ASSERT_TRUE(next.Send("close\n"));
    EXPECT_EQ(next.Finish(), 0);
    // A closed channel publishes nothing, and names no publisher.
    EXPECT_EQ(Tmsctl("watch --once " + runtime).out, "no channel has published anything yet\n");
}

// The status memory and its mutex outlived every server: seven pairs were
// left in /dev/shm after a test run. The simulator removes them when it
// stops; while it runs, runtime clean refuses and names it.
TEST_F(TmsctlRunTest, StatusMemoryOutlivedItsServer) {
    EXPECT_EQ(Script("open 0\nclose\n").exit, 0);
    const auto running = tmstest::NamedObjectsLeft();
    EXPECT_NE(std::find_if(running.begin(), running.end(),
                           [](const std::string& n) {
                               return n.size() > 13 && n.substr(n.size() - 13) == ".StatusMemory";
                           }),
              running.end());
    const RunResult refused = Tmsctl("runtime clean --runtime " + m_dir.Path());
    EXPECT_EQ(refused.exit, 1) << refused.out;
    EXPECT_NE(
        refused.out.find("in use by process " + std::to_string(m_sim.Pid()) + " (tms-rtssim)"),
        std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("nothing removed"), std::string::npos) << refused.out;
    EXPECT_EQ(tmstest::NamedObjectsLeft(), running);

    m_sim.Stop();
    EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
}

// A server that was killed cannot remove anything: runtime clean does, once
// no process uses the objects.
TEST_F(TmsctlRunTest, RuntimeCleanRemovesWhatAKilledServerLeft) {
    EXPECT_EQ(Script("open 0\nclose\n").exit, 0);
    m_sim.Kill();
    const std::size_t left = tmstest::NamedObjectsLeft().size();
    EXPECT_GE(left, 3u);  // the RTS memory, the status memory and its mutex
    const RunResult clean = Tmsctl("runtime clean --runtime " + m_dir.Path());
    EXPECT_EQ(clean.exit, 0) << clean.out;
    EXPECT_EQ(clean.out, "removed " + std::to_string(left) + " shared-memory objects of " +
                             m_dir.Path() + "\n");
    EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    EXPECT_EQ(Tmsctl("runtime clean --runtime " + m_dir.Path()).exit, 0);
    EXPECT_EQ(Tmsctl("runtime --runtime " + m_dir.Path()).exit, 2);
    EXPECT_EQ(Tmsctl("runtime clean extra").exit, 2);
}

// movies/ folders were 0755 (0777 under umask 000), log/errorlog.log and
// registry/com.reg 0644. Everything a server and a client make under a new
// runtime folder, under umask 000, is 0700 (folders) or 0600 (files).
TEST(TmsctlRuntimeFolderTest, RuntimeFolderWasReadableByOthersUnderUmask000) {
    tmstest::TestRuntimeDir dir;
    const std::string runtime = dir.Path() + "/fresh/runtime";
    const mode_t previous = ::umask(0);
    ::setenv("TMS_RUNTIME_DIR", runtime.c_str(), 1);
    ASSERT_EQ(Tmsctl("register").exit, 0);
    {
        tmstest::RtsSimProcess sim;
        ASSERT_EQ(sim.Start(TMS_RTSSIM, runtime, {"--dump", runtime + "/dump"}), "");
        const std::string script = runtime + "/script.txt";
        std::ofstream(script) << "open 0\ntimeline create ds grp clip 120 populate\nalloc .\n"
                                 "cue . 0\nwait . cue 5000\nclose\n";
        ::chmod(script.c_str(), 0600);
        const RunResult r = Tmsctl("run " + script);
        EXPECT_EQ(r.exit, 0) << r.out;
        for (const std::string& name : tmstest::NamedObjectsLeft()) {
            SCOPED_TRACE(name);
            struct stat st {};
            ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u);
        }
        sim.Stop();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }
    ::umask(previous);
    ::setenv("TMS_RUNTIME_DIR", dir.Path().c_str(), 1);

    for (const char* made :
         {"log/errorlog.log", "registry/com.reg", "claims/channel-00", "movies/ds/grp/clip.movie",
          "system.xml", "dump/000001.riff", "volumes", "ipm"}) {
        EXPECT_TRUE(std::filesystem::exists(runtime + "/" + made)) << made;
    }
    // The runtime folder's parent was made on the way, and is private too.
    struct stat parent {};
    ASSERT_EQ(::lstat((dir.Path() + "/fresh").c_str(), &parent), 0);
    EXPECT_EQ(parent.st_mode & 07777, 0700u);
    std::vector<std::string> notPrivate = {};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(runtime)) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        const unsigned mode = st.st_mode & 07777;
        if (S_ISLNK(st.st_mode)) {
            continue;  // a link's own mode means nothing; its target is checked
        }
        const unsigned wanted = S_ISDIR(st.st_mode) ? 0700u : 0600u;
        if (mode != wanted) {
            char text[16];
            std::snprintf(text, sizeof text, " %04o", mode);
            notPrivate.push_back(entry.path().string() + text);
        }
    }
    EXPECT_TRUE(notPrivate.empty()) << ::testing::PrintToString(notPrivate);
}

}  // namespace

namespace {

// tmsctl watch against a status block that the test fills as a channel
// publishes it, at the offsets docs/status.md gives (written out here, not
// taken from the tool, so that a wrong offset on either side shows).
class TmsctlWatchTest : public ::testing::Test {
protected:
    void TearDown() override {
        UnlinkNamedObject("StatusMemory");
        UnlinkNamedObject("StatusMemoryMutex");
    }
    // Under the status mutex, as every writer.
    template <class Write>
    void Publish(Write write) {
        ASSERT_EQ(WaitForSingleObject(m_access.MutexHandle(), 5000), WAIT_OBJECT_0);
        write();
        ReleaseMutex(m_access.MutexHandle());
    }
    // Advances a ring's index word and returns the slot to write.
    std::size_t Advance(std::size_t indexOffset) {
        return static_cast<std::size_t>(
            m_access.IncrementIndex(reinterpret_cast<LONG*>(m_block + indexOffset)));
    }
    template <class T>
    void Put(std::size_t offset, T value) {
        std::memcpy(m_block + offset, &value, sizeof value);  // little-endian host
    }
    void PutText(std::size_t offset, std::u16string_view text) {
        std::memcpy(m_block + offset, text.data(), text.size() * 2);
        Put<char16_t>(offset + text.size() * 2, 0);
    }
    RunResult Watch(int channel) {
        return Tmsctl("watch " + std::to_string(channel) + " --once --runtime " + m_dir.Path());
    }

    tmstest::TestRuntimeDir m_dir;
    CChanAccess m_access{2};
    std::uint8_t* m_block = m_access.StatusBlock();
};

TEST_F(TmsctlWatchTest, ShowsTheNewestSlotOfEachRingAndTheFixedFields) {
    ASSERT_NE(m_block, nullptr);
    Publish([&] {
        PutText(0x14514, u"Chan3");
        PutText(0x1455C, u"Player");
        PutText(0x145EC, u"Format625_50Hz_2To1");
        Put<std::int32_t>(0x1467C, 1);
        Put<std::int32_t>(0x14680, 2);
        Put<std::uint16_t>(0x14888 + 2 * Advance(0x148C8), 321);
        Put<std::uint32_t>(0x150F0, 0x80000005u);
        const std::size_t e = 0x14688 + 128 * 1;  // entry 1; entry 0 unused
        PutText(e, u"V:");
        Put<std::uint64_t>(e + 72, std::uint64_t{4096} << 20);
        Put<std::uint64_t>(e + 80, (std::uint64_t{1024} << 20) + 5);
        Put<std::uint32_t>(e + 88, 30000);
        PutText(e + 92, u"00:10:00:00");
        Put<std::uint32_t>(e + 124, 1);
        PutText(0x148D0 + 0x208 * 3, u"ds/grp/clip2");
        // Two context publications: the older one must not show.
        for (const auto& [state, position, speed] :
             {std::tuple{2, 99, 3.0f}, std::tuple{1, 1525, 1.5f}}) {
            const std::size_t k = Advance(0x15608);
            Put<std::uint16_t>(0x155CC + 2 * k, static_cast<std::uint16_t>(40 + k));
            Put<std::int32_t>(0x1650C + 4 * k, position);
            Put<std::int32_t>(0x16584 + 4 * k, state);
            Put<float>(0x165FC + 4 * k, speed);
        }
        PutText(0x1519A, u"clip2");
        PutText(0x151E2, u"ds/grp/clip2");
        PutText(0x1547A, u"00:00:10:00");
        PutText(0x1550A, u"00:00:00:05");
        PutText(0x1552A, u"00:01:00:00");
        Put<std::int32_t>(0x155B4, 10);
        Put<std::int32_t>(0x155B8, 3000);
        const std::size_t v = Advance(0x177B8);
        Put<std::uint16_t>(0x1777C + 2 * v, 77);
        Put<std::uint32_t>(0x177BC + 4 * v, 123456);
        PutText(0x17834 + 72 * v, u"PixCodingI");
    });
    const RunResult r = Watch(2);
    EXPECT_EQ(r.exit, 0) << r.out;
    const char* expected =
        "channel 2:\n"
        "  id \"Chan3\"  type Player  format Format625_50Hz_2To1 (1, 2 fields/frame)\n"
        "  channel cycle 321 slot 1  gpi inputs 0x80000005  offline no  server offline no\n"
        "  publisher none\n"
        "  storage 1 V:  free 1024 of 4096 MiB  record 00:10:00:00 (30000 fields)  available\n"
        "  context cycle 42 slot 2  CuePlay  position 00:00:30:12 (1525)  speed 1.50\n"
        "  movie \"clip2\"  uri \"ds/grp/clip2\"\n"
        "  mark in 10 \"00:00:00:05\"  out 3000 \"00:01:00:00\"\n"
        "  limits - - \"00:00:10:00\" -\n"
        "  context 3 uri \"ds/grp/clip2\"\n"
        "  video cycle 77 slot 1  field size 123456  pixel coding PixCodingI\n";
    EXPECT_EQ(r.out, expected);
}

// Audio regions at 0x180B0 + 60n (cycles), 0x18470 + 4n (index), 0x184B0,
// 0x18C30 and 0x193B0 + 120n (input gain, output gain, level); the timecode
// region at 0x19B50 (cycles), 0x19B8C (index), 0x19B90 (word), 0x19C08
// (text), 0x1A040 (time of day text); the timer mode at 0x1A9A4.
TEST_F(TmsctlWatchTest, ShowsEachAudioMeterAndTheTimecode) {
    ASSERT_NE(m_block, nullptr);
    Publish([&] {
        PutText(0x14514, u"Chan3");
        Put<std::uint16_t>(0x14888 + 2 * Advance(0x148C8), 9);
        Put<std::int32_t>(0x180AC, 3);
        struct Row {
            std::size_t n;
            float in, out, level;
        } rows[] = {{0, 0.0f, -6.0f, -10.0f}, {1, -40.0f, 2.5f, 3.0f}};
        for (const Row& row : rows) {
            const std::size_t k = Advance(0x18470 + 4 * row.n);
            Put<std::uint16_t>(0x180B0 + 60 * row.n + 2 * k,
                               static_cast<std::uint16_t>(20 + row.n));
            Put<float>(0x184B0 + 120 * row.n + 4 * k, row.in);
            Put<float>(0x18C30 + 120 * row.n + 4 * k, row.out);
            Put<float>(0x193B0 + 120 * row.n + 4 * k, row.level);
        }
        const std::size_t t = Advance(0x19B8C);
        Put<std::uint16_t>(0x19B50 + 2 * t, 5);
        Put<std::uint32_t>(0x19B90 + 4 * t, 0x01020304u);
        PutText(0x19C08 + 32 * t, u"01:02:03:04");
        PutText(0x1A040 + 32 * t, u"10:11:12:13");
        Put<std::int32_t>(0x1A9A4, 3);
    });
    const RunResult r = Watch(2);
    EXPECT_EQ(r.exit, 0) << r.out;
    // -10 dBFS: 15 of 20 marks; +3 is past the top of the meter.
    const char* expected =
        "  audio 0 cycle 20 slot 1  [###############-----]  -10.0 dBFS  gain in 0.0 dB out -6.0 "
        "dB\n"
        "  audio 1 cycle 21 slot 1  [####################]    3.0 dBFS  gain in -40.0 dB out 2.5 "
        "dB\n"
        "  audio 2 not published\n"
        "  timecode cycle 5 slot 1  01:02:03:04 (0x01020304)  time of day 10:11:12:13  mode "
        "generator\n";
    EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
}

TEST_F(TmsctlWatchTest, BlankTornAndMissingBlocks) {
    ASSERT_NE(m_block, nullptr);
    struct Row {
        const char* what;
        std::function<void()> write;  // under the status mutex
        bool holdMutex;               // the watcher cannot take it
        const char* expected;
    } rows[] = {
        {"never written", [] {}, false, "channel 2: nothing published yet\n"},
        {"configuration only", [&] { PutText(0x14514, u"Chan3"); }, false,
         "  channel not published  gpi inputs 0x00000000  offline no  server offline no\n"
         "  publisher none\n  storage none\n  context not published\n  video not published\n"},
        {"offline bytes, unknown port state, no video format",
         [&] {
             Put<std::uint8_t>(0x148C4, 1);
             Put<std::uint8_t>(0x148C5, 1);
             const std::size_t k = Advance(0x15608);
             Put<std::uint16_t>(0x155CC + 2 * k, 9);
             Put<std::int32_t>(0x16584 + 4 * k, 7);
             Put<std::int32_t>(0x1650C + 4 * k, -3);
             Put<std::int32_t>(0x1467C, 255);
         },
         false,
         "offline yes  server offline yes\n  publisher none\n  storage none\n"
         "  context cycle 9 slot 1  state 7  position -3 fields  speed 0.00\n"},
        {"control characters and an unpaired surrogate",
         [&] { PutText(0x1455C, u"Pl\nayer\x1b\xD800"); }, false,
         "  type Pl?ayer??  format  (0, 0 fields/frame)\n"},
        {"ring index out of range, text without terminator",
         [&] {
             Put<std::int32_t>(0x177B8, 30);
             Put<std::uint16_t>(0x1777C, 5);
             for (std::size_t i = 0; i < 40; ++i) {
                 Put<char16_t>(0x17834 + 2 * i, u'x');
             }
         },
         false,
         "  video cycle 5 slot 0 (ring index 30 out of range 0..29)  field size 0  pixel coding "
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n"},
        {"mutex held by a writer", [&] { PutText(0x14514, u"Chan3"); }, true,
         "  status mutex not taken within 50 ms: values may be torn\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::memset(m_block, 0, 0x20000);
        Publish(row.write);
        if (row.holdMutex) {
            ASSERT_EQ(WaitForSingleObject(m_access.MutexHandle(), 5000), WAIT_OBJECT_0);
        }
        const RunResult r = Watch(2);
        if (row.holdMutex) {
            ReleaseMutex(m_access.MutexHandle());
        }
        EXPECT_EQ(r.exit, 0) << r.out;
        EXPECT_NE(r.out.find(row.expected), std::string::npos) << r.out;
    }
    // Other channels of the same memory, and a runtime folder without one.
    EXPECT_EQ(Watch(15).out, "channel 15: nothing published yet\n");
    const RunResult none = Tmsctl("watch 0 --once --runtime " + m_dir.Path() + "/elsewhere");
    EXPECT_EQ(none.out, "channel 0: nothing published yet\n");
    EXPECT_EQ(Tmsctl("watch 16 --once").exit, 2);
}

// tmsctl watch without a channel showed channel 0, "nothing published yet",
// while another channel was playing.
TEST_F(TmsctlWatchTest, WatchWithoutAChannelShowedChannel0WhileAnotherPublished) {
    ASSERT_NE(m_block, nullptr);
    EXPECT_EQ(Tmsctl("watch --once --runtime " + m_dir.Path()).out,
              "no channel has published anything yet\n");
    // Configuration alone is no publication; a cycle in the channel ring is.
    Publish([&] { PutText(0x14514, u"Chan3"); });
    EXPECT_EQ(Tmsctl("watch --once --runtime " + m_dir.Path()).out,
              "no channel has published anything yet\n");
    Publish([&] { Put<std::uint16_t>(0x14888 + 2 * Advance(0x148C8), 5); });
    CChanAccess other(7);
    ASSERT_NE(other.StatusBlock(), nullptr);
    Publish([&] { std::memcpy(other.StatusBlock() + 0x15104, "\x01\0\0\0", 4); });  // pid 1

    const RunResult r = Tmsctl("watch --once --runtime " + m_dir.Path());
    EXPECT_EQ(r.exit, 0) << r.out;
    EXPECT_EQ(r.out.find("channel 0"), std::string::npos) << r.out;
    const std::size_t two = r.out.find("channel 2:\n  id \"Chan3\"");
    const std::size_t seven = r.out.find("channel 7:\n");
    EXPECT_NE(two, std::string::npos) << r.out;
    EXPECT_NE(seven, std::string::npos) << r.out;
    EXPECT_LT(two, seven) << r.out;
    // A named channel is shown whatever it holds.
    EXPECT_EQ(Tmsctl("watch 0 --once --runtime " + m_dir.Path()).out,
              "channel 0: nothing published yet\n");
}

// A publisher that died (or whose status cycle stopped) left its block
// reading as live: "ShuttlePlay", a frozen cycle, offline "no".
TEST(ChannelStatusTextTest, FrozenStatusOfADeadOrStalledPublisherReadAsLive) {
    struct Row {
        const char* what;
        std::int32_t pid;
        std::uint32_t lastTick;
        DWORD now;
        bool runs;
        const char* expected;
    } rows[] = {
        {"no publisher recorded", 0, 0, 5000, true, "  publisher none\n"},
        {"process gone", 4242, 1000, 1100, false,
         "  publisher process 4242: publisher gone (what follows is what it left)\n"},
        {"cycle a moment ago", 4242, 1000, 1020, true, "  publisher process 4242: live\n"},
        {"just under the limit", 4242, 1000, 1000 + tmsctl::kStaleAfterMs - 1, true,
         "  publisher process 4242: live\n"},
        {"at the limit", 4242, 1000, 1000 + tmsctl::kStaleAfterMs, true,
         "  publisher process 4242: stale: no cycle for 2 s\n"},
        {"a minute", 4242, 1000, 66999, true,
         "  publisher process 4242: stale: no cycle for 65 s\n"},
        {"across the tick wrap", 4242, 0xFFFFFF00u, 0x300, true,
         "  publisher process 4242: live\n"},
        {"stale across the wrap", 4242, 0xFFFFF000u, 0x2000, true,
         "  publisher process 4242: stale: no cycle for 12 s\n"},
        {"tick ahead of the reader", 4242, 5000, 4990, true, "  publisher process 4242: live\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::uint8_t> bytes(0x20000, 0);
        std::memcpy(bytes.data() + 0x14514, u"C", 4);  // not blank
        std::memcpy(bytes.data() + 0x15104, &row.pid, 4);
        std::memcpy(bytes.data() + 0x15108, &row.lastTick, 4);
        int asked = 0;
        const tmsctl::PublisherProbe probe{row.now, [&](int pid) {
                                               asked = pid;
                                               return row.runs;
                                           }};
        const std::string text = tmsctl::ChannelStatusText(
            3, CStatusMemoryView::Snapshot{CStatusBlockImage(bytes), true}, 50, probe);
        EXPECT_NE(text.find("offline no  server offline no\n" + std::string(row.expected)),
                  std::string::npos)
            << text;
        EXPECT_EQ(asked, row.pid == 0 ? 0 : row.pid);
    }
    // The real process table: this process runs; a child that exited does
    // not, neither as a zombie nor once reaped.
    EXPECT_TRUE(tmsctl::ProcessRuns(::getpid()));
    const pid_t child = ::fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_FALSE(tmsctl::ProcessRuns(child));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_FALSE(tmsctl::ProcessRuns(child));
}

}  // namespace

namespace {

TEST(WatchOutputsTextTest, GpiLampsAndAncillaryDataLines) {
    struct Case {
        const char* what;
        std::optional<tmsctl::RtsOutputs> rts;
        const char* text;
    };
    tmsctl::RtsOutputs none;
    tmsctl::RtsOutputs edges;
    edges.gpiOutputMask = 0x80000001u;
    edges.ancPresent = true;
    edges.ancPackets = 4294967295u;
    edges.ancTick = 12;
    tmsctl::RtsOutputs middle;
    middle.gpiOutputMask = 0x1200;
    const Case cases[] = {
        {"no RTS memory: no lines", std::nullopt, ""},
        {"all off", none,
         "  gpi outputs ........ ........ ........ ........  0x00000000  (output 0 first)\n"
         "  ancillary data absent  packets 0  tick 0  error 0\n"},
        {"the first and the last output", edges,
         "  gpi outputs #....... ........ ........ .......#  0x80000001  (output 0 first)\n"
         "  ancillary data present  packets 4294967295  tick 12  error 0\n"},
        {"outputs 9 and 12", middle,
         "  gpi outputs ........ .#..#... ........ ........  0x00001200  (output 0 first)\n"
         "  ancillary data absent  packets 0  tick 0  error 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(tmsctl::OutputsText(c.rts), c.text);
    }
}

TEST(WatchOutputsTextTest, AncillaryRegionCycleAndABrokenRingIndex) {
    std::vector<std::uint8_t> bytes(0x1A448, 0);
    CStatusBlockImage blank(bytes);
    EXPECT_EQ(tmsctl::AncDataRegionText(blank), "") << "never published";
    // Slot 4 newest (the index word names the slot last written).
    bytes[0x1A440] = 4;
    bytes[0x1A404 + 8] = 0x39;
    bytes[0x1A404 + 9] = 0x30;
    EXPECT_EQ(tmsctl::AncDataRegionText(CStatusBlockImage(bytes)),
              "  ancillary data cycle 12345 slot 4\n");
    bytes[0x1A440] = 30;
    EXPECT_EQ(tmsctl::AncDataRegionText(CStatusBlockImage(bytes)),
              "  ancillary data region: ring index 30 out of range 0..29\n");
}

}  // namespace
