// CTimeline: IMovie, argument checks around CMovie.
#include <cstring>

#include "server/timeline/Timeline.h"
#include "server/timeline/TimelineArgs.h"
#include "server/timeline/TimelineCall.h"

namespace {

constexpr char kSource[] = "Timeline";
constexpr char kFile[] = "TimelineMovie.cpp";

TrackKey Track(long type, long number) {
    return {Int32Arg(type, "track type"), Int32Arg(number, "track number")};
}

void CheckMediaData(long mode, long expectedMode, long size, const void* block) {
    if (mode != expectedMode) {
        throw CMovieError(E_INVALIDARG, "Segment media data mode " + std::to_string(mode) +
                                            ": reading takes mode 0, writing mode 1");
    }
    if (size != tmstrack::kMediaDataSize) {
        throw CMovieError(E_INVALIDARG, "A segment media data block has " +
                                            std::to_string(tmstrack::kMediaDataSize) +
                                            " bytes, not " + std::to_string(size));
    }
    if (block == nullptr) {
        throw CMovieError(E_POINTER, "No segment media data block was given");
    }
}

template <class F>
HRESULT MovieCall(F&& body) noexcept {
    return TimelineCall(IID_IMovie, kSource, kFile, std::forward<F>(body));
}

}  // namespace

HRESULT CTimeline::GetProperty(BSTR name, VARIANT* value) {
    return MovieCall([&] {
        VARIANT& out = OutArg(value, "property value");
        out = m_movie->GetProperty(TextArg(name, "property name")).Detach();
        return S_OK;
    });
}

HRESULT CTimeline::GetProperties(BSTR names, VARIANT* values) {
    return MovieCall([&] {
        VARIANT& out = OutArg(values, "property values");
        out = m_movie->GetProperties(TextArg(names, "property names")).Detach();
        return S_OK;
    });
}

HRESULT CTimeline::SetProperty(BSTR name, VARIANT value) {
    return MovieCall([&] {
        m_movie->SetProperty(TextArg(name, "property name"), value);
        return S_OK;
    });
}

HRESULT CTimeline::SetConstruction(long flags, long gangFlags, BOOL on) {
    return MovieCall([&] {
        m_movie->SetConstruction(Int32Arg(flags, "construction flags"),
                                 Int32Arg(gangFlags, "gang flags"), on != FALSE);
        return S_OK;
    });
}

HRESULT CTimeline::SetVideoFormat(BSTR formatName) {
    return MovieCall([&] {
        m_movie->SetVideoFormat(TextArg(formatName, "video format name"));
        return S_OK;
    });
}

HRESULT CTimeline::SetEndTimecode(long packedTimecode) {
    return MovieCall([&] {
        m_movie->SetEndTimecode(static_cast<std::int32_t>(
            static_cast<std::uint32_t>(static_cast<std::uint64_t>(packedTimecode) & 0xFFFFFFFFu)));
        return S_OK;
    });
}

HRESULT CTimeline::SetMarks(long markIn, long markOut, long mode, BOOL final) {
    return MovieCall([&] {
        m_movie->SetMarks(Int32Arg(markIn, "mark in"), Int32Arg(markOut, "mark out"),
                          Int32Arg(mode, "mark mode"), final != FALSE);
        return S_OK;
    });
}

HRESULT CTimeline::GetTrackCount(long trackType, long* count) {
    return MovieCall([&] {
        long& out = OutArg(count, "track count");
        out = m_movie->TrackCount(Int32Arg(trackType, "track type"));
        return S_OK;
    });
}

HRESULT CTimeline::AppendSegment(long trackType, long trackNum, long reserved, long length,
                                 long fileType, BSTR name, unsigned short* segmentCode) {
    return MovieCall([&] {
        unsigned short& out = OutArg(segmentCode, "segment code");
        out = 0;
        CheckReserved(reserved, "AppendSegment");
        out =
            m_movie->AppendSegment(Track(trackType, trackNum), Int32Arg(length, "length"),
                                   Int32Arg(fileType, "file type"), TextArg(name, "segment name"));
        return S_OK;
    });
}

HRESULT CTimeline::RemoveSegment(long trackType, long trackNum, unsigned short segmentCode) {
    return MovieCall([&] {
        m_movie->RemoveSegment(Track(trackType, trackNum), segmentCode);
        return S_OK;
    });
}

HRESULT CTimeline::TrimSegment(long trackType, long trackNum, unsigned short segmentCode,
                               long duration) {
    return MovieCall([&] {
        m_movie->TrimSegment(Track(trackType, trackNum), segmentCode,
                             Int32Arg(duration, "duration"));
        return S_OK;
    });
}

