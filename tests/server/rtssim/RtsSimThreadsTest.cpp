// The simulator run inside another process: its threads carry names of their
// own, and it counts the requests it handles, so that a process running the
// channel and the simulator together can tell their costs apart.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/configmgr/SystemConfigFile.h"
#include "server/rtssim/RtsSimulator.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

std::multiset<std::string> ThreadNames() {
    std::multiset<std::string> names;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) {
            names.insert(name);
        }
    }
    return names;
}

class RtsSimThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RtsSimOptions options;
        options.configPath = SampleConfigPath();
        m_sim = std::make_unique<CRtsSimulator>(options);
        std::string error;
        ASSERT_TRUE(m_sim->Start(&error)) << error;
    }
    void TearDown() override {
        m_sim->Stop();
        EXPECT_TRUE(tmstest::NamedObjectsLeft().empty());
    }

    tmstest::TestRuntimeDir m_dir;
    std::unique_ptr<CRtsSimulator> m_sim;
};

// Unnamed, the simulator's threads took the process's name, and their CPU
// could not be told from the channel's threads'.
TEST_F(RtsSimThreadsTest, UnnamedSimulatorThreadsHidTheirCpuAmongTheProcesses) {
    // The sample's four channels: a port thread each, the control port and
    // the clock. Each thread names itself as it begins: wait for them.
    const std::vector<std::string> wanted = {"rtssim-port-0", "rtssim-port-1",  "rtssim-port-2",
                                             "rtssim-port-3", "rtssim-control", "rtssim-clock"};
    std::multiset<std::string> names;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        names = ThreadNames();
        bool all = true;
        for (const std::string& w : wanted) {
            all = all && names.count(w) == 1;
        }
        if (all || std::chrono::steady_clock::now() > until) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const std::string& w : wanted) {
        SCOPED_TRACE(w);
        EXPECT_EQ(names.count(w), 1u);
    }
    m_sim->Stop();
    for (const std::string& name : ThreadNames()) {
        EXPECT_NE(name.rfind("rtssim-", 0), 0u) << name << " outlived Stop";
    }
}

// A benchmark shares the message threads' CPU out per exchange: every request
// of a configured channel counts, refused or not; one for a channel the
// simulator does not run is not handled and does not count.
TEST_F(RtsSimThreadsTest, RequestsCountEveryRequestOfAConfiguredChannel) {
    const std::uint64_t before = m_sim->Requests();
    const unsigned char garbage[] = {'R', 'I', 'F', 'F', 0, 0};
    std::vector<unsigned char> reply;
    struct Row {
        const char* name;
        int channel;
        std::uint64_t counted;
    } rows[] = {
        {"malformed, channel 0", 0, 1},
        {"malformed, channel 3", 3, 2},
        {"channel 4 not configured", 4, 2},
        {"channel -1", -1, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_sim->HandleRequest(row.channel, garbage, sizeof garbage, &reply);
        EXPECT_EQ(m_sim->Requests() - before, row.counted);
    }
}

}  // namespace
