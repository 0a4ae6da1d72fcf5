// A context's map of its open media files, by media file name, and its access
// to the process-wide file-code pool.
//
// Thread safety: the map is used only under its context's lock; the codes it
// hands out come from the process-wide pool, which has a lock of its own.
#pragma once

#include "platform/com/HResult.h"
#include "tmschannel/context/MediaFileInfo.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CFileMap {
public:
    CFileMap();
    CFileMap(const CFileMap&) = delete;
    CFileMap& operator=(const CFileMap&) = delete;

    // Trace "CFileMap::AllocateFileCode"; see CFileCodePool.
    HRESULT AllocateFileCode(std::uint16_t* code);
    // Trace "CFileMap::FreeFileCode %d".
    HRESULT FreeFileCode(std::uint16_t code);

    // Null when the file is not in the map.
    MediaFileInfo* Lookup(const std::string& name) const;
    // Enters a record under name (replacing nothing: an existing record stays
    // and is returned).
    MediaFileInfo* Enter(const std::string& name, std::unique_ptr<MediaFileInfo> info);
    // Removes and destroys the record; its file code is not released here.
    bool Remove(const std::string& name);

    std::size_t Size() const { return m_files.size(); }
    // How many records were ever entered; a record's own number is its
    // MediaFileInfo::entered.
    std::uint64_t Entered() const { return m_entered; }
    auto begin() const { return m_files.begin(); }
    auto end() const { return m_files.end(); }

private:
    std::map<std::string, std::unique_ptr<MediaFileInfo>> m_files;
    std::uint64_t m_entered = 0;
};
