// tmsctl rts: talks to the RTS simulator's control port of the current
// runtime folder (or --runtime DIR).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/ipmclient/IpmClient.h"
#include "tools/tmsctl/Commands.h"

namespace tmsctl {

namespace {

int RtsUsage() {
    std::fprintf(stderr,
                 "usage: tmsctl rts [--runtime DIR] gpi CHANNEL INPUT on|off\n"
                 "       tmsctl rts [--runtime DIR] fault none|noreply|malformed|exit\n"
                 "       tmsctl rts [--runtime DIR] fault delay MS|ack STATUS|closeafter N\n"
                 "       tmsctl rts [--runtime DIR] fault replysize BYTES\n"
                 "       tmsctl rts [--runtime DIR] context CHANNEL INDEX PORTSTATE TRIGGERSTATUS\n"
                 "       tmsctl rts [--runtime DIR] clock hold|run|step FIELDS\n"
                 "       tmsctl rts [--runtime DIR] gop-offset CHANNEL PICTURES\n"
                 "       tmsctl rts [--runtime DIR] status CHANNEL\n"
                 "       tmsctl rts [--runtime DIR] houseclock VALUE\n"
                 "       tmsctl rts [--runtime DIR] gang CHANNEL VALUE OPID\n"
                 "       tmsctl rts [--runtime DIR] fired CHANNEL\n"
                 "       tmsctl rts [--runtime DIR] gpifired CHANNEL [clear]\n"
                 "       tmsctl rts [--runtime DIR] audio CHANNEL N error CODE\n"
                 "       tmsctl rts [--runtime DIR] quit\n");
    return kExitUsage;
}

// The fired log comes a page an answer: asks for the entries after those
// printed until all have come.
int PrintFiredPages(CIpmClient& port, const std::string& channel, std::string page) {
    const std::size_t total = std::strtoul(page.c_str() + 6, nullptr, 10);
    std::size_t printed = 0;
    for (;;) {
        const std::size_t lines =
            static_cast<std::size_t>(std::count(page.begin(), page.end(), '\n'));
        if (lines == 0 || (printed += lines) >= total) {
            return kExitOk;
        }
        const std::string next = "fired " + channel + " " + std::to_string(printed);
        char answer[512];
        if (port.Write(next.data(), static_cast<int>(next.size())) < 0) {
            return kExitFailed;
        }
        const int n = port.Read(answer, sizeof answer);
        if (n <= 0) {
            return kExitFailed;
        }
        page.assign(answer, static_cast<std::size_t>(n));
        const std::size_t first = page.find('\n');
        std::printf("%s\n", first == std::string::npos ? "" : page.c_str() + first + 1);
    }
}

}  // namespace

int RunRts(const Args& argsIn) {
    Args args = argsIn;
    if (args.size() >= 2 && args[0] == "--runtime") {
        ::setenv("TMS_RUNTIME_DIR", args[1].c_str(), 1);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty() || args[0] == "--help") {
        RtsUsage();
        return args.empty() ? kExitUsage : kExitOk;
    }
    const std::string& verb = args[0];
    const bool known =
        (verb == "gpi" && args.size() == 4) ||
        (verb == "fault" && (args.size() == 2 || args.size() == 3)) ||
        (verb == "context" && args.size() == 5) ||
        (verb == "clock" && (args.size() == 2 || args.size() == 3)) ||
        (verb == "status" && args.size() == 2) || (verb == "houseclock" && args.size() == 2) ||
        (verb == "gang" && args.size() == 4) || (verb == "fired" && args.size() == 2) ||
        (verb == "gpifired" && (args.size() == 2 || args.size() == 3)) ||
        (verb == "gop-offset" && args.size() == 3) || (verb == "audio" && args.size() == 5) ||
        (verb == "quit" && args.size() == 1);
    if (!known) {
        return RtsUsage();
    }
    std::string command;
    for (const std::string& a : args) {
        command += (command.empty() ? "" : " ") + a;
    }
    CIpmClient port(512, 1, "rtssim/control", 5000);
    if (!port.IsOpen()) {
        std::fprintf(stderr, "tmsctl rts: no RTS simulator answers in this runtime folder (%s)\n",
                     std::strerror(port.LastError()));
        return kExitFailed;
    }
    if (port.Write(command.data(), static_cast<int>(command.size())) < 0) {
        std::fprintf(stderr, "tmsctl rts: cannot send '%s': %s\n", command.c_str(),
                     std::strerror(port.LastError()));
        return kExitFailed;
    }
    char answer[512];
    int n = port.Read(answer, sizeof answer);
    if (n <= 0) {
        std::fprintf(stderr, "tmsctl rts: no answer to '%s': %s\n", command.c_str(),
                     n == 0 ? "the simulator closed the port" : std::strerror(port.LastError()));
        return kExitFailed;
    }
    const std::string text(answer, static_cast<std::size_t>(n));
    if (text.rfind("error ", 0) == 0) {
        std::fprintf(stderr, "tmsctl rts: %s\n", text.c_str() + 6);
        return kExitUsage;
    }
    std::printf("%s\n", text.c_str());
    if (verb == "fired") {
        return PrintFiredPages(port, args[1], text);
    }
    return kExitOk;
}

}  // namespace tmsctl
