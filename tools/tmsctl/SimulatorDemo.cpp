// The channel part of tmsctl demo: the RTS simulator on a private runtime
// folder (or a server already running on --runtime DIR), the component
// registered there, and a built-in script run through the public interfaces;
// then what the RTS received, message by message.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/kernel/InstallLayout.h"
#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/PrivateFiles.h"
#include "tools/tmsctl/ChannelScript.h"
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/RiffPrinter.h"

namespace tmsctl {

namespace {

const char kDemoScript[] = R"(# open channel 1 of the sample server, look at it, change it, close it
open 1 tmsctl-demo
ee
ee on
ee
resprop video 0 compression+datarate+chroma+aspectratio
resstatus video 0 videoformatstr
setresprop video 0 aspectratio 16:9
resprop video 0 nosuchproperty
resprop audio 7 inputgain
refresh gpin
caps
# a movie of two segments on the channel's record tracks, a context cued and
# played on it, and its port as the RTS reports it after each step
timeline create demo reels MOVIE 300 populate
timeline append . 300
timeline show .
alloc .
cue . 0
wait . cue 2000
port .
play .
wait . play 2000
sleep 500
port .
shuttle . -2.0
sleep 100
port .
seek . 100
port .
stop .
port .
status . assigned+ctxportstate+position+portstate+countdownstr
play .
wait . play 2000
AUDIO_TIMECODE
# the playing channel as other processes of the server see it
watch 1 3
stop .
alloc . publish
status 0 assigned
free .
timeline extend . 0 900
timeline show .
timeline close .
ee off
close
)";

// A recorder channel records a few seconds into a new movie, stops, shows
// the finished movie, and plays it back to its end, where auto stop holds
// it.
const char kRecordingScript[] =
    R"(# record on channel 3, the recorder, into an empty movie without an end
open 2 tmsctl-demo
timeline create demo reels RECORDING
alloc .
change . state=cuerecord pos=0 end=max
wait . cuerecord 2000
record .
wait . record 2000
sleep 3000
port .
timeline show .
change . state=idle
wait . idle 3000
timeline show .
free .
# the recording played back from its mark in: auto stop holds it at its end
timeline close .
timeline open demo reels RECORDING
alloc .
cue . 0
wait . cue 2000
play .
wait . play 2000
sleep 4000
port .
status . ctxportstate+position+ctxshuttlespeed
free .
close
)";

// The files of a runtime folder's volumes, with their sizes.
void PrintVolumes(const std::string& runtime) {
    std::printf("\nFiles on the volumes:\n");
    std::error_code ec;
    const std::filesystem::path root = std::filesystem::path(runtime) / "volumes";
    std::vector<std::string> lines;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (e.is_regular_file(ec)) {
            lines.push_back(std::filesystem::relative(e.path(), root, ec).string() + "  " +
                            std::to_string(e.file_size(ec)) + " bytes");
        }
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines) {
        std::printf("  %s\n", line.c_str());
    }
}

int RunRecordingScript(const std::string& runtime) {
    std::string text = kRecordingScript;
    char name[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "rec-%Y%m%d-%H%M%S", std::localtime(&now));
    for (std::size_t at; (at = text.find("RECORDING")) != std::string::npos;) {
        text.replace(at, 9, name);
    }
    std::printf("\nA recording on the recorder channel, then its playback:\n\n");
    std::istringstream script(text);
    CChannelScript runner;
    const int rc = runner.Run(script, std::cout);
    std::cout.flush();
    PrintVolumes(runtime);
    return rc == kExitOk ? kExitOk : kExitFailed;
}

// The simulator process for the scope of the demo.
class CSimulatorProcess {
public:
    bool Start(const std::string& runtime, const std::string& dump) {
        int out[2];
        if (::pipe(out) != 0) {
            return false;
        }
        // An installed tmsctl starts the simulator installed beside it.
        const std::string simulator = InstalledPathOr(
            reinterpret_cast<const void*>(&RunChannelDemo), "bin/tms-rtssim", TMS_RTSSIM_PATH);
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execl(simulator.c_str(), simulator.c_str(), "--runtime", runtime.c_str(), "--dump",
                    dump.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(out[1]);
        char line[64] = {};
        const ssize_t n = ::read(out[0], line, sizeof line - 1);
        ::close(out[0]);
        return m_pid > 0 && n > 0 && std::strstr(line, "ready") != nullptr;
    }
    ~CSimulatorProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
};

void PrintReceived(const std::string& dump) {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dump)) {
        files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    std::printf("\nWhat the RTS received (%zu messages):\n", files.size());
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        if (bytes.size() < 12) {
            continue;
        }
        const std::string form(bytes.data() + 8, 4);
        std::printf("\n-- %s (%zu bytes)\n", form.c_str(), bytes.size());
        if (form == "open" || form == "rfsh") {
            // The configuration text is long: the tree without it.
            std::printf("   (owner record and the channel's configuration text)\n");
            continue;
        }
        CRiffPrinter printer(std::cout);
        printer.Print(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        std::cout.flush();
    }
}

