// tmsctl: the command-line client of the channel component.
#include "tools/tmsctl/Commands.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void PrintHelp() {
    std::printf("usage: tmsctl SUBCOMMAND [ARGS...]\n\nsubcommands:\n");
    for (const auto& c : tmsctl::AllCommands()) {
        std::printf("  %-10s %s\n", c.name, c.help);
    }
    std::printf("\n'tmsctl SUBCOMMAND --help' describes one subcommand.\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintHelp();
        return tmsctl::kExitUsage;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        PrintHelp();
        return tmsctl::kExitOk;
    }
    for (const auto& c : tmsctl::AllCommands()) {
        if (name == c.name) {
            tmsctl::Args args(argv + 2, argv + argc);
            return c.run(args);
        }
    }
    std::fprintf(stderr, "tmsctl: unknown subcommand '%s' (try 'tmsctl --help')\n", name.c_str());
    return tmsctl::kExitUsage;
}
