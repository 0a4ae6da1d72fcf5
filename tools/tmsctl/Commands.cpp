#include "tools/tmsctl/Commands.h"

namespace tmsctl {

const std::vector<Command>& AllCommands() {
    static const std::vector<Command> commands = {
        {"timecode", "timecode text of a field position, or the position of a timecode",
         &RunTimecode},
        {"riff", "print RTS messages (RIFF files) as a tree with their bodies decoded", &RunRiff},
        {"rts", "drive the RTS simulator: GPI inputs, fault switches, status", &RunRts},
        {"register", "register the component and its servers in the runtime folder", &RunRegister},
        {"unregister", "remove them from the runtime folder's registry", &RunUnregister},
        {"run", "run a channel script (a file, or - for standard input)", &RunScript},
        {"movies", "list the movies stored in the runtime folder", &RunMovies},
        {"watch", "live view of what a channel publishes in the status memory", &RunWatch},
        {"serve", "the status of every channel as a live web page and JSON (read-only)", &RunServe},
        {"runtime", "clean: remove the shared memory a crashed server left", &RunRuntime},
        {"demo", "a short showcase of what the component does", &RunDemo},
    };
    return commands;
}

}  // namespace tmsctl
