#include "platform/kernel/NamedObjects.h"

#include "platform/kernel/LastError.h"
#include "platform/kernel/RuntimeDir.h"

#include <dirent.h>
#include <sys/mman.h>

#include <cerrno>
#include <string>
#include <vector>

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
    // glibc keeps shm_open objects as files in /dev/shm.
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
