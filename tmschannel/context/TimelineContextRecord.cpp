// CTimelineContext: keeping a recorded movie in step with the RTS's record.
// The mark out follows the record position, each resource updates what it
// records, continuous record grows the movie in segments and moves its mark
// in on, a fresh MPEG segment that does not start on an I picture is
// lengthened to cover one, and a record whose volume is full is stopped.
#include <algorithm>
#include <cstring>

#include "platform/com/Bstr.h"
#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/context/StorageCutOff.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/resources/TmsVfs.h"

namespace {

using namespace context_record;

constexpr std::size_t kMediaDataSize = 48;
// Continuous record adds a segment once the record comes this close to the
// end of the movie (less the segment duration).
constexpr std::int32_t kSegmentLead = 1200;
// Set-marks modes: 1 moves the mark in of a continuous record, 2 follows the
// record with the mark out.
constexpr long kMarkInMode = 1;
constexpr long kMarkOutMode = 2;
constexpr long kBothMediaMarks = 3;
// CVfsLibWrapper::CreateFileW for reading an existing file.
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kShareReadWrite = 3;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kNormalAttributes = 0x80;

}  // namespace

std::vector<CTimelineContext::RecordTrack> CTimelineContext::RecordTracks(IMovie* movie) {
    std::vector<RecordTrack> tracks;
    for (const auto& resource : m_owner.Resources()) {
        if (resource->TrackType() == 0 || !resource->IsAssignedForRecord() ||
            IsRedundantGangResource(*resource)) {
            continue;
        }
        tracks.push_back(
            {resource, resource->TrackType(), resource->GetMappedTrackNum(this, movie, true)});
    }
    return tracks;
}

void CTimelineContext::HandleRecordUpdate(CEntryPoint& trace, const StatusRecord& update) {
    CTmsEntryPoint step("CTimelineContext::HandleRecordUpdate");
    CComPtr<IMovie> movie = Movie();
    if (movie == nullptr) {
        return;
    }
    const std::int32_t position = update.moviePosition;
    const std::int32_t markOut = m_rec.recordOffset + position + (position > 0 ? 1 : 0);
    if (m_owner.PlayList().continuousRecord) {
        SetMarks(trace, movie, -1, markOut, kMarkOutMode, false);
        HandleContinuousRecord(trace, movie, update);
    } else {
        SetMarks(trace, movie, -1, markOut, kMarkOutMode, true);
    }
    for (const auto& resource : m_owner.Resources()) {
        if (IsRedundantGangResource(*resource)) {
            continue;
        }
        CheckHr(trace, resource->HandleRecordUpdate(movie, update.portPosition - position));
    }
}

void CTimelineContext::HandleContinuousRecord(CEntryPoint& trace, IMovie* movie,
                                              const StatusRecord& update) {
    CTmsEntryPoint step("CTimelineContext::HandleContinuousRecord");
    const IContextOwner::PlayListSettings settings = m_owner.PlayList();
    const std::int64_t length = settings.continuousRecordLength;
    const std::int64_t segment = settings.continuousRecordSegment;
    if (segment <= 0) {
        return;
    }
    // The movie's length (where its tracks end) is what the record can
    // still fill: its "maxLength" is measured from the mark in and moves
    // only with final marks, so it cannot tell how close the record is to
    // the end of its segments.
    CVariant read;
    TMS_CHECK_COM(trace, movie->GetProperties(CBstr("length+markIn+markOut"), read.GetAddress()));
    const std::vector<CVariant> values = ReadVariantArray(read.GetVARIANT());
    if (values.size() < 3) {
        TMS_RAISE(trace, E_UNEXPECTED, "%s:Ctx%d: the movie gave %d values for '%s', not 3",
                  m_owner.ChannelName().c_str(), m_index, static_cast<int>(values.size()),
                  "length+markIn+markOut");
    }
    const std::int64_t maxLength = values[0].ToInt32();
    const std::int64_t markIn = values[1].ToInt32();
    const std::int64_t markOut = values[2].ToInt32();
    const bool early = maxLength < length + 2 * segment;
    if (maxLength - update.moviePosition >= segment - kSegmentLead) {
        return;
    }
    // Best effort: a failed check is logged and the record goes on.
    AlignSegmentToIFrame(movie, update.moviePosition);
    for (const RecordTrack& track : RecordTracks(movie)) {
        unsigned short code = 0;
        TMS_CHECK_COM(trace,
                      movie->AppendSegment(track.type, track.number, 0, static_cast<long>(segment),
                                           track.resource->EncodeFileType(), nullptr, &code));
        BYTE block[kMediaDataSize] = {};
        track.resource->GetMediaData(block);
        TMS_CHECK_COM(trace, movie->SetSegmentMediaData(track.type, track.number, code, 1,
                                                        kMediaDataSize, block));
    }
    // States queued past the old end were written as black: they are
    // written again with the new segment's media.
    if (!m_window.Empty() && m_window.Last().position.movie >= maxLength) {
        ClearStateWindow();
    }
    if (early || settings.continuousRecordSuspended) {
        return;
    }
    const std::int64_t recorded = (markOut - markIn) / segment * segment;
    const std::int64_t kept = (length - 1 + segment) / segment * segment;
    const std::int64_t newMarkIn = std::max<std::int64_t>(0, markIn + recorded - kept);
    SetMarks(trace, movie, static_cast<std::int32_t>(newMarkIn), -1, kMarkInMode, true);
}

