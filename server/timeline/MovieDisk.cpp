#include "server/timeline/MovieDisk.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "platform/kernel/PrivateFiles.h"

namespace {

class CSystemMovieDisk : public IMovieDisk {
public:
    int MakeTemp(std::string& pathTemplate) override {
        const int fd = ::mkostemp(pathTemplate.data(), O_CLOEXEC);
        if (fd >= 0) {
            MakePrivate(fd);  // mkostemp's 0600 is narrowed by the umask
        }
        return fd;
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override {
        return ::write(fd, data, size);
    }
    int Fsync(int fd) override { return ::fsync(fd); }
    int Rename(const std::string& from, const std::string& to) override {
        return std::rename(from.c_str(), to.c_str());
    }
    int Link(const std::string& from, const std::string& to) override {
        return ::link(from.c_str(), to.c_str());
    }
};

}  // namespace

IMovieDisk& SystemMovieDisk() {
    static CSystemMovieDisk disk;
    return disk;
}
