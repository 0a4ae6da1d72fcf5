#include "server/configmgr/SystemConfigStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/kernel/PrivateFiles.h"
#include "platform/xml/XmlError.h"
#include "server/configmgr/SystemConfigFile.h"

namespace {

constexpr HRESULT kMalformed = HRESULT_FROM_WIN32(13);  // ERROR_INVALID_DATA

// Holds the flock of "<file>.lock" for a scope.
class CFileLock {
public:
    CFileLock(const std::string& path, int operation) {
        const std::string lockPath = path + ".lock";
        m_fd = OpenPrivateFile(lockPath, O_RDWR);
        if (m_fd < 0) {
            throw CConfigError(E_FAIL,
                               "cannot open the lock " + lockPath + ": " + std::strerror(errno));
        }
        while (::flock(m_fd, operation) != 0) {
            if (errno != EINTR) {
                const int err = errno;
                ::close(m_fd);
                throw CConfigError(E_FAIL, "cannot lock " + lockPath + ": " + std::strerror(err));
            }
        }
    }
    ~CFileLock() { ::close(m_fd); }  // closing drops the lock
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

private:
    int m_fd = -1;
};

std::string EnsuredPath() {
    std::string error;
    std::string path = EnsureSystemConfig(&error);
    if (path.empty())
        throw CConfigError(E_FAIL, error);
    return path;
}

}  // namespace

CSystemConfigStore::CSystemConfigStore() : m_path(EnsuredPath()) {}

CSystemConfigStore::CSystemConfigStore(std::string path) : m_path(std::move(path)) {}

CXmlDocument CSystemConfigStore::Read() const {
    CXmlDocument doc;
    try {
        doc.Load(m_path);
    } catch (const CXmlError& e) {
        if (e.Line() > 0) {
            throw CConfigError(kMalformed,
                               m_path + ":" + std::to_string(e.Line()) + ":" +
                                   std::to_string(e.Column()) +
                                   ": the system configuration is malformed: " + e.Reason());
        }
        throw CConfigError(kMalformed, m_path + ": " + e.what());
    }
    if (doc.DocumentElement().IsNull() || doc.DocumentElement().Name() != "Config") {
        throw CConfigError(kMalformed, m_path + ": the top element is not <Config>");
    }
    return doc;
}

CXmlDocument CSystemConfigStore::Load() const {
    CFileLock lock(m_path, LOCK_SH);
    return Read();
}

void CSystemConfigStore::Update(const std::function<void(CXmlDocument&)>& change) const {
    CFileLock lock(m_path, LOCK_EX);
    CXmlDocument doc = Read();
    change(doc);
    try {
        doc.Save(m_path);
    } catch (const CXmlError& e) {
        throw CConfigError(E_FAIL, m_path + ": " + e.what());
    }
}
