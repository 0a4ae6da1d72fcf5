#include "platform/kernel/NamedObjects.h"

#include "platform/kernel/LastError.h"
#include "platform/kernel/RuntimeDir.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// glibc keeps shm_open objects as files in /dev/shm.
constexpr char kShmFolder[] = "/dev/shm/";

std::vector<int> ProcessIds() {
    std::vector<int> pids;
    if (DIR* dir = ::opendir("/proc")) {
        while (struct dirent* entry = ::readdir(dir)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && end != entry->d_name && *end == 0) {
                pids.push_back(static_cast<int>(pid));
            }
        }
        ::closedir(dir);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Whether process pid maps or holds open a file whose path starts with path.
bool Uses(int pid, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream maps(proc + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(path) != std::string::npos) {
            return true;
        }
    }
    bool found = false;
    if (DIR* dir = ::opendir((proc + "/fd").c_str())) {
        while (struct dirent* entry = ::readdir(dir)) {
            char target[512];
            const std::string link = proc + "/fd/" + entry->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(path, 0) == 0) {
                found = true;
                break;
            }
        }
        ::closedir(dir);
    }
    return found;
}

std::string ProgramName(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

BOOL UnlinkNamedObject(const char* name) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::shm_unlink(RuntimeObjectName(name).c_str()) != 0) {
        SetLastError(LastErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD UnlinkAllNamedObjects() {
    std::string prefix = RuntimeObjectPrefix().substr(1);
    std::vector<std::string> names;
    if (DIR* dir = ::opendir("/dev/shm")) {
        while (struct dirent* entry = ::readdir(dir)) {
            std::string n = entry->d_name;
            if (n.compare(0, prefix.size(), prefix) == 0) {
                names.push_back("/" + n);
            }
        }
        ::closedir(dir);
    }
    DWORD removed = 0;
    for (const std::string& n : names) {
        if (::shm_unlink(n.c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

std::vector<NamedObjectUser> NamedObjectUsers() {
    const std::string path = kShmFolder + RuntimeObjectPrefix().substr(1);
    std::vector<NamedObjectUser> users;
    for (const int pid : ProcessIds()) {
        if (Uses(pid, path)) {
            users.push_back({pid, ProgramName(pid)});
        }
    }
    return users;
}
