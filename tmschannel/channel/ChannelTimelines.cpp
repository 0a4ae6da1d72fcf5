// CChannel: timelines. The movie builder creates and opens timelines (one
// stored movie each); the channel keeps each under its timeline code until
// CloseTimeline, and contexts are allocated on the codes.
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/timeline/ITimelineControl.h"
#include "server/timeline/ITimelineNames.h"
#include "server/timeline/TrackTypes.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextToken.h"
#include "tmschannel/frame/ComBoundary.h"

#include <limits>

namespace {

constexpr HRESULT kNotFound = HR(0x80045224);
// Segment media marks: both media in and media out.
constexpr long kMarkBoth = 3;
constexpr long kMarkOutOnly = 2;
// Every track type a movie holds; video tracks are numbered per type.
constexpr long kMovieTrackTypes[] = {tmstrack::kAudio,         tmstrack::kTimecode, 4, 5, 6, 7,
                                     tmstrack::kAncillaryData, tmstrack::kVideo};

// Record resources take part in new movies and extensions.
bool IsRecordTrack(CTmsResource& r) {
    return r.TrackType() != 0 && r.IsAssignedForRecord();
}

CComPtr<IMovie> MovieOf(CEntryPoint& trace, IUnknown* timeline) {
    CComPtr<IMovie> movie;
    const HRESULT hr = timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie));
    if (FAILED(hr) && hr != E_NOINTERFACE) {
        TMS_CHECK_COM(trace, hr);
    }
    return movie;
}

std::int32_t LastSegmentEnd(CEntryPoint& trace, IMovie* movie, long type, long track) {
    unsigned short code = 0;
    HRESULT hr = movie->GetLastSegment(type, track, 0, -1, &code);
    TMS_CHECK_COM(trace, hr);
    if (hr == S_FALSE) {
        return 0;
    }
    long start = 0, natural = 0, duration = 0;
    unsigned short flags = 0;
    unsigned long user = 0;
    TMS_CHECK_COM(trace, movie->GetSegmentPositions(type, track, code, &start, &natural, &duration,
                                                    &flags, &user));
    return start + duration;
}

}  // namespace

CComPtr<IMovieBuilder> CChannel::BeginTimelineCall(CEntryPoint& trace, const char* operation,
                                                   unsigned short* code, GUID* riid,
                                                   void** timeline) {
    if (code == nullptr || riid == nullptr || timeline == nullptr) {
        TMS_RAISE(trace, E_POINTER, "%s: no place for the code or the timeline", operation);
    }
    *code = 0;
    *timeline = nullptr;
    CComPtr<IMovieBuilder> builder = MovieBuilder();
    if (builder == nullptr) {
        TMS_RAISE(trace, E_UNEXPECTED, "%s: the channel is not open", operation);
    }
    return builder;
}

