// tmsctl serve: its address parsing, what it answers to every method and
// path, and, against the simulator, the page in a real browser and the JSON
// against tmsctl watch. Positions are compared on the simulator's held
// clock, never on how much real time passed; every wait is bounded.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/RtsSimProcess.h"
#include "tests/support/TestRuntimeDir.h"
#include "tests/tools/TmsctlProcess.h"
#include "tools/tmsctl/StatusHttpServer.h"
#include "tools/tmsctl/StatusPage.h"

namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using tmstest::ChildProcess;
using tmstest::Tmsctl;

TEST(ServeListenAddressTest, HostAndPortOrANamedRefusal) {
    struct Row {
        const char* text;
        const char* host;  // nullptr: refused
        int port;
        const char* named;  // what the refusal names
    } rows[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080, nullptr},
        {"127.0.0.1:0", "127.0.0.1", 0, nullptr},
        {"0.0.0.0:65535", "0.0.0.0", 65535, nullptr},
        {"[::1]:80", "::1", 80, nullptr},
        {"localhost:1", "localhost", 1, nullptr},
        {"127.0.0.1:65536", nullptr, 0, "'65536'"},
        {"127.0.0.1:99999999999", nullptr, 0, "'99999999999'"},
        {"127.0.0.1:-1", nullptr, 0, "'-1'"},
        {"127.0.0.1:80x", nullptr, 0, "'80x'"},
        {"127.0.0.1:", nullptr, 0, "'127.0.0.1:'"},
        {"8080", nullptr, 0, "'8080'"},
        {":8080", nullptr, 0, "':8080'"},
        {"::1:80", nullptr, 0, "brackets"},
        {"[::1:80", nullptr, 0, "'[::1:80'"},
        {"[]:80", nullptr, 0, "'[]:80'"},
        {"", nullptr, 0, "''"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        if (row.host != nullptr) {
            const tmsctl::ListenAddress a = tmsctl::ParseListenAddress(row.text);
            EXPECT_EQ(a.host, row.host);
            EXPECT_EQ(a.port, row.port);
            continue;
        }
        try {
            tmsctl::ParseListenAddress(row.text);
            ADD_FAILURE() << "taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(row.named), std::string::npos) << e.what();
        }
    }
}

// tmsctl serve on a free loopback port of the test's runtime folder.
class ServeProcess {
public:
    // Empty on success, else what went wrong.
    std::string Start(const std::string& runtime) {
        if (!m_process.Start(
                {TMSCTL_PATH, "serve", "--runtime", runtime, "--listen", "127.0.0.1:0"},
                runtime + "/serve.err")) {
            return "cannot start tmsctl serve";
        }
        std::string line;
        if (!m_process.ReadLine(&line, 30s)) {
            return "tmsctl serve printed no address: " +
                   tmstest::ReadFileText(runtime + "/serve.err");
        }
        std::smatch m;
        if (!std::regex_match(
                line, m,
                std::regex(R"(tmsctl serve: listening on (http://127\.0\.0\.1:(\d+)/))"))) {
            return "unexpected first line: " + line;
        }
        m_url = m[1];
        m_port = std::stoi(m[2]);
        return {};
    }
    // The exit status of a stop by SIGTERM.
    int Stop() { return m_process.Stop(10s); }
    bool Running() const { return m_process.Pid() > 0 && ::kill(m_process.Pid(), 0) == 0; }
    const std::string& Url() const { return m_url; }
    httplib::Client Client() const {
        httplib::Client c("127.0.0.1", m_port);
        c.set_connection_timeout(10);
        c.set_read_timeout(10);
        return c;
    }

private:
    ChildProcess m_process;
    std::string m_url;
    int m_port = 0;
};

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m_serve.Start(m_dir.Path()), ""); }
    void TearDown() override {
        if (m_serve.Running()) {
            const int status = m_serve.Stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    }
    tmstest::TestRuntimeDir m_dir;
    ServeProcess m_serve;
};