HRESULT CTimeline::GetLastSegment(long trackType, long trackNum, long reserved, long fromEnd,
                                  unsigned short* segmentCode) {
    return MovieCall([&] {
        unsigned short& out = OutArg(segmentCode, "segment code");
        out = 0;
        CheckReserved(reserved, "GetLastSegment");
        out = m_movie->LastSegment(Track(trackType, trackNum), Int32Arg(fromEnd, "fromEnd"));
        return out != 0 ? S_OK : S_FALSE;
    });
}

HRESULT CTimeline::GetSegmentAtPosition(long trackType, long trackNum, long position,
                                        unsigned short* segmentCode) {
    return MovieCall([&] {
        unsigned short& out = OutArg(segmentCode, "segment code");
        out = 0;
        out = m_movie->SegmentAt(Track(trackType, trackNum), Int32Arg(position, "position"));
        return out != 0 ? S_OK : S_FALSE;
    });
}

HRESULT CTimeline::GetSegmentDescription(long trackType, long trackNum, unsigned short segmentCode,
                                         long* fileType, BSTR* complexMediaName, long* markIn,
                                         long* markOut, long* duration) {
    return MovieCall([&] {
        long& type = OutArg(fileType, "file type");
        BSTR& name = OutArg(complexMediaName, "complex media name");
        long& in = OutArg(markIn, "media mark in");
        long& out = OutArg(markOut, "media mark out");
        long& dur = OutArg(duration, "duration");
        const MovieSegmentView v = m_movie->Segment(Track(trackType, trackNum), segmentCode);
        name = NewBstr(v.mediaName).release();
        type = v.segment.fileType;
        in = v.segment.mediaIn;
        out = v.segment.mediaOut;
        dur = v.segment.duration;
        return S_OK;
    });
}

HRESULT CTimeline::GetSegmentPositions(long trackType, long trackNum, unsigned short segmentCode,
                                       long* start, long* naturalDuration, long* duration,
                                       unsigned short* flags, unsigned long* userData) {
    return MovieCall([&] {
        long& s = OutArg(start, "start");
        long& natural = OutArg(naturalDuration, "natural duration");
        long& dur = OutArg(duration, "duration");
        unsigned short& f = OutArg(flags, "flags");
        unsigned long& user = OutArg(userData, "user data");
        const MovieSegmentView v = m_movie->Segment(Track(trackType, trackNum), segmentCode);
        s = v.start;
        natural = v.segment.naturalDuration;
        dur = v.segment.duration;
        f = v.segment.flags;
        user = v.segment.userData;
        return S_OK;
    });
}

HRESULT CTimeline::GetSegmentNames(long trackType, long trackNum, unsigned short segmentCode,
                                   BSTR* segmentUuid, BSTR* editUuid, BSTR* segmentName) {
    return MovieCall([&] {
        BSTR& uuid = OutArg(segmentUuid, "segment uuid");
        BSTR& edit = OutArg(editUuid, "edit uuid");
        BSTR& name = OutArg(segmentName, "segment name");
        const MovieSegmentView v = m_movie->Segment(Track(trackType, trackNum), segmentCode);
        CNewBstr uuidText = NewBstr(v.segment.uuid);
        CNewBstr editText = NewBstr(v.editUuid);
        CNewBstr nameText = NewBstr(v.segment.name);
        uuid = uuidText.release();
        edit = editText.release();
        name = nameText.release();
        return S_OK;
    });
}

HRESULT CTimeline::GetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                       long mode, long size, unsigned char* block) {
    return MovieCall([&] {
        CheckMediaData(mode, 0, size, block);
        const MovieSegmentView v = m_movie->Segment(Track(trackType, trackNum), segmentCode);
        std::memcpy(block, v.segment.mediaData.data(), v.segment.mediaData.size());
        return S_OK;
    });
}

HRESULT CTimeline::SetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                       long mode, long size, const unsigned char* block) {
    return MovieCall([&] {
        CheckMediaData(mode, 1, size, block);
        MediaDataBlock data;
        std::memcpy(data.data(), block, data.size());
        m_movie->SetSegmentMediaData(Track(trackType, trackNum), segmentCode, data);
        return S_OK;
    });
}

HRESULT CTimeline::UpdateSegment(long trackType, long trackNum, unsigned short segmentCode,
                                 long mediaIn, long mediaOut, long mode) {
    return MovieCall([&] {
        const std::int32_t m = Int32Arg(mode, "segment update mode");
        // A mark the mode leaves alone may hold anything (-1 by custom).
        const std::int32_t in = (m & 1) != 0 ? Int32Arg(mediaIn, "media in") : 0;
        const std::int32_t out = (m & 2) != 0 ? Int32Arg(mediaOut, "media out") : 0;
        m_movie->UpdateSegment(Track(trackType, trackNum), segmentCode, in, out, m);
        return S_OK;
    });
}