HRESULT CChannel::CreateTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie,
                                 long bPopulateTracks, int iLength, unsigned short* pnTimelineCode,
                                 GUID* riid, void** ppvTimeline) {
    const std::string dataset = CBstr::FromBstr(bstrDataset).ToUtf8();
    const std::string group = CBstr::FromBstr(bstrGroup).ToUtf8();
    const std::string movieName = CBstr::FromBstr(bstrMovie).ToUtf8();
    CTmsEntryPoint trace("CChannel::CreateTimeline %s %s %s %d %d", dataset.c_str(), group.c_str(),
                         movieName.c_str(), static_cast<int>(bPopulateTracks), iLength);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        CComPtr<IMovieBuilder> builder =
            BeginTimelineCall(trace, "CreateTimeline", pnTimelineCode, riid, ppvTimeline);
        // Inside the gate until the timeline is in the map: Close closes
        // every timeline of the map once the calls inside have left.
        CCallGate::Pass pass(m_gate);
        if (!pass.Admitted()) {
            RaiseRefused(trace, "CreateTimeline", pass);
        }
        unsigned short code = 0;
        CComPtr<ITimeline> timeline;
        TMS_CHECK_COM(
            trace, builder->CreateTimeline(bstrDataset, bstrGroup, bstrMovie, &code, IID_ITimeline,
                                           reinterpret_cast<void**>(&timeline)));
        // A code the client is never given could never be closed.
        auto closeAgain = [&] {
            builder->CloseTimeline(bstrDataset, bstrGroup, bstrMovie, 0, code);
        };
        try {
            if (bPopulateTracks != 0) {
                CComPtr<IMovie> movie = MovieOf(trace, timeline);
                if (movie == nullptr) {
                    TMS_RAISE(trace, E_NOINTERFACE, "Timeline has no movie to populate");
                }
                const CBstr format(tmsvideo::NameFromFormat(Config().videoFormat, 255));
                TMS_CHECK_COM(trace, movie->SetVideoFormat(format));
                for (const auto& r : Resources()) {
                    if (!IsRecordTrack(*r)) {
                        continue;
                    }
                    unsigned short segment = 0;
                    TMS_CHECK_COM(
                        trace, movie->AppendSegment(r->TrackType(), r->ResourceNumber(), 0, iLength,
                                                    r->EncodeFileType(), nullptr, &segment));
                    BYTE block[tmstrack::kMediaDataSize] = {};
                    r->GetMediaData(block);
                    TMS_CHECK_COM(trace,
                                  movie->SetSegmentMediaData(r->TrackType(), r->ResourceNumber(),
                                                             segment, 1, sizeof block, block));
                    std::string label;
                    r->GetLabel(&label);
                    if (!label.empty()) {
                        TMS_CHECK_COM(trace,
                                      movie->SetTrackLabel(r->TrackType(), r->ResourceNumber(),
                                                           CBstr(label)));
                    }
                }
            }
            CCriticalSectionLock lock(m_cs);
            const HRESULT hr = timeline->QueryInterface(*riid, ppvTimeline);
            if (FAILED(hr)) {
                TMS_RAISE(trace, hr, "Timeline does not implement requested interface");
            }
            m_timelines[code] = timeline;
        } catch (...) {
            closeAgain();
            throw;
        }
        *pnTimelineCode = code;
    });
}

HRESULT CChannel::OpenTimeline(BSTR bstrDataset, BSTR bstrGroup, BSTR bstrMovie,
                               unsigned short* pnTimelineCode, GUID* riid, void** ppvTimeline) {
    const std::string dataset = CBstr::FromBstr(bstrDataset).ToUtf8();
    const std::string group = CBstr::FromBstr(bstrGroup).ToUtf8();
    const std::string movieName = CBstr::FromBstr(bstrMovie).ToUtf8();
    CTmsEntryPoint trace("CChannel::OpenTimeline %s %s %s", dataset.c_str(), group.c_str(),
                         movieName.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        CComPtr<IMovieBuilder> builder =
            BeginTimelineCall(trace, "OpenTimeline", pnTimelineCode, riid, ppvTimeline);
        CCallGate::Pass pass(m_gate);
        if (!pass.Admitted()) {
            RaiseRefused(trace, "OpenTimeline", pass);
        }
        unsigned short code = 0;
        CComPtr<ITimelineControl> control;
        try {
            TMS_CHECK_COM(trace, builder->OpenTimeline(bstrDataset, bstrGroup, bstrMovie, &code, 0,
                                                       IID_ITimelineControl,
                                                       reinterpret_cast<void**>(&control)));
            unsigned int caps1 = 0, caps2 = 0;
            CheckHr(trace, GetChannelCapabilities(&caps1, &caps2));
            TMS_CHECK_COM(trace, control->SetChannelCapabilities(caps1, caps2));
            CComPtr<ITimeline> timeline;
            TMS_CHECK_COM(
                trace, control->QueryInterface(IID_ITimeline, reinterpret_cast<void**>(&timeline)));
            CCriticalSectionLock lock(m_cs);
            const HRESULT hr = control->QueryInterface(*riid, ppvTimeline);
            if (FAILED(hr)) {
                TMS_RAISE(trace, hr, "Timeline does not implement requested interface");
            }
            m_timelines[code] = timeline;
        } catch (...) {
            if (code != 0) {
                builder->CloseTimeline(bstrDataset, bstrGroup, bstrMovie, 0, code);
            }
            throw;
        }
        *pnTimelineCode = code;
    });
}

