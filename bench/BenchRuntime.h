// The runtime folder a benchmark runs the channel in: a private
// TMS_RUNTIME_DIR with the channel's servers registered and the system
// configuration in place.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/com/CoCreateInstance.h"
#include "platform/kernel/NamedObjects.h"
#include "server/configmgr/SystemConfigFile.h"

// A private runtime folder (TMS_RUNTIME_DIR) with the channel's servers
// registered and the system configuration in place; on destruction the
// servers are unloaded, the server-wide status memory unlinked (this
// process is the server here) and the folder removed.
class CBenchRuntime {
public:
    CBenchRuntime() {
        std::string folder = (std::filesystem::temp_directory_path() / "tms-bench-XXXXXX").string();
        if (::mkdtemp(folder.data()) == nullptr) {
            m_error = "mkdtemp failed";
            return;
        }
        m_path = folder;
        ::setenv("TMS_RUNTIME_DIR", m_path.c_str(), 1);
        for (const char* lib :
             {TMS_CHANNEL_LIB, TMS_CONFIGMGR_LIB, TMS_XMLDOM_LIB, TMS_TIMELINE_LIB}) {
            if (DllRegisterServerAt(lib) != S_OK) {
                m_error = std::string("cannot register ") + lib;
                return;
            }
        }
        if (EnsureSystemConfig(&m_error).empty()) {
            return;
        }
        m_error.clear();
    }
    ~CBenchRuntime() {
        if (m_path.empty()) {
            return;
        }
        CoFreeUnusedLibrariesEx(0, 0);
        UnlinkNamedObject("StatusMemory");
        UnlinkNamedObject("StatusMemoryMutex");
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        ::unsetenv("TMS_RUNTIME_DIR");
    }
    CBenchRuntime(const CBenchRuntime&) = delete;
    CBenchRuntime& operator=(const CBenchRuntime&) = delete;

    const std::string& Error() const { return m_error; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_error;
};
