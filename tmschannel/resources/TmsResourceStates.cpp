// CTmsResource: the resource's part of a state message, and the movie
// segments and media files behind it.
#include <cstring>

#include "platform/com/Bstr.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/context/FileMap.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessages.h"

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace {

constexpr std::int32_t kNoTrack = 0x7FFFFFFF;
constexpr DWORD kSlowCallMs = 200;
constexpr DWORD kGenericRead = 0x80000000;
constexpr int kHandleNameSize = 33;
constexpr HRESULT kMediaFileHandleFailed = static_cast<HRESULT>(0x8004301B);
constexpr HRESULT kMediaFileCreateFailed = static_cast<HRESULT>(0x8004301C);

// Closes a media file handle the RTS was never given: a failure between
// opening the file and entering it in the file map would leave it open
// for good.
class CMediaHandleGuard {
public:
    explicit CMediaHandleGuard(const char* handleName) : m_handleName(handleName) {}
    ~CMediaHandleGuard() {
        if (m_handleName != nullptr) {
            TmsVfs().CloseMediaFileHandle(m_handleName);
        }
    }
    CMediaHandleGuard(const CMediaHandleGuard&) = delete;
    CMediaHandleGuard& operator=(const CMediaHandleGuard&) = delete;
    // The file map owns the handle from here on.
    void Release() { m_handleName = nullptr; }

private:
    const char* m_handleName;
};

// Removes a media file this call created, empty, when a later step fails:
// left behind, the next attempt would find it on disk and open it for
// reading, and a record would go out as a play. Destroyed after the handle
// guard, so the file is closed before it goes.
class CCreatedMediaFileGuard {
public:
    CCreatedMediaFileGuard(CEntryPoint& trace, std::string path)
        : m_trace(trace), m_path(std::move(path)) {}
    ~CCreatedMediaFileGuard() {
        if (m_path.empty()) {
            return;
        }
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
        if (ec) {
            m_trace.LogMsg("Could not remove the new media file '%s' after a failure: %s",
                           m_path.c_str(), ec.message().c_str());
        }
    }
    CCreatedMediaFileGuard(const CCreatedMediaFileGuard&) = delete;
    CCreatedMediaFileGuard& operator=(const CCreatedMediaFileGuard&) = delete;
    // The file map holds the file from here on.
    void Release() { m_path.clear(); }

private:
    CEntryPoint& m_trace;
    std::string m_path;
};

// m lies within the segment as clipped to the window.
bool Covers(const MediaSegmentInfo& segment, std::int32_t m) {
    return m >= segment.start && static_cast<std::int64_t>(m) <
                                     static_cast<std::int64_t>(segment.start) + segment.duration;
}

}  // namespace

HRESULT CTmsResource::GetMediaSegmentInfo(IMovie* movie, std::int32_t trackType,
                                          std::int32_t trackNumber, std::uint16_t segmentCode,
                                          std::int32_t windowStart, std::int32_t windowEnd,
                                          MediaSegmentInfo* segment) {
    CTmsEntryPoint trace("CTmsResource::GetMediaSegmentInfo");
    return TMS_ERROR_FRAME(trace, [&] {
        MediaSegmentInfo s;
        s.trackType = trackType;
        s.trackNumber = trackNumber;
        s.segmentCode = segmentCode;
        long fileType = 0, markIn = 0, markOut = 0, duration = 0;
        CBstr media;
        TMS_CHECK_COM(trace,
                      movie->GetSegmentDescription(trackType, trackNumber, segmentCode, &fileType,
                                                   &media, &markIn, &markOut, &duration));
        TMS_CHECK_COM(trace, movie->GetSegmentMediaData(trackType, trackNumber, segmentCode, 0,
                                                        sizeof s.mediaData, s.mediaData));
        long start = 0, natural = 0, positionsDuration = 0;
        unsigned short flags = 0;
        unsigned long user = 0;
        TMS_CHECK_COM(
            trace, movie->GetSegmentPositions(trackType, trackNumber, segmentCode, &start, &natural,
                                              &positionsDuration, &flags, &user));
        CBstr segmentUuid, editUuid, segmentName;
        TMS_CHECK_COM(trace, movie->GetSegmentNames(trackType, trackNumber, segmentCode,
                                                    &segmentUuid, &editUuid, &segmentName));
        s.fileType = fileType;
        s.complexMediaName = media.ToUtf8();
        s.segmentUuid = segmentUuid.ToUtf8();
        s.segmentName = segmentName.ToUtf8();
        s.flags = flags;
        s.userData = static_cast<std::uint32_t>(user);
        s.start = start;
        s.markIn = markIn;
        s.markOut = markOut;
        s.duration = duration;
        // Clipped to the window the state lists run in.
        const std::int32_t last = s.start + s.duration - 1;
        if (last - windowEnd > 0) {
            s.markOut -= last - windowEnd;
            s.duration -= last - windowEnd;
        }
        if (windowStart - s.start > 0) {
            const std::int32_t cut = windowStart - s.start;
            s.markIn += cut;
            s.start += cut;
            s.duration -= cut;
        }
        *segment = std::move(s);
    });
}