HRESULT CChannel::CloseTimeline(unsigned short nTimelineCode) {
    CTmsEntryPoint trace("CChannel::CloseTimeline %d", nTimelineCode);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        CCallGate::Pass pass(m_gate);
        if (!pass.Admitted()) {
            RaiseRefused(trace, "CloseTimeline", pass);
        }
        CheckHr(trace, RemoveTimeline(nTimelineCode));
    });
}

HRESULT CChannel::RemoveTimeline(std::uint16_t code) {
    CTmsEntryPoint trace("CChannel::RemoveTimeline %d", code);
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<ITimeline> timeline;
        CComPtr<IMovieBuilder> builder;
        {
            // Out of the map first, under the channel lock that allocation
            // holds while it registers: no context is registered on the code
            // after the revocations below have looked. A second removal of
            // the same code finds nothing.
            CCriticalSectionLock lock(m_cs);
            timeline = FindTimeline(trace, code);
            builder = m_movieBuilder;
            m_timelines.erase(code);
        }
        // Every context of the timeline is revoked and the timeline closed,
        // whatever fails on the way; the first failure is returned. The
        // channel lock is not held (outside Close): the monitor reports the
        // idle state a revocation waits for.
        HRESULT revoked = S_OK;
        for (const auto& context : m_contexts) {
            const std::uint32_t token = context->Token();
            if (token != 0 && context_token::TimelineCode(token) == code) {
                const HRESULT hr = context->RevokeTimeline();
                if (FAILED(hr) && SUCCEEDED(revoked)) {
                    revoked = hr;
                }
            }
        }
        CComPtr<ITimelineNames> names;
        HRESULT closed =
            timeline->QueryInterface(IID_ITimelineNames, reinterpret_cast<void**>(&names));
        CBstr dataset, group, movie;
        if (SUCCEEDED(closed)) {
            closed = names->GetNames(&dataset, &group, &movie);
        }
        if (SUCCEEDED(closed)) {
            closed = builder->CloseTimeline(dataset, group, movie, 0, code);
        }
        if (FAILED(closed)) {
            // Still open at the builder: the client may close it again.
            CCriticalSectionLock lock(m_cs);
            m_timelines.emplace(code, timeline);
            TMS_CHECK_COM(trace, closed);
        }
        CheckHr(trace, revoked);
    });
}

CComPtr<ITimeline> CChannel::FindTimeline(CEntryPoint& trace, std::uint16_t code) {
    CCriticalSectionLock lock(m_cs);
    const auto found = m_timelines.find(code);
    if (found == m_timelines.end()) {
        TMS_RAISE(trace, kNotFound, "Could not find timeline code %d in channel '%s'", code,
                  m_channelId.c_str());
    }
    return found->second;
}

HRESULT CChannel::GetMovieBuilder(GUID* riid, void** ppvMovieBuilder) {
    CTmsEntryPoint trace("CChannel::GetMovieBuilder");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (riid == nullptr || ppvMovieBuilder == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetMovieBuilder: no place for the movie builder");
        }
        *ppvMovieBuilder = nullptr;
        CCriticalSectionLock lock(m_cs);
        if (m_movieBuilder == nullptr) {
            TMS_RAISE(trace, E_UNEXPECTED, "GetMovieBuilder: the channel is not open");
        }
        const HRESULT hr = m_movieBuilder->QueryInterface(*riid, ppvMovieBuilder);
        if (FAILED(hr)) {
            TMS_RAISE(trace, hr, "MovieBuilder does not implement requested interface");
        }
    });
}