HRESULT CTimelineContext::GetVideoSegmentInfo(IMovie* movie, std::int32_t position,
                                              VideoSegment* out) {
    CTmsEntryPoint trace("CTimelineContext::GetVideoSegmentInfo");
    return TMS_ERROR_FRAME(trace, [&] {
        const std::string channel = m_owner.ChannelName();
        const RecordTrack* video = nullptr;
        const std::vector<RecordTrack> tracks = RecordTracks(movie);
        for (const RecordTrack& track : tracks) {
            if (track.resource->TypeName() == u"video") {
                video = &track;
                break;
            }
        }
        if (video == nullptr) {
            trace.LogError(E_FAIL, __FILE__, __LINE__,
                           "%s: Video track not found in timeline resource list", channel.c_str());
            trace.SetResult(S_FALSE);
            return;
        }
        CVariant compression;
        CheckHr(trace, video->resource->GetProperty("compression", compression.GetAddress()));
        out->compression = compression.ToString();
        unsigned short code = 0;
        if (movie->GetSegmentAtPosition(video->type, video->number, position, &code) != S_OK ||
            code == 0) {
            trace.LogError(
                E_FAIL, __FILE__, __LINE__,
                "%s: Error opening video segment (trackNum=%d, trackType=%d,position=%d)",
                channel.c_str(), video->number, video->type, position);
            trace.SetResult(S_FALSE);
            return;
        }
        long fileType = 0;
        CBstr name;
        if (FAILED(movie->GetSegmentDescription(video->type, video->number, code, &fileType, &name,
                                                &out->mediaIn, &out->mediaOut, &out->duration))) {
            trace.LogError(
                E_FAIL, __FILE__, __LINE__,
                "%s: Could retrieving segment info (trackType=%d, trackNum=%d, segmentCode=%d)",
                channel.c_str(), video->type, video->number, code);
            trace.SetResult(S_FALSE);
            return;
        }
        out->mediaName = name.ToUtf8();
    });
}

HRESULT CTimelineContext::AlignSegmentToIFrame(IMovie* movie, std::int32_t position) {
    CTmsEntryPoint trace("CTimelineContext::AlignSegmentToIFrame");
    return TMS_ERROR_FRAME(trace, [&] {
        VideoSegment segment;
        const HRESULT info = GetVideoSegmentInfo(movie, position, &segment);
        CheckHr(trace, info);
        if (info == S_FALSE) {
            trace.SetResult(S_FALSE);
            return;
        }
        if (segment.compression != "Mpeg") {
            return;
        }
        const std::string channel = m_owner.ChannelName();
        CVfsLibWrapper& vfs = TmsVfs();
        const std::u16string wide = Utf8ToUtf16(segment.mediaName);
        const HANDLE file = vfs.CreateFileW(wide.c_str(), kGenericRead, kShareReadWrite,
                                            kOpenExisting, kNormalAttributes, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            trace.LogError(E_FAIL, __FILE__, __LINE__, "%s: Could not open media file '%s'",
                           channel.c_str(), segment.mediaName.c_str());
            trace.SetResult(S_FALSE);
            return;
        }
        long iPicture = -1;
        bool failed = false;
        for (long offset = 0; offset < segment.duration; ++offset) {
            unsigned size = 0;
            PixCoding coding = PixCodingUnknown;
            MpegPixStructure structure = PixFrame;
            if (FAILED(vfs.GetPictureStatus(file, static_cast<unsigned>(offset), &size, &coding,
                                            &structure))) {
                trace.LogError(E_FAIL, __FILE__, __LINE__,
                               "%s: GetPictureStatus() returned failure (offset=%d)",
                               channel.c_str(), static_cast<int>(offset));
                failed = true;
                break;
            }
            if (coding == PixCodingI) {
                iPicture = offset;
                break;
            }
        }
        vfs.CloseHandle(file);
        if (failed) {
            trace.SetResult(S_FALSE);
            return;
        }
        if (iPicture < 0) {
            trace.LogError(E_FAIL, __FILE__, __LINE__,
                           "%s: I-frame not found before segment end -- video file may be corrupt;",
                           channel.c_str());
            trace.SetResult(S_FALSE);
            return;
        }
        if (iPicture > 0) {
            trace.LogMsg(
                "Warning: video segment does not start with an I-frame -- lengthening segments "
                "by %d fields to compensate.",
                static_cast<int>(iPicture));
            trace.SetResult(
                AdjustSegmentsMarks(movie, position, segment.mediaIn, segment.mediaOut + iPicture));
        }
    });
}