HRESULT CTmsResource::UpdateFileState(CFileMap& files, MediaFileInfo** file,
                                      MediaSegmentInfo& segment) {
    CTmsEntryPoint trace("CTmsResource::UpdateFileState");
    return TMS_ERROR_FRAME(trace, [&] {
        if (segment.complexMediaName.empty()) {
            segment.fileCode = 0;
            trace.SetResult(S_FALSE);
            return;
        }
        MediaFileInfo* info = files.Lookup(segment.complexMediaName);
        if (info == nullptr) {
            auto created = std::make_unique<MediaFileInfo>();
            created->segmentName = segment.segmentName;
            created->mediaFileType = GetMediaFileType(segment.fileType);
            const CBstr name(segment.complexMediaName);
            std::string error;
            const std::string path = TmsVfs().MediaPath(segment.complexMediaName, &error);
            char handle[kHandleNameSize] = {};
            const DWORD start = GetTickCount();
            const bool onDisk = !path.empty() && std::filesystem::exists(path);
            std::optional<CCreatedMediaFileGuard> createdFile;
            if (!onDisk) {
                BYTE block[kMediaDataSize] = {};
                GetMediaData(block);
                std::int32_t videoFormat = 0;
                std::memcpy(&videoFormat, block + 44, sizeof videoFormat);
                created->writeFlag = 1;
                const HRESULT hr = TmsVfs().CreateMediaFile(name.View().data(), segment.fileType,
                                                            created->mediaFileType, videoFormat,
                                                            handle, sizeof handle);
                if (FAILED(hr)) {
                    TMS_RAISE(trace, kMediaFileCreateFailed,
                              "Failed to create media file '%s': err = 0x%x",
                              segment.complexMediaName.c_str(),
                              static_cast<unsigned>(HRESULT_CODE(hr)));
                }
                createdFile.emplace(trace, path);
            } else {
                created->writeFlag = 0;
                const HRESULT hr = TmsVfs().GetMediaFileHandle(name.View().data(), kGenericRead,
                                                               handle, sizeof handle);
                if (FAILED(hr)) {
                    TMS_RAISE(trace, kMediaFileHandleFailed,
                              "Failed to get media file handle name on '%s': err = 0x%x",
                              segment.complexMediaName.c_str(),
                              static_cast<unsigned>(HRESULT_CODE(hr)));
                }
            }
            CMediaHandleGuard opened(handle);
            const DWORD took = GetTickCount() - start;
            if (took > kSlowCallMs) {
                trace.Trace("<Slow response: %dms> %s '%s'", static_cast<int>(took),
                            onDisk ? "GetMediaFileHandle" : "CreateMediaFile",
                            segment.complexMediaName.c_str());
            }
            created->handleName = handle;
            created->wideHandleName = handle;
            std::uint16_t code = 0;
            CheckHr(trace, files.AllocateFileCode(&code));
            created->fileCode = code;
            info = files.Enter(segment.complexMediaName, std::move(created));
            opened.Release();
            if (createdFile) {
                createdFile->Release();
            }
        }
        *file = info;
        segment.fileCode = static_cast<std::uint16_t>(info->fileCode);
    });
}

