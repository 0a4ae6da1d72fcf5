#include "platform/kernel/InstallLayout.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string_view>

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

std::optional<std::string> InstallPrefixOf(const void* addressInModule) {
    Dl_info info{};
    if (dladdr(addressInModule, &info) == 0 || info.dli_fname == nullptr) {
        return std::nullopt;
    }
    std::string selfExe;
    if (info.dli_fname[0] != '/') {
        char exe[4096];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        selfExe = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string();
    }
    const std::string module = ModuleFileOf(info.dli_fname, selfExe);
    const std::size_t slash = module.rfind('/');
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    return InstallPrefixOfFolder(module.substr(0, slash));
}

std::string ModuleFileOf(const std::string& reported, const std::string& selfExe) {
    // The main program is reported by the name it was started with, which
    // may be relative to a folder it has since left (./tmsctl): only an
    // absolute name is trusted.
    return !reported.empty() && reported.front() == '/' ? reported : selfExe;
}

std::optional<std::string> InstallPrefixOfFolder(const std::string& folder) {
    for (std::string_view tail : {std::string_view("/bin"), std::string_view("/lib/tmschannel")}) {
        if (EndsWith(folder, tail)) {
            return folder.substr(0, folder.size() - tail.size());
        }
    }
    return std::nullopt;
}

std::string InstalledPathOr(const void* addressInModule, const std::string& relative,
                            const std::string& builtPath) {
    const std::optional<std::string> prefix = InstallPrefixOf(addressInModule);
    if (!prefix) {
        return builtPath;
    }
    const std::string installed = *prefix + "/" + relative;
    return ::access(installed.c_str(), F_OK) == 0 ? installed : builtPath;
}
