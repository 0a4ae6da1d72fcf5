// A context's record of one media file it plays or records. Owned by the
// context's file map; state entries refer to it and count their references.
//
// Thread safety: used only under the owning context's lock.
#pragma once

#include "platform/kernel/WinTypes.h"

#include <cstdint>
#include <string>

struct MediaFileInfo {
    // The RTS's code for the open file, 1..1000; 0 until a code is given.
    std::uint32_t fileCode = 0;
    // As the owning resource's media file type gives it.
    std::int32_t mediaFileType = 0;
    // Handle name the RTS opens the file by (narrow; at most 255 characters on the wire).
    std::string handleName;
    // 1 when the file was created here for a record, 0 when an existing file was opened.
    std::int32_t writeFlag = 0;
    // Advanced as the file is opened and closed on the RTS.
    std::int32_t fileState = 0;
    // Handle name as the media file system gave it (UTF-8 here).
    std::string wideHandleName;
    std::string segmentName;
    // States that use this file.
    std::int32_t refCount = 0;
    // The file map's count of records entered when this one was (see
    // CFileMap::Entered): a change that fails tells the files it brought by it.
    std::uint64_t entered = 0;
};