HRESULT CChannel::AddTrackPadsAsNeeded(IMovie* movie, std::int32_t position, std::int32_t first,
                                       std::int32_t end, std::int32_t trackType) {
    CTmsEntryPoint trace("CChannel::AddTrackPadsAsNeeded iRes %d, iMovie %d, trackType %d", first,
                         end, trackType);
    return TMS_ERROR_FRAME(trace, [&] {
        // Padded up to the position rather than by the extension's length:
        // a track that already ends in a pad (cut or padded to the start,
        // or padded by an earlier extension) must still reach the new end,
        // or the next record on it would land short of its place.
        for (std::int32_t n = first; n < end; ++n) {
            const std::int32_t trackEnd = LastSegmentEnd(trace, movie, trackType, n);
            if (trackEnd < position) {
                unsigned short added = 0;
                TMS_CHECK_COM(trace, movie->AppendSegment(trackType, n, 0, position - trackEnd, 0,
                                                          nullptr, &added));
            }
        }
    });
}

void CChannel::AppendRecordSegments(CEntryPoint& trace, IMovie* movie, std::int32_t length) {
    for (const auto& r : Resources()) {
        if (!IsRecordTrack(*r)) {
            continue;
        }
        unsigned short segment = 0;
        TMS_CHECK_COM(trace, movie->AppendSegment(r->TrackType(), r->ResourceNumber(), 0, length,
                                                  r->EncodeFileType(), nullptr, &segment));
    }
}

void CChannel::CutOrPadRecordTracks(CEntryPoint& trace, IMovie* movie, std::int32_t position) {
    for (const long type : kMovieTrackTypes) {
        long count = 0;
        TMS_CHECK_COM(trace, movie->GetTrackCount(type, &count));
        for (long n = 0; n < count; ++n) {
            // Segments past the position go, the one across it is cut back.
            for (;;) {
                unsigned short code = 0;
                const HRESULT hr = movie->GetLastSegment(type, n, 0, -1, &code);
                TMS_CHECK_COM(trace, hr);
                if (hr == S_FALSE) {
                    break;
                }
                long start = 0, natural = 0, duration = 0;
                unsigned short flags = 0;
                unsigned long user = 0;
                TMS_CHECK_COM(trace, movie->GetSegmentPositions(type, n, code, &start, &natural,
                                                                &duration, &flags, &user));
                if (start + duration <= position) {
                    break;
                }
                if (start >= position) {
                    TMS_CHECK_COM(trace, movie->RemoveSegment(type, n, code));
                } else {
                    TMS_CHECK_COM(trace, movie->TrimSegment(type, n, code, position - start));
                    break;
                }
            }
            const std::int32_t end = LastSegmentEnd(trace, movie, type, n);
            if (end < position) {
                unsigned short added = 0;
                TMS_CHECK_COM(trace,
                              movie->AppendSegment(type, n, 0, position - end, 0, nullptr, &added));
            }
        }
    }
}

