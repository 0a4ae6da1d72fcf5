#include "server/appserverutil/VfsLibWrapper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/com/ErrorInfo.h"
#include "platform/com/Utf.h"
#include "platform/kernel/LocalTime.h"
#include "platform/kernel/PrivateFiles.h"
#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/UniqueFd.h"
#include "server/appserverutil/PictureIndex.h"
#include "server/errorlog/ErrorLog.h"

namespace {

void Log(LONG level, HRESULT hr, const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ErrorLogWriteExW(hr, now, 0, level, "VfsLibWrapper.cpp", 0, 0, text.c_str(), 0);
}

HRESULT Fail(HRESULT hr, const std::string& text) {
    Log(ERRORLOG_LEVEL_ERROR, hr, text);
    return ReportErrorInfo(hr, IID_NULL, "CVfsLibWrapper", text);
}

std::string Narrow(const char16_t* text) {
    return text ? Utf16ToUtf8(text) : std::string();
}

std::string FolderOf(const std::string& volume) {
    std::string folder;
    for (char c : volume) {
        if (c != ':')
            folder += c;
    }
    return folder;
}

std::uint64_t Fnv1a(const std::string& s) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) {
        h = (h ^ c) * 1099511628211ull;
    }
    return h;
}

}  // namespace

CVfsLibWrapper::CVfsLibWrapper() {
    const char* env = std::getenv("TMS_VOLUMES");
    std::stringstream list(env && *env ? env : "V:");
    std::string name;
    while (std::getline(list, name, ',')) {
        if (!FolderOf(name).empty() && name.find('/') == std::string::npos &&
            name.find("..") == std::string::npos) {
            m_volumes.push_back(name);
        }
    }
    if (m_volumes.empty())
        m_volumes.push_back("V:");
}

CVfsLibWrapper::~CVfsLibWrapper() {
    for (auto& [handle, fd] : m_files)
        ::close(fd);
}

HRESULT CVfsLibWrapper::ReportResource(LONG channel, gfsReportRes_e event) {
    if (event < gfsResChannelCreated || event > gfsResAncDataDestroyed) {
        return Fail(E_INVALIDARG, "ReportResource: event " + std::to_string(event) +
                                      " of channel " + std::to_string(channel) + " is not 0 to 8");
    }
    static const char* const names[] = {
        "channel resources created", "video created",          "audio created",
        "timecode created",          "ancillary data created", "video destroyed",
        "audio destroyed",           "timecode destroyed",     "ancillary data destroyed"};
    Log(ERRORLOG_LEVEL_TRACE, S_OK,
        "file systems: channel " + std::to_string(channel) + " " + names[event]);
    return S_OK;
}

namespace {

// $TMS_VOLUME_QUOTA: "V:=BYTES[,W:=BYTES]"; 0 for a volume without one.
ULONGLONG QuotaOf(const std::string& volume) {
    const char* text = std::getenv("TMS_VOLUME_QUOTA");
    if (text == nullptr) {
        return 0;
    }
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const std::size_t eq = item.find('=');
        if (eq != std::string::npos && item.substr(0, eq) == volume) {
            return std::strtoull(item.c_str() + eq + 1, nullptr, 10);
        }
    }
    return 0;
}

}  // namespace

std::string CVfsLibWrapper::VolumePath(int index) const {
    if (index < 0 || index >= GetNumFileSystems())
        return {};
    // RuntimePath makes the folders up to "volumes"; the volume's own is made here.
    const std::string path = RuntimePath("volumes/" + FolderOf(m_volumes[index]));
    MakePrivateFolders(path);
    return path;
}

HRESULT CVfsLibWrapper::GetFileSystemName(int index, char16_t* buffer, int size) const {
    if (buffer == nullptr || size <= 0)
        return E_POINTER;
    buffer[0] = 0;
    if (index < 0 || index >= GetNumFileSystems()) {
        return Fail(E_INVALIDARG, "no file system " + std::to_string(index));
    }
    const std::u16string name = Utf8ToUtf16(m_volumes[index]);
    const std::size_t n = std::min<std::size_t>(name.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, name.data(), n * sizeof(char16_t));
    buffer[n] = 0;
    return S_OK;
}

