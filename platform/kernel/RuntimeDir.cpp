#include "platform/kernel/RuntimeDir.h"

#include "platform/kernel/PrivateFiles.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

std::uint64_t Fnv1a64(std::string_view text) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string Hex16(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// The folder's path with symbolic links, "." and ".." resolved, so that two
// spellings of one folder give one set of names.
std::string CanonicalRuntimeDir() {
    std::string dir = GetRuntimeDir();
    char resolved[PATH_MAX];
    if (::realpath(dir.c_str(), resolved) != nullptr) {
        return resolved;
    }
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    return (ec ? std::filesystem::path(dir) : p).lexically_normal().string();
}

}  // namespace

std::string RuntimeDirText() {
    std::string dir;
    const char* own = std::getenv("TMS_RUNTIME_DIR");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (own != nullptr && *own != 0) {
        dir = own;
    } else if (xdg != nullptr && *xdg != 0) {
        dir = std::string(xdg) + "/tms";
    } else {
        dir = "/tmp/tms-" + std::to_string(::getuid());
    }
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

std::string GetRuntimeDir() {
    std::string dir = RuntimeDirText();
    MakePrivateFolders(dir);
    return dir;
}

std::string PlannedRuntimePath(std::string_view relative) {
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    return RuntimeDirText() + "/" + std::string(relative);
}

std::string RuntimePath(std::string_view relative) {
    while (!relative.empty() && relative.front() == '/') {
        relative.remove_prefix(1);
    }
    std::string path = GetRuntimeDir() + "/" + std::string(relative);
    std::size_t slash = path.rfind('/');
    MakePrivateFolders(path.substr(0, slash));
    return path;
}

std::string RuntimeObjectPrefix() {
    return "/tms." + Hex16(Fnv1a64(CanonicalRuntimeDir())) + ".";
}

std::string RuntimeObjectName(std::string_view name) {
    std::string out = RuntimeObjectPrefix();
    // shm_open names become files in one folder: the whole name, leading '/'
    // included, must stay below NAME_MAX.
    constexpr std::size_t kMax = NAME_MAX - 1;
    std::string clean;
    clean.reserve(name.size());
    for (unsigned char c : name) {
        bool printable = c >= 0x20 && c < 0x7F;
        clean += (!printable || c == '/' || c == '\\') ? '_' : static_cast<char>(c);
    }
    if (out.size() + clean.size() > kMax) {
        std::string tail = "~" + Hex16(Fnv1a64(name));
        clean.resize(kMax - out.size() - tail.size());
        clean += tail;
    }
    return out + clean;
}