// Only GET is served, and a path that is not a channel is named in the answer.
TEST_F(ServeTest, EveryMethodButGetIsRefusedAndBadChannelsAreNamed) {
    struct Row {
        const char* method;
        const char* path;
        int status;
        const char* body;  // a part of the answer
    } rows[] = {
        {"GET", "/", 200, "<title>Channel status</title>"},
        {"GET", "/api/channels", 200, R"("channels": [])"},
        {"GET", "/api/channels/0", 200, R"("published": false)"},
        {"GET", "/api/channels/15", 200, R"("channel": 15)"},
        {"GET", "/api/channels/07", 200, R"("channel": 7)"},
        {"GET", "/api/channels/16", 404, "'16' is not a channel (0-15)"},
        {"GET", "/api/channels/-1", 404, "'-1' is not a channel"},
        {"GET", "/api/channels/1x", 404, "'1x' is not a channel"},
        {"GET", "/api/channels/007", 404, "'007' is not a channel"},
        {"GET", "/api/channels/", 404, "'' is not a channel"},
        {"GET", "/api/channels/1/2", 404, "'1/2' is not a channel"},
        {"GET", "/index.html", 404, "no such page: /index.html"},
        {"POST", "/api/channels", 405, "method POST refused"},
        {"PUT", "/", 405, "method PUT refused"},
        {"DELETE", "/api/channels/1", 405, "method DELETE refused"},
        {"PATCH", "/api/channels/1", 405, "method PATCH refused"},
        {"OPTIONS", "/", 405, "method OPTIONS refused"},
        {"HEAD", "/", 405, ""},
    };
    httplib::Client client = m_serve.Client();
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.method) + " " + row.path);
        httplib::Request req;
        req.method = row.method;
        req.path = row.path;
        const httplib::Result res = client.send(req);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, row.status);
        EXPECT_NE(res->body.find(row.body), std::string::npos) << res->body;
        if (row.status == 405) {
            EXPECT_EQ(res->get_header_value("Allow"), "GET");
        }
    }
    EXPECT_TRUE(m_serve.Running());
}

// A text of the status memory that closes the script element the page
// carries its first data in stays inside it.
TEST(ServePageHtmlTest, DataClosingTheScriptElementStaysData) {
    const std::string page = tmsctl::StatusPageHtml(
        R"({"channels": [{"id": "</script><script>alert(1)</script>", "type": "<b>"}]})");
    std::size_t closes = 0;
    for (std::size_t at = page.find("</script>"); at != std::string::npos;
         at = page.find("</script>", at + 1)) {
        ++closes;
    }
    EXPECT_EQ(closes, 2u);  // the data element's and the script's own
    EXPECT_NE(page.find(R"(\u003c/script>\u003cscript>alert(1)\u003c/script>)"), std::string::npos);
    EXPECT_NE(page.find(R"("type": "\u003cb>")"), std::string::npos);
    EXPECT_EQ(page.find("@INITIAL@"), std::string::npos);
}

// A stop that comes before the server listens (a signal right after the
// address line) must still end it: the library's own stop is lost then.
TEST(ServeStopTest, StopBeforeRunStillEndsTheServer) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        tmsctl::CStatusHttpServer server;
        ASSERT_GT(server.Bind(tmsctl::ListenAddress{"127.0.0.1", 0}), 0);
        // The stopper mostly comes first; Stop waits for Run, so it is
        // joined only after.
        std::thread stopper([&server] { server.Stop(); });
        auto run = std::async(std::launch::async, [&server] { return server.Run(); });
        const bool ended = run.wait_for(30s) == std::future_status::ready;
        EXPECT_TRUE(ended) << "Run kept serving after Stop";
        if (!ended) {
            server.Stop();  // it runs now: this one reaches it
        }
        EXPECT_TRUE(run.get());
        stopper.join();
    }
}