HRESULT CVfsLibWrapper::QueryFileSystemSpace(int index, ULONGLONG* total, ULONGLONG* free) const {
    if (total == nullptr || free == nullptr)
        return E_POINTER;
    const std::string path = VolumePath(index);
    if (path.empty())
        return Fail(E_INVALIDARG, "no file system " + std::to_string(index));
    if (const ULONGLONG quota = QuotaOf(m_volumes[index]); quota > 0) {
        // A volume with a quota is as large as the quota and holds what
        // its folder holds.
        std::error_code ec;
        ULONGLONG used = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec)) {
            if (entry.is_regular_file(ec) && !entry.is_symlink(ec)) {
                used += static_cast<ULONGLONG>(entry.file_size(ec));
            }
        }
        *total = quota;
        *free = used < quota ? quota - used : 0;
        return S_OK;
    }
    struct statvfs st;
    if (::statvfs(path.c_str(), &st) != 0) {
        return Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
                    "cannot query " + path + ": " + std::strerror(errno));
    }
    *total = static_cast<ULONGLONG>(st.f_blocks) * st.f_frsize;
    *free = static_cast<ULONGLONG>(st.f_bavail) * st.f_frsize;
    return S_OK;
}

std::string CVfsLibWrapper::MediaPath(const std::string& name, std::string* error) const {
    std::string rest = name;
    int volume = 0;
    for (int i = 0; i < GetNumFileSystems(); ++i) {
        const std::string& v = m_volumes[i];
        if (rest.size() > v.size() && rest.compare(0, v.size(), v) == 0 &&
            (rest[v.size()] == '/' || rest[v.size()] == '\\')) {
            volume = i;
            rest = rest.substr(v.size() + 1);
            break;
        }
    }
    for (char& c : rest) {
        if (c == '\\')
            c = '/';
    }
    if (rest.empty() || rest[0] == '/') {
        *error = "media name '" + name + "' is empty or absolute";
        return {};
    }
    std::stringstream parts(rest);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == "." || part == ".." || part.find(':') != std::string::npos) {
            *error = "media name '" + name + "' has a part '" + part + "' that is not allowed";
            return {};
        }
    }
    if (rest.back() == '/') {
        *error = "media name '" + name + "' ends in a separator";
        return {};
    }
    return VolumePath(volume) + "/" + rest;
}

HANDLE CVfsLibWrapper::CreateFileW(const char16_t* name, DWORD, DWORD, DWORD, DWORD, HANDLE) {
    std::string error;
    const std::string path = MediaPath(Narrow(name), &error);
    if (path.empty()) {
        Fail(E_INVALIDARG, error);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
             "cannot open " + path + ": " + std::strerror(errno));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = reinterpret_cast<HANDLE>(m_nextHandle += 4);
    m_files[h] = fd;
    m_paths[h] = path;
    return h;
}

HRESULT CVfsLibWrapper::GetPictureStatus(HANDLE file, unsigned offset, unsigned* size,
                                         PixCoding* coding, MpegPixStructure* structure) {
    auto it = m_files.find(file);
    if (it == m_files.end())
        return E_INVALIDARG;
    unsigned pictureSize = 0;
    PixCoding pictureCoding = PixCodingI;
    MpegPixStructure pictureStructure = PixFrame;
    const std::string index = m_paths[file] + picture_index::kSuffix;
    CUniqueFd fd(::open(index.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() >= 0) {
        char magic[sizeof picture_index::kMagic] = {};
        unsigned char entry[picture_index::kEntrySize] = {};
        const off_t at = static_cast<off_t>(picture_index::kHeaderSize) +
                         static_cast<off_t>(offset) * static_cast<off_t>(picture_index::kEntrySize);
        if (::pread(fd.Get(), magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
            std::memcmp(magic, picture_index::kMagic, sizeof magic) != 0) {
            return Fail(E_FAIL, "picture index " + index + " does not begin with PIX1");
        }
        if (::pread(fd.Get(), entry, sizeof entry, at) != static_cast<ssize_t>(sizeof entry)) {
            return Fail(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF),
                        "picture " + std::to_string(offset) + " is past the end of " + index);
        }
        std::uint32_t bytes = 0;
        std::memcpy(&bytes, entry + picture_index::kSize, sizeof bytes);
        pictureSize = bytes;
        pictureCoding = static_cast<PixCoding>(entry[picture_index::kCoding]);
        pictureStructure = static_cast<MpegPixStructure>(entry[picture_index::kStructure]);
    }
    if (size)
        *size = pictureSize;
    if (coding)
        *coding = pictureCoding;
    if (structure)
        *structure = pictureStructure;
    return S_OK;
}

BOOL CVfsLibWrapper::CloseHandle(HANDLE file) {
    auto it = m_files.find(file);
    if (it == m_files.end())
        return FALSE;
    ::close(it->second);
    m_files.erase(it);
    m_paths.erase(file);
    return TRUE;
}

HRESULT CVfsLibWrapper::PublishHandle(const std::string& path, char* handleName, int size) {
    char name[24];
    std::snprintf(name, sizeof name, "mf%016llx", static_cast<unsigned long long>(Fnv1a(path)));
    if (handleName == nullptr || size < static_cast<int>(std::strlen(name)) + 1) {
        return Fail(E_INVALIDARG,
                    "handle name buffer of " + std::to_string(size) + " bytes is too small");
    }
    const std::string link = RuntimePath(std::string("media/handles/") + name);
    ::unlink(link.c_str());
    if (::symlink(path.c_str(), link.c_str()) != 0) {
        return Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                    "cannot make handle " + link + ": " + std::strerror(errno));
    }
    std::strcpy(handleName, name);
    return S_OK;
}