HRESULT CTimelineContext::AdjustSegmentsMarks(IMovie* movie, std::int32_t position, long mediaIn,
                                              long mediaOut) {
    CTmsEntryPoint trace("CTimelineContext::AdjustSegmentsMarks");
    return TMS_ERROR_FRAME(trace, [&] {
        const std::string channel = m_owner.ChannelName();
        for (const RecordTrack& track : RecordTracks(movie)) {
            unsigned short code = 0;
            if (movie->GetSegmentAtPosition(track.type, track.number, position, &code) != S_OK ||
                code == 0) {
                trace.LogError(E_FAIL, __FILE__, __LINE__,
                               "%s: Error opening segment to set media marks (trackType=%d, "
                               "trackNum=%d, segmentCode=%d)",
                               channel.c_str(), track.type, track.number, code);
                trace.SetResult(S_FALSE);
                return;
            }
            if (FAILED(movie->UpdateSegment(track.type, track.number, code, mediaIn, mediaOut,
                                            kBothMediaMarks))) {
                trace.LogError(E_FAIL, __FILE__, __LINE__,
                               "%s: Error setting media marks (trackType=%d, trackNum=%d, "
                               "segmentCode=%d, mediaIn=%d, mediaOut=%d)",
                               channel.c_str(), track.type, track.number, code,
                               static_cast<int>(mediaIn), static_cast<int>(mediaOut));
                trace.SetResult(S_FALSE);
                return;
            }
        }
    });
}

HRESULT CTimelineContext::HandleStorageCutOff(TmsPortState portState) {
    CTmsEntryPoint trace("CTimelineContext::HandleStorageCutOff");
    return TMS_ERROR_FRAME(trace, [&] {
        std::string volume;
        std::string asset;
        bool cut = false;
        {
            CCriticalSectionLock lock(m_cs);
            if (portState != TmsShuttleRecord) {
                return;
            }
            CCriticalSectionLock status(m_statusCs);
            const ContextStatusBlock& s = m_status;
            volume = s.recordVolume;
            asset = s.assetUri;
            cut = RecordVolumeFull(s.storage, volume);
        }
        if (!cut) {
            return;
        }
        trace.LogMsg("Volume '%s' is full. Interrupting record for '%s'", volume.c_str(),
                     asset.c_str());
        rts::PortContextRecord stop{};
        stop.flags = kStopAsIdle;
        CheckHr(trace, SendImmediateState(stop));
    });
}

void CTimelineContext::NoteRecordVolume() {
    for (const auto& [name, file] : m_files) {
        if (file->writeFlag != 1) {
            continue;
        }
        // "V:/dir/clip" or "V:\dir\clip"; a name without a volume lies on
        // the first.
        std::string volume;
        const std::size_t colon = name.find(':');
        if (colon != std::string::npos && name.find_first_of("/\\") > colon) {
            volume = name.substr(0, colon + 1);
        } else {
            char16_t first[40] = {};
            if (SUCCEEDED(TmsVfs().GetFileSystemName(0, first, 40))) {
                volume = Utf16ToUtf8(first);
            }
        }
        CCriticalSectionLock status(m_statusCs);
        m_status.recordVolume = volume;
        return;
    }
}