TEST(ServeCommandTest, BadOptionsAndAnAddressInUseAreRefusedNamingThem) {
    struct Row {
        const char* args;
        int exit;
        const char* output;
    } rows[] = {
        {"serve --listen 127.0.0.1:70000", 2, "'70000'"},
        {"serve --listen", 2, "'--listen' is not an option, or lacks its value"},
        {"serve --port 80", 2, "'--port'"},
        {"serve --listen 192.0.2.1:0", 1, "cannot listen on 192.0.2.1:0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        const tmstest::RunResult r = Tmsctl(row.args);
        EXPECT_EQ(r.exit, row.exit) << r.out;
        EXPECT_NE(r.out.find(row.output), std::string::npos) << r.out;
    }
}

// The browser: Debian's chromium, headless, with no shared memory of its own
// in /dev/shm. Each run has a profile of its own under the test's folder: a
// helper of an earlier run that is still going holds its profile, and a
// browser that finds its profile held hands its work to that one instead.
class Browser {
public:
    explicit Browser(std::string folder) : m_folder(std::move(folder)) {}

    static std::string Path() { return "/usr/bin/chromium"; }

    // The page's DOM after its script ran for a while of virtual time, ten
    // refreshes each waited for however slow.
    std::string Dom(const std::string& url) {
        return Run({"--virtual-time-budget=1000", "--dump-dom", url});
    }
    // The page as first drawn, from the channels it was served with, taken
    // when it has loaded: with virtual time, a page that keeps asking the
    // server did not always get its picture taken on a loaded machine.
    void Screenshot(const std::string& url, const std::string& png) {
        Run({"--screenshot=" + png, "--window-size=1280,900", url});
    }
    // What the last run wrote on standard error, for a failure message.
    std::string Errors() const { return m_log + tmstest::ReadFileText(Profile() + ".err"); }

private:
    std::string Profile() const { return m_folder + "/chromium-" + std::to_string(m_runs); }
    std::string Run(const std::vector<std::string>& what) {
        ++m_runs;
        std::vector<std::string> argv = {
            Path(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
            "--no-first-run", "--disable-extensions", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", "--disable-breakpad",
            "--disable-crash-reporter", "--user-data-dir=" + Profile()};
        argv.insert(argv.end(), what.begin(), what.end());
        ChildProcess chromium;
        std::string out;
        if (!chromium.Start(argv, Profile() + ".err")) {
            m_log += "run " + std::to_string(m_runs) + ": not started\n";
            return out;
        }
        const bool ended = chromium.ReadAll(&out, 30s);
        const int status = chromium.Stop(5s);
        m_log += "run " + std::to_string(m_runs) + ": " + (ended ? "ended" : "cut off at 30 s") +
                 ", status " + std::to_string(status) + ", " + std::to_string(out.size()) +
                 " bytes out\n";
        return out;
    }
    std::string m_folder;
    int m_runs = 0;
    std::string m_log;
};

// The position the page shows for a channel (-1 when it shows none).
long PagePosition(const std::string& dom, int channel) {
    const std::size_t card = dom.find("id=\"channel-" + std::to_string(channel) + "\"");
    if (card == std::string::npos) {
        return -1;
    }
    std::smatch m;
    const std::string rest = dom.substr(card);
    if (!std::regex_search(rest, m, std::regex(R"re(data-position="(-?\d+)")re"))) {
        return -1;
    }
    return std::stol(m[1]);
}

// The position of the channel's active context as the simulator holds it
// (-1 when it has none).
long SimPosition(int channel) {
    const std::string status = tmstest::SimControl("status " + std::to_string(channel));
    std::smatch m;
    return std::regex_search(status, m, std::regex(R"re( position (-?\d+) )re")) ? std::stol(m[1])
                                                                                 : -1;
}

json GetJson(const ServeProcess& serve, const std::string& path) {
    httplib::Client client = serve.Client();
    const httplib::Result res = client.Get(path.c_str());
    if (!res || res->status != 200) {
        return json();
    }
    return json::parse(res->body, nullptr, false);
}

// What tmsctl watch prints for a channel, written from its JSON.
std::vector<std::string> WatchLinesOf(const json& c) {
    const json& x = c["context"];
    auto text = [](const json& j) { return j.get<std::string>(); };
    std::ostringstream port, gpi;
    port << "  " << text(x["portState"]) << "  position " << text(x["timecode"]) << " ("
         << x["position"].get<int>() << ")  speed " << std::fixed << std::setprecision(2)
         << x["speed"].get<double>();
    gpi << "  gpi inputs 0x" << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
        << c["gpiInputs"]["bits"].get<unsigned>();
    return {
        "  id \"" + text(c["id"]) + "\"  type " + text(c["type"]) + "  format " +
            text(c["format"]["name"]) + " (" + std::to_string(c["format"]["number"].get<int>()) +
            ", " + std::to_string(c["format"]["fieldsPerFrame"].get<int>()) + " fields/frame)",
        "  publisher process " + std::to_string(c["publisher"]["pid"].get<int>()) + ": " +
            text(c["publisher"]["state"]),
        port.str(),
        "  movie \"" + text(x["movie"]) + "\"  uri \"" + text(x["uri"]) + "\"",
        gpi.str(),
    };
}

// A channel's JSON as the page expects it, playing at position.
json PageChannel(int channel, long position) {
    return {{"channel", channel},
            {"published", true},
            {"consistent", true},
            {"text", "channel " + std::to_string(channel) + ":\n"},
            {"id", "Chan" + std::to_string(channel)},
            {"type", "Player"},
            {"format", {{"name", "1080i50"}, {"number", 1}, {"fieldsPerFrame", 2}}},
            {"publisher", {{"state", "live"}, {"pid", 1}, {"ageMs", 0}}},
            {"channelRing", {{"cycle", 1}, {"slot", 0}, {"indexValid", true}}},
            {"offline", false},
            {"serverOffline", false},
            {"gpiInputs", {{"bits", 0x80000001u}, {"on", {0, 31}}}},
            {"storage", json::array()},
            {"context",
             {{"ring", {{"cycle", 1}, {"slot", 0}, {"indexValid", true}}},
              {"portState", "ShuttlePlay"},
              {"portStateCode", 2},
              {"position", position},
              {"timecode", ""},
              {"speed", 1.0},
              {"movie", "m"},
              {"uri", ""},
              {"markIn", {{"position", 0}, {"text", ""}}},
              {"markOut", {{"position", 0}, {"text", ""}}},
              {"limits", {nullptr, nullptr, nullptr, nullptr}}}},
            {"contexts", json::array()},
            {"video", nullptr},
            {"audio", json::array({{{"index", 0},
                                    {"ring", {{"cycle", 1}, {"slot", 0}, {"indexValid", true}}},
                                    {"levelDb", nullptr},
                                    {"inputGainDb", 0.0},
                                    {"outputGainDb", 0.0}}})},
            {"timecode", nullptr}};
}

// One odd channel draws as far as it can, or as a note, and never stops
// the channels after it: a null speed (what a NaN is written as) reads
// "n/a", and a channel missing a member the page reads gets a note. The
// page is opened from a file: its data is the embedded one.
TEST(ServePageHtmlTest, OneOddChannelDoesNotStopTheOthers) {
    ASSERT_TRUE(std::filesystem::exists(Browser::Path()))
        << Browser::Path() << " is missing: run scripts/install-deps.sh";
    tmstest::TestRuntimeDir dir;
    json nanSpeed = PageChannel(1, 101);
    nanSpeed["context"]["speed"] = nullptr;
    json broken = PageChannel(2, 202);
    broken.erase("storage");
    const json data = {{"channels", {nanSpeed, broken, PageChannel(3, 303)}}};
    const std::string file = dir.Path() + "/page.html";
    std::ofstream(file) << tmsctl::StatusPageHtml(data.dump());
    Browser browser(dir.Path());
    std::string dom;
    for (int i = 0; i < 3 && PagePosition(dom, 3) < 0; ++i) {
        dom = browser.Dom("file://" + file);
    }
    ASSERT_EQ(PagePosition(dom, 3), 303) << dom << "\n" << browser.Errors();
    EXPECT_EQ(PagePosition(dom, 1), 101) << dom;
    EXPECT_NE(dom.find("speed n/a"), std::string::npos) << dom;
    EXPECT_NE(dom.find("n/a dBFS"), std::string::npos) << dom;
    EXPECT_NE(dom.find("cannot draw this channel"), std::string::npos) << dom;
    // 32 lamps a row, the last one lit.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dom, m, std::regex(R"re(class="on" data-input="31">31<)re"))) << dom;
}

class ServePageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(Tmsctl("register").exit, 0);
        ASSERT_EQ(m_sim.Start(TMS_RTSSIM, m_dir.Path()), "");
    }
    void TearDown() override {
        m_player.Kill();
        m_sim.Stop();
    }
    tmstest::TestRuntimeDir m_dir;
    tmstest::RtsSimProcess m_sim;
    tmstest::ScriptProcess m_player;
};