HRESULT CVfsLibWrapper::CreateMediaFile(const char16_t* name, LONG segmentFileType,
                                        LONG mediaFileType, LONG videoFormat, char* handleName,
                                        int handleNameSize) {
    std::string error;
    const std::string path = MediaPath(Narrow(name), &error);
    if (path.empty())
        return Fail(E_INVALIDARG, error);
    // Folders of the name are made as needed, inside the volume.
    for (std::size_t pos = VolumePath(0).size();
         (pos = path.find('/', pos + 1)) != std::string::npos;) {
        MakePrivateFolders(path.substr(0, pos));
    }
    int fd = OpenPrivateFile(path, O_WRONLY | O_EXCL);
    if (fd < 0) {
        return Fail(
            HRESULT_FROM_WIN32(errno == EEXIST ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED),
            "cannot create media file " + path + ": " + std::strerror(errno));
    }
    ::close(fd);
    Log(ERRORLOG_LEVEL_TRACE, S_OK,
        "media file " + path + " created (segment type " + std::to_string(segmentFileType) +
            ", media type " + std::to_string(mediaFileType) + ", format " +
            std::to_string(videoFormat) + ")");
    return PublishHandle(path, handleName, handleNameSize);
}

HRESULT CVfsLibWrapper::GetMediaFileHandle(const char16_t* name, DWORD, char* handleName,
                                           int handleNameSize) {
    std::string error;
    const std::string path = MediaPath(Narrow(name), &error);
    if (path.empty())
        return Fail(E_INVALIDARG, error);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no media file " + path);
    }
    return PublishHandle(path, handleName, handleNameSize);
}

HRESULT CVfsLibWrapper::CloseMediaFileHandle(const char* handleName) {
    const std::string name = handleName ? handleName : "";
    if (name.size() != 18 || name.compare(0, 2, "mf") != 0 ||
        name.find_first_not_of("0123456789abcdef", 2) != std::string::npos) {
        return Fail(E_INVALIDARG, "'" + name + "' is not a media file handle name");
    }
    const std::string link = RuntimePath("media/handles/" + name);
    if (::unlink(link.c_str()) != 0) {
        return errno == ENOENT ? S_FALSE
                               : Fail(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                                      "cannot remove " + link + ": " + std::strerror(errno));
    }
    return S_OK;
}

void AppServerUtil::GetCompatibilityMasks(unsigned* first, unsigned* second) {
    unsigned a = 0x1, b = 0x0;
    if (const char* env = std::getenv("TMS_COMPATIBILITY_MASKS")) {
        char* end = nullptr;
        unsigned long x = std::strtoul(env, &end, 0);
        if (end != env && *end == ',') {
            char* end2 = nullptr;
            unsigned long y = std::strtoul(end + 1, &end2, 0);
            if (end2 != end + 1 && *end2 == 0) {
                a = static_cast<unsigned>(x);
                b = static_cast<unsigned>(y);
            }
        }
    }
    if (first)
        *first = a;
    if (second)
        *second = b;
}
