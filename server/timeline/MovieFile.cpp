#include "server/timeline/MovieFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/UniqueFd.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/MovieFileFormat.h"
#include "server/timeline/TimelineErrors.h"

namespace {

// Removes the temporary file at the end of its scope: after a rename it is
// gone already, after a link or a failure it must go.
class CTempPath {
public:
    explicit CTempPath(std::string path) : m_path(std::move(path)) {}
    ~CTempPath() {
        if (!m_path.empty()) {
            ::unlink(m_path.c_str());
        }
    }
    CTempPath(const CTempPath&) = delete;
    CTempPath& operator=(const CTempPath&) = delete;
    const std::string& Get() const { return m_path; }
    // Hands the file to the caller, who removes it.
    std::string Release() { return std::exchange(m_path, std::string()); }

private:
    std::string m_path;
};

std::string Folder(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

// Makes a rename or link in the folder durable; best effort, since the
// change is in place either way.
void SyncFolder(const std::string& folder) {
    CUniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) {
        ::fsync(fd.Get());
    }
}

}  // namespace

CMovieFile::CMovieFile(std::string path, IMovieDisk& disk)
    : m_path(std::move(path)), m_disk(&disk) {}

void CMovieFile::WriteFailed(const std::string& step, int err) const {
    HRESULT hr = TIMELINE_E_WRITE_FAULT;
    if (err == EACCES || err == EPERM || err == EROFS) {
        hr = E_ACCESSDENIED;
    } else if (err == ENOSPC || err == EDQUOT) {
        hr = TIMELINE_E_DISK_FULL;
    }
    throw CMovieError(
        hr, "Cannot write movie file '" + m_path + "': " + step + ": " + std::strerror(err));
}

MovieState CMovieFile::Read() const {
    CUniqueFd fd(::open(m_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int err = errno;
        if (err == ENOENT) {
            throw CMovieError(TIMELINE_E_MOVIE_NOT_FOUND,
                              "There is no movie file '" + m_path + "'");
        }
        throw CMovieError(err == EACCES ? E_ACCESSDENIED : TIMELINE_E_READ_FAULT,
                          "Cannot open movie file '" + m_path + "': " + std::strerror(err));
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            throw CMovieError(TIMELINE_E_READ_FAULT,
                              "Cannot read movie file '" + m_path + "': " + std::strerror(err));
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    try {
        return ParseMovieFileText(text);
    } catch (const CMovieError& e) {
        throw CMovieError(e.Error(), "Movie file '" + m_path + "' is corrupt: " + e.what());
    }
}

std::string CMovieFile::WriteTemp(const std::string& text) const {
    const std::string folder = Folder(m_path);
    if (!MakePrivateFolders(folder)) {
        const int err = errno;
        WriteFailed("cannot create the folder '" + folder + "'", err);
    }
    // Lacks the .movie ending, so listings skip it.
    std::string tempPath = folder + "/.movie-write-XXXXXX";
    CUniqueFd fd(m_disk->MakeTemp(tempPath));
    if (fd.Get() < 0) {
        const int err = errno;
        WriteFailed("cannot create a temporary file in '" + folder + "'", err);
    }
    CTempPath temp(tempPath);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = m_disk->Write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;  // no progress: the disk is full
            WriteFailed("writing " + tempPath, err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (m_disk->Fsync(fd.Get()) != 0) {
        const int err = errno;
        WriteFailed("syncing " + tempPath, err);
    }
    if (fd.Close() != 0) {
        const int err = errno;
        WriteFailed("closing " + tempPath, err);
    }
    return temp.Release();
}

void CMovieFile::Replace(const MovieState& state) const {
    CTempPath temp(WriteTemp(MovieFileText(state)));
    if (m_disk->Rename(temp.Get(), m_path) != 0) {
        const int err = errno;
        WriteFailed("renaming " + temp.Get() + " over it", err);
    }
    SyncFolder(Folder(m_path));
}

void CMovieFile::Create(const MovieState& state) const {
    CTempPath temp(WriteTemp(MovieFileText(state)));
    if (m_disk->Link(temp.Get(), m_path) != 0) {
        const int err = errno;
        if (err == EEXIST) {
            throw CMovieError(TIMELINE_E_MOVIE_EXISTS,
                              "There is a movie file '" + m_path + "' already");
        }
        WriteFailed("linking " + temp.Get() + " to it", err);
    }
    SyncFolder(Folder(m_path));
}
