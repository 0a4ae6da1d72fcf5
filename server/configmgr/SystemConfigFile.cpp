#include "server/configmgr/SystemConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/kernel/InstallLayout.h"
#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/RuntimeDir.h"

#ifndef TMS_SAMPLE_CONFIG
#define TMS_SAMPLE_CONFIG "config/system.xml"
#endif

namespace {

std::string Errno(int err) {
    return std::strerror(err);
}

void SetError(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
}

}  // namespace

std::string SystemConfigPath() {
    return RuntimePath("system.xml");
}

std::string SampleConfigPath() {
    const char* env = std::getenv("TMS_SAMPLE_CONFIG");
    if (env && *env) {
        return env;
    }
    // An installed copy keeps its sample beside the programs, not in the
    // source tree the build was made from.
    return InstalledPathOr(reinterpret_cast<const void*>(&SampleConfigPath),
                           "share/tmschannel/system.xml", TMS_SAMPLE_CONFIG);
}

std::string EnsureSystemConfig(std::string* error) {
    const std::string target = SystemConfigPath();
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
        return target;
    }
    const std::string sample = SampleConfigPath();
    std::ifstream in(sample, std::ios::binary);
    if (!in) {
        SetError(error, "cannot read the sample configuration " + sample + ": " + Errno(errno));
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string body = text.str();

    std::string temp = target + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        SetError(error, "cannot create " + temp + ": " + Errno(errno));
        return {};
    }
    MakePrivate(fd);
    std::size_t done = 0;
    bool ok = true;
    while (done < body.size()) {
        ssize_t n = ::write(fd, body.data() + done, body.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const int writeErr = errno;
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(temp.c_str());
        SetError(error, "cannot write " + temp + ": " + Errno(writeErr));
        return {};
    }
    // link() fails when the target appeared meanwhile: that file wins.
    if (::link(temp.c_str(), target.c_str()) != 0 && errno != EEXIST) {
        const int err = errno;
        ::unlink(temp.c_str());
        SetError(error, "cannot create " + target + ": " + Errno(err));
        return {};
    }
    ::unlink(temp.c_str());
    return target;
}