// The sound and timecode of the playing movie: levels and the generator's
// timecode a moment apart, a gain changed (not saved) and read back as the
// RTS runs it, and the timecode settings a client chooses from.
std::string AudioTimecodeScript() {
    std::string text = "# the audio levels and the timecode moving while the movie plays\n";
    for (int look = 0; look < 3; ++look) {
        text +=
            "resstatus audio 0 level\nresstatus audio 1 level\nresstatus timecode 0 timecodestr\n";
        text += "sleep 300\n";
    }
    text +=
        "setresprop audio 1 outputgain -6.0 nopersist\n"
        "sleep 200\n"
        "resprop audio 1 outputgain\n"
        "resstatus audio 1 outputgain\n"
        "setresprop audio 1 outputgain 0.0 nopersist\n"
        "resprop timecode 0 genmode+currenttcinput+genfixedtimecode+clockwatcherinput\n"
        "resprop audio 0 inputlabel+primaryoutputtag+secondaryoutputtag+playsilence\n";
    return text;
}

int RunScriptText() {
    return RunBuiltInScript(kDemoScript, "demo");
}

}  // namespace

int RunBuiltInScript(const char* scriptText, const char* moviePrefix) {
    // Movies are kept in the runtime folder: each run makes a new one.
    std::string text = scriptText;
    char name[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(name, sizeof name, "-%Y%m%d-%H%M%S", std::localtime(&now));
    text.replace(text.find("MOVIE"), 5, moviePrefix + std::string(name));
    // The main demo shows the audio levels and the timecode in its middle.
    if (const auto at = text.find("AUDIO_TIMECODE\n"); at != std::string::npos) {
        text.replace(at, 15, AudioTimecodeScript());
    }
    std::istringstream script(text);
    CChannelScript runner;
    const int rc = runner.Run(script, std::cout);
    std::cout.flush();
    // Failures are part of the show (the two bad queries); only a broken
    // script or a failed open is a failed demo.
    return rc == kExitUsage ? kExitFailed : kExitOk;
}

namespace {

// The GPI outputs and the ancillary data of the channel: the one GPI
// property, the RTS's output mask, and the ancillary-data status (whose one
// capitalised status name is matched exactly, and which has no properties).
const char kGpiAndAncDataScript[] = R"(# channel 1's GPI outputs and ancillary data
open 1 tmsctl-demo
resprop gpi 0 enabled
resstatus gpi 0 outputmask
setresprop gpi 0 enabled false
resprop gpi 0 enabled
setresprop gpi 0 enabled true
resstatus ancillaryData 0 fieldsPerRiff
resstatus ancillaryData 0 tickcount
resprop ancillaryData 0 fieldsperriff
close
)";

int RunGpiAndAncDataScript() {
    std::printf("\n");
    std::istringstream script(kGpiAndAncDataScript);
    CChannelScript runner;
    const int rc = runner.Run(script, std::cout);
    std::cout.flush();
    return rc == kExitUsage ? kExitFailed : kExitOk;
}

// The main script, the GPI and ancillary-data one, then the scheduled
// changes.
int RunDemoScripts() {
    int rc = RunScriptText();
    if (rc == kExitOk)
        rc = RunGpiAndAncDataScript();
    const int scheduled = RunScheduleDemo();
    return rc != kExitOk ? rc : scheduled;
}

}  // namespace

int RunChannelDemo(const std::string& runtimeDir) {
    if (!runtimeDir.empty()) {
        ::setenv("TMS_RUNTIME_DIR", runtimeDir.c_str(), 1);
        std::printf("\nThe channel against the server on %s:\n", runtimeDir.c_str());
        if (RegisterServers(false) != kExitOk) {
            return kExitFailed;
        }
        const int played = RunDemoScripts();
        const int recorded = RunRecordingScript(runtimeDir);
        return played != kExitOk ? played : recorded;
    }
    std::string runtime = (std::filesystem::temp_directory_path() / "tms-demo-XXXXXX").string();
    if (::mkdtemp(runtime.data()) == nullptr) {
        std::fprintf(stderr, "tmsctl demo: cannot make a runtime folder\n");
        return kExitFailed;
    }
    ::setenv("TMS_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string dump = runtime + "/dump";
    MakePrivateFolders(dump);
    int result = kExitOk;
    {
        std::printf(
            "\nA channel opened through CoCreateInstance against the RTS simulator on a\n"
            "private runtime folder (%s):\n\n",
            runtime.c_str());
        CSimulatorProcess sim;
        if (!sim.Start(runtime, dump)) {
            std::fprintf(stderr, "tmsctl demo: the RTS simulator did not start\n");
            result = kExitFailed;
        } else if (RegisterServers(false) != kExitOk) {
            result = kExitFailed;
        } else {
            result = RunDemoScripts();
            PrintReceived(dump);
            if (const int recorded = RunRecordingScript(runtime); result == kExitOk) {
                result = recorded;
            }
        }
    }
    // The demo was the server of its runtime folder: the server-wide status
    // memory goes with it.
    UnlinkNamedObject("StatusMemory");
    UnlinkNamedObject("StatusMemoryMutex");
    std::error_code ec;
    std::filesystem::remove_all(runtime, ec);
    return result;
}

}  // namespace tmsctl