HRESULT CTimeline::GetTrackByLabel(long trackType, long reserved, BSTR label, long occurrence,
                                   long* trackNum) {
    return MovieCall([&] {
        long& out = OutArg(trackNum, "track number");
        out = -1;
        if (reserved != 0 || occurrence < 0) {
            return E_INVALIDARG;
        }
        out =
            m_movie->TrackByLabel(Int32Arg(trackType, "track type"), TextArg(label, "track label"),
                                  Int32Arg(occurrence, "occurrence"));
        return S_OK;
    });
}

HRESULT CTimeline::SetTrackLabel(long trackType, long trackNum, BSTR label) {
    return MovieCall([&] {
        m_movie->SetTrackLabel(Track(trackType, trackNum), TextArg(label, "track label"));
        return S_OK;
    });
}

HRESULT CTimeline::AddEdit(long start, long duration, BSTR name, BOOL repeat, long pauseMode,
                           BSTR* editUuid) {
    return MovieCall([&] {
        BSTR& out = OutArg(editUuid, "edit uuid");
        out = nullptr;
        const std::string uuid = m_movie->AddEdit(
            Int32Arg(start, "edit start"), Int32Arg(duration, "edit duration"),
            TextArg(name, "edit name"), repeat != FALSE, Int32Arg(pauseMode, "pause mode"));
        out = NewBstr(uuid).release();
        return S_OK;
    });
}

HRESULT CTimeline::AddSection(long start, long duration, BSTR name, BSTR* sectionUuid) {
    return MovieCall([&] {
        BSTR& out = OutArg(sectionUuid, "section uuid");
        out = nullptr;
        const std::string uuid = m_movie->AddSection(Int32Arg(start, "section start"),
                                                     Int32Arg(duration, "section duration"),
                                                     TextArg(name, "section name"));
        out = NewBstr(uuid).release();
        return S_OK;
    });
}

HRESULT CTimeline::GetSectionAndEdit(long channel, long position, BOOL* changed, BSTR* sectionUuid,
                                     BSTR* editUuid) {
    return MovieCall([&] {
        BOOL& changedOut = OutArg(changed, "changed flag");
        BSTR& section = OutArg(sectionUuid, "section uuid");
        BSTR& edit = OutArg(editUuid, "edit uuid");
        MoviePlace place;
        const bool inside = m_movie->SectionAndEdit(Int32Arg(channel, "channel"),
                                                    Int32Arg(position, "position"), &place);
        CNewBstr sectionText = NewBstr(place.sectionUuid);
        CNewBstr editText = NewBstr(place.editUuid);
        changedOut = place.changed ? TRUE : FALSE;
        section = sectionText.release();
        edit = editText.release();
        return inside ? S_OK : S_FALSE;
    });
}

HRESULT CTimeline::GetSectionProperties(BSTR sectionUuid, BSTR names, VARIANT* values) {
    return MovieCall([&] {
        VARIANT& out = OutArg(values, "section property values");
        out = m_movie
                  ->SectionProperties(TextArg(sectionUuid, "section uuid"),
                                      TextArg(names, "property names"))
                  .Detach();
        return S_OK;
    });
}

HRESULT CTimeline::GetEditProperties(BSTR editUuid, BSTR names, VARIANT* values) {
    return MovieCall([&] {
        VARIANT& out = OutArg(values, "edit property values");
        out = m_movie
                  ->EditProperties(TextArg(editUuid, "edit uuid"), TextArg(names, "property names"))
                  .Detach();
        return S_OK;
    });
}

HRESULT CTimeline::GetEditAtPosition(long position, BSTR* editUuid) {
    return MovieCall([&] {
        BSTR& out = OutArg(editUuid, "edit uuid");
        std::string uuid;
        const bool found = m_movie->EditAt(Int32Arg(position, "position"), &uuid);
        out = NewBstr(uuid).release();
        return found ? S_OK : S_FALSE;
    });
}

HRESULT CTimeline::GetNextPause(long position, long horizon, long* pausePosition, long* pauseMode) {
    return MovieCall([&] {
        long& at = OutArg(pausePosition, "pause position");
        long& mode = OutArg(pauseMode, "pause mode");
        std::int32_t p = -1;
        std::int32_t m = -1;
        const bool found = m_movie->NextPause(Int32Arg(position, "position"),
                                              Int32Arg(horizon, "horizon"), &p, &m);
        at = p;
        mode = m;
        return found ? S_OK : S_FALSE;
    });
}