// The page shows the playing channel and its position moving with the
// clock; the JSON says what tmsctl watch prints; the server outlives the
// channel's publisher and reports it gone. A browser run is bounded to 30 s
// and retried a few times, at most eight runs: a loaded machine renders
// slowly, and the test still ends within its time-out.
TEST_F(ServePageTest, PageFollowsTheHeldClockAndJsonAgreesWithWatch) {
    ASSERT_TRUE(std::filesystem::exists(Browser::Path()))
        << Browser::Path() << " is missing: run scripts/install-deps.sh";
    const std::string runtime = "--runtime " + m_dir.Path();
    ASSERT_TRUE(m_player.Start());
    ASSERT_TRUE(
        m_player.Send("open 1 page\ntimeline create ds grp clip 6000 populate\nalloc .\n"
                      "cue . 0\nwait . cue 5000\nplay .\n"));
    const std::string playing = tmstest::WatchUntil("1 " + runtime, "ShuttlePlay");
    ASSERT_NE(playing.find("ShuttlePlay"), std::string::npos) << playing;
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");

    ServeProcess serve;
    ASSERT_EQ(serve.Start(m_dir.Path()), "");

    // The channel publishes the held position within a few status cycles;
    // watch and the JSON are read until both show the simulator's.
    const long held = SimPosition(1);
    ASSERT_GE(held, 0);
    json channel;
    std::string watch;
    bool agreed = false;
    for (int i = 0; i < 200 && !agreed; ++i) {
        channel = GetJson(serve, "/api/channels/1");
        watch = Tmsctl("watch 1 --once " + runtime).out;
        agreed = channel.is_object() && channel["context"].is_object() &&
                 channel["context"]["position"] == held;
        for (const std::string& line :
             agreed ? WatchLinesOf(channel) : std::vector<std::string>{}) {
            agreed = agreed && watch.find(line) != std::string::npos;
        }
        if (!agreed) {
            std::this_thread::sleep_for(50ms);
        }
    }
    ASSERT_TRUE(agreed) << channel.dump(1) << "\n" << watch;
    EXPECT_EQ(channel["text"].get<std::string>().rfind("channel 1:\n", 0), 0u);
    EXPECT_EQ(channel["context"]["portState"], "ShuttlePlay");
    EXPECT_EQ(channel["publisher"]["pid"], m_player.Pid());
    const json all = GetJson(serve, "/api/channels");
    ASSERT_EQ(all["channels"].size(), 1u) << all.dump(1);
    EXPECT_EQ(all["channels"][0]["channel"], 1);

    Browser browser(m_dir.Path());
    const long before = held;
    std::string dom;
    long shown = -1;
    for (int i = 0; i < 3 && shown < 0; ++i) {
        dom = browser.Dom(serve.Url());
        shown = PagePosition(dom, 1);
    }
    ASSERT_EQ(shown, before) << dom << "\n" << browser.Errors();
    // Within that one page load the page polled the server and drew its
    // answer: it says live and when it was updated (the embedded data alone
    // leaves "connecting" and no time).
    EXPECT_TRUE(std::regex_search(dom, std::regex(R"re(id="conn"[^>]*>live<)re"))) << dom;
    EXPECT_TRUE(std::regex_search(dom, std::regex(R"re(id="updated"[^>]*>[^<]+<)re"))) << dom;

    ASSERT_EQ(tmstest::SimControl("clock step 50"), "ok");
    ASSERT_EQ(SimPosition(1), before + 50);
    long moved = before;
    for (int i = 0; i < 400 && moved != before + 50; ++i) {
        moved = GetJson(serve, "/api/channels/1")["context"]["position"].get<long>();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(moved, before + 50);
    shown = -1;
    for (int i = 0; i < 3 && shown != before + 50; ++i) {
        dom = browser.Dom(serve.Url());
        shown = PagePosition(dom, 1);
    }
    EXPECT_EQ(shown, before + 50) << dom << "\n" << browser.Errors();

    const std::string artifacts = TMS_TEST_ARTIFACTS;
    std::filesystem::create_directories(artifacts);
    const std::string png = artifacts + "/status-page.png";
    char magic[8] = {};
    for (int i = 0; i < 2 && magic[0] == 0; ++i) {
        std::filesystem::remove(png);
        browser.Screenshot(serve.Url(), png);
        std::ifstream(png, std::ios::binary).read(magic, sizeof magic);
    }
    EXPECT_EQ(std::string(magic, 8), "\x89PNG\r\n\x1a\n") << png << "\n" << browser.Errors();

    // The publisher dies: the server stays up and says so.
    const int pid = m_player.Pid();
    m_player.Kill();
    json gone;
    for (int i = 0; i < 200; ++i) {
        gone = GetJson(serve, "/api/channels");
        if (gone.is_object() && gone["channels"].size() == 1 &&
            gone["channels"][0]["publisher"]["state"] == "gone") {
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(gone["channels"].size(), 1u) << gone.dump(1);
    EXPECT_EQ(gone["channels"][0]["publisher"]["state"], "gone") << gone.dump(1);
    EXPECT_EQ(gone["channels"][0]["publisher"]["pid"], pid);
    ASSERT_EQ(tmstest::SimControl("clock run"), "ok");
    const int status = serve.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
