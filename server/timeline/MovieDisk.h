// IMovieDisk: the system calls by which a movie file is written, as a seam
// through which tests fail any one of them (a full disk, an I/O error, a
// crash between the steps) and check that the stored movie survives.
//
// Each method behaves as the system call it is named after: -1 (or a short
// count) with errno set on failure.
//
// Thread safety: SystemMovieDisk() is stateless and shared by every thread;
// an implementation must allow calls from several threads at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

class IMovieDisk {
public:
    virtual ~IMovieDisk() = default;

    // mkstemp: replaces the trailing XXXXXX of pathTemplate, opens the file.
    virtual int MakeTemp(std::string& pathTemplate) = 0;
    virtual ssize_t Write(int fd, const void* data, std::size_t size) = 0;
    virtual int Fsync(int fd) = 0;
    virtual int Rename(const std::string& from, const std::string& to) = 0;
    // link: fails with EEXIST when to exists, which makes a create atomic.
    virtual int Link(const std::string& from, const std::string& to) = 0;
};

IMovieDisk& SystemMovieDisk();
