#include "tests/channel/TmsctlScript.h"

#include <array>
#include <cstdio>
#include <fstream>

namespace tmstest {

// Runs tmsctl on a script of channel calls; its output, stdout and stderr.
std::string RunTmsctlScript(const std::string& folder, const std::string& script) {
    const std::string path = folder + "/script.txt";
    std::ofstream(path, std::ios::trunc) << script;
    const std::string cmd = std::string(TMS_TMSCTL) + " run " + path + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return "popen failed";
    }
    std::string out;
    std::array<char, 512> buf;
    while (std::fgets(buf.data(), buf.size(), p) != nullptr) {
        out += buf.data();
    }
    pclose(p);
    return out;
}

}  // namespace tmstest
