// CVfsLibWrapper: the server's media file systems. Each volume is a folder
// under the runtime folder, RuntimePath("volumes/<name>") with the ':' of
// the name left out ("V:" -> volumes/V). The volumes are named by
// $TMS_VOLUMES (comma-separated, e.g. "V:,W:"), default "V:". A volume
// named in $TMS_VOLUME_QUOTA ("V:=BYTES,...") is that large and holds what
// its folder holds; the others report their file system's space.
//
// Media names: "<volume>/<path>" or "<volume>\<path>" ("V:/news/clip1"); a
// name without a known volume lies on the first volume. Absolute paths,
// ".." parts and empty parts are refused, so no name reaches outside its
// volume.
//
// Handle names (what the RTS is given to open a media file): "mf" + 16 hex
// digits of a hash of the file's path, 18 characters, always NUL-terminated
// within the 33-byte buffers callers pass. Each open handle is a symbolic
// link RuntimePath("media/handles/<handle name>") to the file, removed by
// CloseMediaFileHandle.
//
// Picture status: from the media file's picture index (PictureIndex.h) when
// it has one (a picture past its end fails with ERROR_HANDLE_EOF); a file
// without one reads as I pictures (coding 1) of frame structure (3), size 0.
//
// Thread safety: a wrapper is a local object of one thread; distinct wrappers
// may be used at once (they share only the file system).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/com/HResult.h"
#include "platform/kernel/Handle.h"

// Resource events reported to the file-system layer.
enum gfsReportRes_e : LONG {
    gfsResChannelCreated = 0,
    gfsResVideoCreated = 1,
    gfsResAudioCreated = 2,
    gfsResTimecodeCreated = 3,
    gfsResAncDataCreated = 4,
    gfsResVideoDestroyed = 5,
    gfsResAudioDestroyed = 6,
    gfsResTimecodeDestroyed = 7,
    gfsResAncDataDestroyed = 8,
};

enum PixCoding : LONG { PixCodingUnknown = 0, PixCodingI = 1, PixCodingP = 2, PixCodingB = 3 };
enum MpegPixStructure : LONG { PixTopField = 1, PixBottomField = 2, PixFrame = 3 };

class CVfsLibWrapper {
public:
    CVfsLibWrapper();
    ~CVfsLibWrapper();
    CVfsLibWrapper(const CVfsLibWrapper&) = delete;
    CVfsLibWrapper& operator=(const CVfsLibWrapper&) = delete;

    HRESULT ReportResource(LONG channel, gfsReportRes_e event);

    int GetNumFileSystems() const { return static_cast<int>(m_volumes.size()); }
    // The volume's name, cut to size - 1 characters and NUL-terminated.
    HRESULT GetFileSystemName(int index, char16_t* buffer, int size) const;
    HRESULT QueryFileSystemSpace(int index, ULONGLONG* total, ULONGLONG* free) const;

    // Opens a media file for reading (the arguments other than the name are
    // accepted as Win32 gives them); INVALID_HANDLE_VALUE when it cannot.
    HANDLE CreateFileW(const char16_t* name, DWORD access, DWORD share, DWORD disposition,
                       DWORD flags, HANDLE templateFile);
    HRESULT GetPictureStatus(HANDLE file, unsigned offset, unsigned* size, PixCoding* coding,
                             MpegPixStructure* structure);
    BOOL CloseHandle(HANDLE file);

    // Creates the media file (failing when it exists) and its handle name.
    HRESULT CreateMediaFile(const char16_t* name, LONG segmentFileType, LONG mediaFileType,
                            LONG videoFormat, char* handleName, int handleNameSize);
    // The handle name of an existing media file.
    HRESULT GetMediaFileHandle(const char16_t* name, DWORD access, char* handleName,
                               int handleNameSize);
    HRESULT CloseMediaFileHandle(const char* handleName);

    // The path of a media name on its volume; "" with *error for a bad name.
    std::string MediaPath(const std::string& name, std::string* error) const;
    std::string VolumePath(int index) const;

private:
    HRESULT PublishHandle(const std::string& path, char* handleName, int size);

    std::vector<std::string> m_volumes;     // names as configured, e.g. "V:"
    std::map<HANDLE, int> m_files;          // open descriptors by handle
    std::map<HANDLE, std::string> m_paths;  // and the files they read
    std::uintptr_t m_nextHandle = 0x5100;
};

namespace AppServerUtil {
// The compatibility classes of this server: $TMS_COMPATIBILITY_MASKS
// ("first,second", decimal or 0x hex) or 0x1 and 0x0.
void GetCompatibilityMasks(unsigned* first, unsigned* second);
}  // namespace AppServerUtil
