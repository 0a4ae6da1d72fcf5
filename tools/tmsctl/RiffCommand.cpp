// tmsctl riff FILE...: prints RTS messages captured to files.
#include "tools/tmsctl/Commands.h"
#include "tools/tmsctl/RiffPrinter.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace tmsctl {

int RunRiff(const Args& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fprintf(
            args.empty() ? stderr : stdout,
            "usage: tmsctl riff FILE...\n"
            "Prints each RIFF message as a tree of forms, lists and chunks, with the\n"
            "RTS protocol's bodies decoded and other bodies in hex. A truncated or\n"
            "malformed file is printed as far as it can be read, then an error (exit 2).\n");
        return args.empty() ? kExitUsage : kExitOk;
    }
    int result = kExitOk;
    for (const std::string& path : args) {
        if (args.size() > 1) {
            std::cout << "== " << path << "\n";
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cout.flush();
            std::fprintf(stderr, "tmsctl riff: cannot read '%s'\n", path.c_str());
            result = kExitUsage;
            continue;
        }
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        CRiffPrinter printer(std::cout);
        if (!printer.Print(bytes.data(), bytes.size())) {
            std::cout.flush();
            std::fprintf(stderr, "tmsctl riff: %s: %s\n", path.c_str(), printer.Error().c_str());
            result = kExitUsage;
        }
    }
    return result;
}

}  // namespace tmsctl
