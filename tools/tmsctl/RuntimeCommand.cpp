// tmsctl runtime clean [--runtime DIR]: removes the named kernel objects (the
// status memory and its mutex, the RTS shared memory, named mutexes) of a
// runtime folder that no process uses any more, such as those a crashed
// server or client left in /dev/shm. It refuses while any process still has
// one open or mapped, naming them, so that a running server keeps its memory.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/RuntimeDir.h"
#include "tools/tmsctl/Commands.h"

namespace tmsctl {

namespace {

int Usage(FILE* to, int exitCode) {
    std::fprintf(to,
                 "usage: tmsctl runtime clean [--runtime DIR]\n"
                 "Removes the shared-memory objects of the runtime folder when no process\n"
                 "uses them (after a crash); refuses, naming the users, while any does.\n");
    return exitCode;
}

int Clean() {
    std::string users;
    for (const NamedObjectUser& user : NamedObjectUsers()) {
        if (user.pid == ::getpid()) {
            continue;
        }
        users += (users.empty() ? "" : ", ") + std::to_string(user.pid) + " (" + user.program + ")";
    }
    const std::string folder = GetRuntimeDir();
    if (!users.empty()) {
        std::fprintf(stderr, "tmsctl runtime clean: %s is in use by process %s; nothing removed\n",
                     folder.c_str(), users.c_str());
        return kExitFailed;
    }
    const DWORD removed = UnlinkAllNamedObjects();
    std::printf("removed %lu shared-memory object%s of %s\n", static_cast<unsigned long>(removed),
                removed == 1 ? "" : "s", folder.c_str());
    return kExitOk;
}

}  // namespace

int RunRuntime(const Args& args) {
    bool clean = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            return Usage(stdout, kExitOk);
        } else if (a == "--runtime" && i + 1 < args.size()) {
            ::setenv("TMS_RUNTIME_DIR", args[++i].c_str(), 1);
        } else if (a == "clean" && !clean) {
            clean = true;
        } else {
            std::fprintf(stderr, "tmsctl runtime: unexpected '%s'\n", a.c_str());
            return Usage(stderr, kExitUsage);
        }
    }
    return clean ? Clean() : Usage(stderr, kExitUsage);
}

}  // namespace tmsctl
