// The subcommands of tmsctl. Each lives in a file of its own and is listed
// once in the table of Commands.cpp with its one-line help.
#pragma once

#include <string>
#include <vector>

namespace tmsctl {

using Args = std::vector<std::string>;

// Exit codes: 0 success, 1 the operation failed, 2 bad usage or bad input.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Command {
    const char* name;
    const char* help;
    int (*run)(const Args& args);
};

const std::vector<Command>& AllCommands();

int RunTimecode(const Args& args);
int RunRiff(const Args& args);
int RunDemo(const Args& args);
int RunRts(const Args& args);
int RunRegister(const Args& args);
int RunUnregister(const Args& args);
int RunScript(const Args& args);
int RunMovies(const Args& args);
int RunWatch(const Args& args);
int RunRuntime(const Args& args);
int RunServe(const Args& args);
// The channel part of the demo: against an embedded simulator, or the
// server of runtimeDir when given.
int RunChannelDemo(const std::string& runtimeDir);
// The scheduling part of the demo, on the runtime folder set up for it.
int RunScheduleDemo();
// Runs a built-in script of tmsctl run whose MOVIE is replaced by a new
// movie name starting with moviePrefix; failed calls are part of the show,
// only a broken script fails it.
int RunBuiltInScript(const char* scriptText, const char* moviePrefix);

}  // namespace tmsctl