HRESULT CTmsResource::WriteStates(const StateWriteTarget& target, std::int32_t trackNumber,
                                  bool record, bool boundedRecord,
                                  const std::vector<StateEntry*>& states) {
    CTmsEntryPoint trace("CTmsResource::WriteStates");
    return TMS_ERROR_FRAME(trace, [&] {
        rts::CStateMessageBuilder& message = *target.message;
        IMovie* movie = target.movie;
        rts::ResourceIdRecord id{};
        {
            CCriticalSectionLock lock(m_cs);
            rts::SetNarrow(id.indexText, CBstr(m_indexText).ToNarrow());
            rts::SetNarrow(id.typeName, CBstr(m_typeName).ToNarrow());
        }
        CheckHr(trace, message.BeginResource(id));

        const bool hasTrack = trackNumber >= 0 && trackNumber < kNoTrack;
        std::uint16_t code = 0;
        MediaSegmentInfo segment;
        MediaFileInfo* file = nullptr;
        const StateEntry* pending = nullptr;
        bool firstOfRun = true;
        bool lastSegment = false;
        bool blackWritten = false;
        std::int32_t previousOffset = 0;
        auto writePending = [&] {
            if (pending != nullptr) {
                CheckHr(trace, AddState(movie, pending->position.movie, pending->position.port,
                                        record, boundedRecord, segment, message));
                pending = nullptr;
            }
        };
        for (std::size_t i = 0; i < states.size();) {
            StateEntry& state = *states[i];
            const std::int32_t m = state.position.movie;
            const std::int32_t p = state.position.port;
            const std::int32_t offset = state.position.Offset();
            if (code == 0) {
                firstOfRun = true;
                lastSegment = false;
                if (hasTrack) {
                    unsigned short found = 0;
                    HRESULT hr = movie->GetSegmentAtPosition(m_trackType, trackNumber, m, &found);
                    TMS_CHECK_COM(trace, hr);
                    if (found == 0 && record) {
                        long count = 0;
                        TMS_CHECK_COM(trace, movie->GetTrackCount(m_trackType, &count));
                        if (trackNumber < count) {
                            hr = movie->GetLastSegment(m_trackType, trackNumber, 0, -1, &found);
                            TMS_CHECK_COM(trace, hr);
                            lastSegment = found != 0;
                        }
                    }
                    code = found;
                }
                if (code != 0) {
                    CheckHr(trace,
                            GetMediaSegmentInfo(movie, m_trackType, trackNumber, code,
                                                target.windowStart, target.windowEnd, &segment));
                    // The segment under m may lie outside the window once
                    // clipped (a state before the start limit): no segment
                    // plays there, and looking it up again would find the
                    // same one for ever.
                    if (!(record && lastSegment) && !Covers(segment, m)) {
                        code = 0;
                        lastSegment = false;
                    }
                }
                if (code != 0) {
                    file = nullptr;
                    CheckHr(trace, UpdateFileState(*target.files, &file, segment));
                    // A new run takes the offset of its first state.
                    previousOffset = offset;
                } else {
                    if (!blackWritten) {
                        const std::int32_t end = TrackEnd(trace, movie, trackNumber, target);
                        CheckHr(trace,
                                AddBlackState(movie, m, p, message, m - end, target.windowEnd - m));
                        blackWritten = true;
                    }
                    ++i;
                    continue;
                }
            }
            const bool inRun =
                (record && lastSegment) || (Covers(segment, m) && offset == previousOffset);
            if (inRun) {
                if (file != nullptr) {
                    state.files.Add(file);
                }
                if (firstOfRun) {
                    firstOfRun = false;
                    CheckHr(trace, AddState(movie, m, p, record, boundedRecord, segment, message));
                    pending = nullptr;
                    blackWritten = false;
                } else {
                    pending = &state;
                }
                previousOffset = offset;
                ++i;
                continue;
            }
            // The run ends here; the same state starts the next one, with a
            // fresh lookup that either takes it into a new run or writes it
            // black: every state is visited at most twice.
            writePending();
            code = 0;
            lastSegment = false;
            file = nullptr;
        }
        writePending();
        CheckHr(trace, message.EndResource());
    });
}

std::int32_t CTmsResource::TrackEnd(CEntryPoint& trace, IMovie* movie, std::int32_t trackNumber,
                                    const StateWriteTarget& target) {
    long count = 0;
    TMS_CHECK_COM(trace, movie->GetTrackCount(m_trackType, &count));
    if (trackNumber < 0 || trackNumber >= count) {
        return 0;
    }
    unsigned short last = 0;
    const HRESULT hr = movie->GetLastSegment(m_trackType, trackNumber, 0, -1, &last);
    TMS_CHECK_COM(trace, hr);
    if (hr == S_FALSE) {
        return 0;
    }
    MediaSegmentInfo info;
    CheckHr(trace, GetMediaSegmentInfo(movie, m_trackType, trackNumber, last, target.windowStart,
                                       target.windowEnd, &info));
    return info.start + info.duration;
}
