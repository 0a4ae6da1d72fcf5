#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/kernel/NamedObjects.h"
#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

struct RunResult {
    int exit;
    std::string out;
};

// Runs tmsctl with arguments; stdout and stderr together.
RunResult Tmsctl(const std::string& args) {
    std::string cmd = std::string(TMSCTL_PATH) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    RunResult r{-1, ""};
    if (p == nullptr) {
        return r;
    }
    std::array<char, 512> buf;
    while (std::fgets(buf.data(), buf.size(), p) != nullptr) {
        r.out += buf.data();
    }
    int status = pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

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

TEST(TmsctlTest, HelpListsTheSubcommands) {
    RunResult r = Tmsctl("--help");
    EXPECT_EQ(r.exit, 0);
    for (const char* name : {"timecode", "riff", "demo"}) {
        EXPECT_NE(r.out.find(name), std::string::npos) << name;
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
    void TearDown() override {
        m_sim.Stop();
        UnlinkNamedObject("StatusMemory");
        UnlinkNamedObject("StatusMemoryMutex");
    }
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

}  // namespace