HRESULT CChannel::ExtendTimeline(IUnknown* pTimelineUnk, int iStartPos, int iLength) {
    CTmsEntryPoint trace("CChannel::ExtendTimeline %d %d", iStartPos, iLength);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pTimelineUnk == nullptr) {
            TMS_RAISE(trace, E_POINTER, "ExtendTimeline: no timeline");
        }
        if (iLength < 0) {
            TMS_RAISE(trace, E_INVALIDARG, "ExtendTimeline: length %d is negative", iLength);
        }
        CComPtr<IMovie> movie = MovieOf(trace, pTimelineUnk);
        if (movie == nullptr) {
            TMS_RAISE(trace, E_NOINTERFACE, "ExtendTimeline: the timeline has no movie");
        }
        CComPtr<ITimelineControl> control;
        TMS_CHECK_COM(trace, pTimelineUnk->QueryInterface(IID_ITimelineControl,
                                                          reinterpret_cast<void**>(&control)));
        CVariant read;
        TMS_CHECK_COM(
            trace, movie->GetProperties(CBstr("markIn+markOut+maxLength+numA+numT+numV+numAncData"),
                                        read.GetAddress()));
        const std::vector<CVariant> values = ReadVariantArray(read);
        if (values.size() != 7) {
            TMS_RAISE(trace, E_UNEXPECTED, "ExtendTimeline: the movie gave %d of 7 properties",
                      static_cast<int>(values.size()));
        }
        const std::int32_t markIn = values[0].ToInt32();
        const std::int32_t markOut = values[1].ToInt32();
        std::int32_t maxLength = values[2].ToInt32();
        // The extension must end on a position the movie can hold; refused
        // before anything of the movie changes.
        if (std::int64_t{markIn} + iStartPos + iLength > std::numeric_limits<std::int32_t>::max()) {
            TMS_RAISE(trace, E_INVALIDARG,
                      "ExtendTimeline: start %d and length %d from mark in %d run past the last "
                      "position",
                      iStartPos, iLength, markIn);
        }
        const std::int32_t at = markIn + iStartPos;

        if (maxLength == 0) {
            // Never extended: the record tracks get one fresh segment each.
            for (const auto& r : Resources()) {
                if (!IsRecordTrack(*r)) {
                    continue;
                }
                const long type = r->TrackType();
                const long track = r->ResourceNumber();
                unsigned short old = 0;
                const HRESULT found = movie->GetLastSegment(type, track, 0, -1, &old);
                TMS_CHECK_COM(trace, found);
                if (found == S_OK) {
                    TMS_CHECK_COM(trace, movie->RemoveSegment(type, track, old));
                }
                unsigned short segment = 0;
                TMS_CHECK_COM(trace, movie->AppendSegment(type, track, 0, iLength,
                                                          r->EncodeFileType(), nullptr, &segment));
                BYTE block[tmstrack::kMediaDataSize] = {};
                r->GetMediaData(block);
                TMS_CHECK_COM(trace, movie->SetSegmentMediaData(type, track, segment, 1,
                                                                sizeof block, block));
                TMS_CHECK_COM(trace, movie->UpdateSegment(type, track, segment, at, at, kMarkBoth));
            }
            TMS_CHECK_COM(trace, movie->SetMarks(at, at, kMarkBoth, FALSE));
            return;
        }
        if (maxLength > markOut - markIn) {
            trace.LogMsg(
                "%s: ExtendTimeline: repairing crashed movie, len=%d, len between marks=%d",
                m_channelId.c_str(), maxLength, markOut - markIn);
            TMS_CHECK_COM(trace, movie->SetMarks(-1, markOut, kMarkOutOnly, TRUE));
            maxLength = markOut - markIn;
        }
        if (iStartPos <= 0) {
            TMS_CHECK_COM(trace, movie->SetMarks(at, at, kMarkBoth, TRUE));
        } else {
            CutOrPadRecordTracks(trace, movie, at);
        }
        AppendRecordSegments(trace, movie, iLength);
        // The tracks the channel does not record on are padded level with
        // the end of the movie. The channel's own tracks are (track type,
        // resource number); tracks are counted per exact type, as the movie
        // numbers them, so a second video track of the record's compression
        // is padded where it is.
        CVariant length;
        TMS_CHECK_COM(trace, movie->GetProperty(CBstr("length"), length.GetAddress()));
        const std::int32_t movieEnd = length.ToInt32();
        for (const long type : kMovieTrackTypes) {
            std::int32_t channelTracks = 0;
            for (const auto& r : Resources()) {
                if (r->TrackType() == type) {
                    ++channelTracks;
                }
            }
            long movieTracks = 0;
            TMS_CHECK_COM(trace, movie->GetTrackCount(type, &movieTracks));
            CheckHr(trace, AddTrackPadsAsNeeded(movie, movieEnd, channelTracks,
                                                static_cast<std::int32_t>(movieTracks), type));
        }
        TMS_CHECK_COM(trace, control->Extend(at, at + iLength, iLength, 0));
    });
}
