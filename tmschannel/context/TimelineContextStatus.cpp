// CTimelineContext: the status pass (what the RTS reports for the context,
// handed to its timeline), the movie status it keeps, its part of the
// channel's status block, and the status names clients ask for.
#include <bit>
#include <cmath>
#include <cstring>

#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/StatusValue.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/ContextStatusNames.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ErrorFrame.h"

using namespace status_value;

namespace {

constexpr DWORD kMovieSaveIntervalMs = 500;
constexpr std::int32_t kNoEnd = 0x7FFFFFFF;
constexpr std::int32_t kUnbounded = static_cast<std::int32_t>(0x80000000u);

// A packed timecode: bit 31 none, bit 29 drop frame, then hours, minutes,
// seconds and frames in bytes 3 to 0.
CTimecode Unpack(std::int32_t packed, std::int32_t format) {
    const auto bits = static_cast<std::uint32_t>(packed);
    if ((bits & 0x80000000u) != 0) {
        return CTimecode(0, tmsvideo::TimecodeFormatCode(format, false));
    }
    const std::uint16_t code = tmsvideo::TimecodeFormatCode(format, (bits & 0x20000000u) != 0);
    const int fieldsPerFrame = std::max(1, tmsvideo::FieldsPerFrame(format));
    return CTimecode(static_cast<int>((bits >> 24) & 0x1F), static_cast<int>((bits >> 16) & 0x3F),
                     static_cast<int>((bits >> 8) & 0x3F),
                     static_cast<int>(bits & 0x3F) * fieldsPerFrame, code);
}

}  // namespace

std::uint16_t CTimelineContext::TimecodeCode(bool dropFrame) const {
    return tmsvideo::TimecodeFormatCode(m_owner.VideoFormat(), dropFrame);
}

std::string CTimelineContext::DurationText(std::int64_t fields) const {
    return CTimecode(std::max<std::int64_t>(0, fields), TimecodeCode(false)).ToString();
}

std::int32_t CTimelineContext::ReportedMaximum() const {
    if (m_rec.underConstruction && m_recordPhase != 2) {
        return std::max(m_timelineMin, m_timelineMax - EffectiveRecordCueLatency());
    }
    return m_timelineMax;
}

HRESULT CTimelineContext::PutStatus(std::uint16_t cycle, std::int32_t channel) {
    CTmsEntryPoint trace("CTimelineContext::PutStatus %d, chan %d", cycle, channel);
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<ITimeline> client;
        std::uint32_t token = 0;
        context_record::StatusRecord record{};
        TmsPortState portState = TmsIdle;
        const DWORD now = m_owner.Clock().TickCount();
        bool handOn = false;
        {
            CCriticalSectionLock lock(m_cs);
            m_cycle = cycle;
            token = Token();
            if (token == 0) {
                trace.SetResult(S_FALSE);
                return;
            }
            TmsPortContextStatus rts{};
            unsigned tick = 0;
            const CRtsShmem& shmem = m_owner.RtsShmem();
            if (!shmem.GetContextStatus(channel, m_index, &rts) ||
                !shmem.GetTickCount(channel, &tick)) {
                TMS_RAISE(trace, E_FAIL, "GetContextStatus(%d, %d) returned false.", channel,
                          m_index);
            }
            if (rts.triggerStatus == 0 && m_lastTriggerStatus == 0) {
                trace.SetResult(S_FALSE);
                return;
            }
            m_lastTriggerStatus = rts.triggerStatus;
            {
                CCriticalSectionLock status(m_statusCs);
                SaveStatus(cycle, tick, rts);
                record = m_status.record;
            }
            portState = static_cast<TmsPortState>(rts.portState);
            client = m_timeline;
            // Noted as handed before it is: taking the lock again after the
            // call would meet the hand-back thread holding it for the broker.
            handOn = client != nullptr && m_handOn.Due(record, now, m_lastStateMessageTick);
            if (handOn) {
                m_handOn.Handed(record, now);
            }
        }
        if (client == nullptr) {
            return;
        }
        // The follow-ups first, each whatever the one before did, and the
        // record last: once handed on, the hand-back thread takes the
        // context lock for the broker, and these would wait for it.
        HRESULT followUp = S_OK;
        auto note = [&followUp](HRESULT hr) {
            if (FAILED(hr) && SUCCEEDED(followUp)) {
                followUp = hr;
            }
        };
        if (GetTickCount() - m_lastMovieSaveTick >= kMovieSaveIntervalMs) {
            note(IsActive() ? SaveMovieStatus(false, false, false) : SavePreviewStatus(false));
        }
        note(HandleStorageCutOff(portState));
        note(HandleOfflineEvent(portState));
        if (handOn) {
            // Outside the context lock: the timeline hands the record back
            // through the broker, which takes it again.
            const HRESULT hr = client->ContextStatus(token, sizeof record,
                                                     reinterpret_cast<unsigned char*>(&record));
            // One the timeline did not take (S_FALSE: the token is not
            // registered with it yet) is due again next pass.
            if (hr != S_OK) {
                CCriticalSectionLock lock(m_cs);
                m_handOn.Forget();
            }
            TMS_CHECK_COM(trace, hr);
        }
        CheckHr(trace, followUp);
    });
}

void CTimelineContext::SaveStatus(std::uint16_t cycle, std::uint32_t tick,
                                  const TmsPortContextStatus& rts) {
    ContextStatusBlock& s = m_status;
    s.cycle = cycle;
    s.rtsTick = tick;
    context_record::StatusRecord& r = s.record;
    r.changeId = static_cast<std::int32_t>(rts.changeId);
    r.triggerStatus = rts.triggerStatus;
    r.portState = rts.portState;
    r.portPosition = rts.position;
    const std::int32_t format = m_owner.VideoFormat();
    const std::int32_t fieldsPerFrame = std::max(1, tmsvideo::FieldsPerFrame(format));
    const std::int32_t movie =
        m_window.PortToMovie(rts.position, m_rec.position, fieldsPerFrame).movie;
    r.moviePosition = movie;
    r.word20 = rts.recordStart;
    r.recordEnd = rts.recordEnd;
    r.speed = rts.speed;

    const bool endless = rts.portState == TmsShuttleRecord && rts.recordEnd == kNoEnd;
    if (endless) {
        const std::int32_t tenSeconds = std::max(1, 10 * m_latency.oneSecond);
        s.percentComplete =
            static_cast<float>(((movie - m_timelineMin) % tenSeconds + tenSeconds) % tenSeconds) /
            static_cast<float>(tenSeconds);
    } else {
        const std::int32_t start =
            (m_rec.startLimit == -1 || m_rec.startLimit == kUnbounded) ? 0 : m_rec.startLimit;
        const bool endSet = m_rec.endLimit != -1 && m_rec.endLimit != kNoEnd;
        const std::int32_t length = endSet ? m_rec.endLimit - start : m_rec.timelineLength - start;
        s.percentComplete =
            length < 1 ? 0.0f : static_cast<float>(movie - start) / static_cast<float>(length);
    }
    // The section and the event (edit) as the timeline limits last read
    // them from the movie's play list.
    s.sectionPercent = s.sectionLength < 1 ? 0.0f
                                           : static_cast<float>(movie - s.sectionStart) /
                                                 static_cast<float>(s.sectionLength);
    // Texts are made again only when their figures changed.
    const std::uint16_t code = tmsvideo::TimecodeFormatCode(format, false);
    auto duration = [code](CCachedText<2>& text, std::int64_t fields) -> const std::string& {
        const std::int64_t shown = std::max<std::int64_t>(0, fields);
        return text.Text({shown, code}, [&] { return CTimecode(shown, code).ToString(); });
    };
    s.durationText =
        duration(m_durationText,
                 endless ? m_rec.timelineLength : std::int64_t{m_timelineMax} - m_timelineMin + 1);
    s.countdownText = duration(m_countdownText, std::int64_t{m_timelineMax} - movie);
    s.sectionCountdownText = duration(m_sectionCountdownText,
                                      std::int64_t{s.sectionStart} + s.sectionLength - 1 - movie);
    s.eventCountdownText =
        duration(m_eventCountdownText, std::int64_t{s.eventStart} + s.eventLength - 1 - movie);
    s.positionText = m_positionText.Text({s.startTimecode, format, movie}, [&] {
        return (Unpack(s.startTimecode, format) + movie).ToString();
    });
}

HRESULT CTimelineContext::SaveMovieStatus(bool withThumbnail, bool publish, bool force) {
    CTmsEntryPoint trace("CTimelineContext::SaveMovieStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<IMovie> movie = Movie();
        if (movie == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        std::string names =
            "moviename+datasetname+uri+starttimecode+firstTimecodeMask+markIn+markOut+markInStr+"
            "markOutStr+underConstruction+locked+readOnly+repeat+assetType+thumbnailMark+"
            "minMarkIn+maxMarkOut+starttimecodestr";
        if (withThumbnail) {
            names += "+thumbnailImage";
        }
        CVariant read;
        TMS_CHECK_COM(trace, movie->GetProperties(CBstr(names), read.GetAddress()));
        const std::vector<CVariant> v = ReadVariantArray(read.GetVARIANT());
        const std::size_t expected = withThumbnail ? 19 : 18;
        if (v.size() < expected) {
            TMS_RAISE(trace, E_UNEXPECTED, "%s:Ctx%d: the movie gave %d status values, not %d",
                      m_owner.ChannelName().c_str(), m_index, static_cast<int>(v.size()),
                      static_cast<int>(expected));
        }
        std::int32_t thumbnailMark = -1;
        {
            CCriticalSectionLock status(m_statusCs);
            ContextStatusBlock& s = m_status;
            s.movieName = v[0].ToString();
            s.datasetName = v[1].ToString();
            s.assetUri = v[2].ToString();
            s.startTimecode = v[3].ToInt32();
            s.firstTimecodeMask = v[4].ToInt32();
            s.markIn = v[5].ToInt32();
            s.markOut = v[6].ToInt32();
            s.markInText = v[7].ToString();
            s.markOutText = v[8].ToString();
            s.underConstruction = v[9].ToBool();
            s.locked = v[10].ToBool();
            s.readOnly = v[11].ToBool();
            s.repeat = v[12].ToBool();
            s.assetType = v[13].ToString();
            s.thumbnailMark = thumbnailMark = v[14].ToInt32();
            s.minMarkIn = v[15].ToInt32();
            s.maxMarkOut = v[16].ToInt32();
            s.startTimecodeText = v[17].ToString();
            s.startTimecodeValue = Unpack(s.firstTimecodeMask, m_owner.VideoFormat());
        }
        m_lastMovieSaveTick = GetTickCount();
        CChanAccess* access = m_owner.ChanAccess();
        if (access == nullptr || !(publish || force || withThumbnail)) {
            return;
        }
        {
            CStatusFileLock mutex(access);
            if (mutex.Acquired()) {
                CheckHr(trace, PublishStatus(mutex, *access, force));
            }
        }
        if (withThumbnail && thumbnailMark >= 0) {
            CheckHr(trace, access->SetThumbnail(v[18].GetVARIANT()));
        }
    });
}

HRESULT CTimelineContext::SavePreviewStatus(bool publish) {
    CTmsEntryPoint trace("CTimelineContext::SavePreviewStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        CComPtr<IMovie> movie = Movie();
        if (movie == nullptr) {
            trace.SetResult(S_FALSE);
            return;
        }
        CVariant read;
        TMS_CHECK_COM(trace, movie->GetProperties(CBstr("moviename+uri"), read.GetAddress()));
        const std::vector<CVariant> v = ReadVariantArray(read.GetVARIANT());
        if (v.size() < 2) {
            TMS_RAISE(trace, E_UNEXPECTED, "%s:Ctx%d: the movie gave %d preview values, not 2",
                      m_owner.ChannelName().c_str(), m_index, static_cast<int>(v.size()));
        }
        std::string uri;
        {
            CCriticalSectionLock status(m_statusCs);
            m_status.movieName = v[0].ToString();
            m_status.assetUri = uri = v[1].ToString();
        }
        m_lastMovieSaveTick = GetTickCount();
        CChanAccess* access = m_owner.ChanAccess();
        if (publish && access != nullptr) {
            CheckHr(trace, access->SetCtxAssetUri(m_index, Utf8ToUtf16(uri).c_str()));
        }
    });
}

HRESULT CTimelineContext::PublishStatus(const CStatusFileLock& block, CChanAccess& access,
                                        bool force) {
    CTmsEntryPoint trace("CTimelineContext::PublishStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        if (Token() == 0) {
            trace.SetResult(S_FALSE);
            return;
        }
        namespace b = context_block;
        if (!block.Acquired()) {
            return;
        }
        const bool active = IsActive();
        CCriticalSectionLock status(m_statusCs);
        const ContextStatusBlock& s = m_status;
        if (force || active) {
            std::uint8_t* base = block.Block();
            const auto k = static_cast<std::size_t>(
                access.IncrementIndex(reinterpret_cast<LONG*>(base + b::kRingIndex)));
            block.WriteWide(b::kMovieName, b::kNameChars, s.movieName);
            block.WriteWide(b::kAssetUri, b::kUriChars, s.assetUri);
            // The names are cut to leave a terminator; a uuid fills its field.
            for (std::size_t t = 0; t < s.limitTexts.size(); ++t) {
                const std::size_t at = b::kLimitTexts + b::kLimitTextStride * t;
                if (t < b::kLimitNameTexts) {
                    block.WriteWide(at, b::kNameChars, s.limitTexts[t]);
                } else {
                    block.WriteWideFilled(at, b::kNameChars, s.limitTexts[t]);
                }
            }
            block.WriteWide(b::kMarkInText, b::kTextChars, s.markInText);
            block.WriteWide(b::kMarkOutText, b::kTextChars, s.markOutText);
            block.WriteWide(b::kStartTimecodeText, b::kTextChars, s.startTimecodeText);
            block.WriteWide(b::kAssetType, b::kAssetTypeChars, s.assetType);
            block.Write32(b::kMarkIn, static_cast<std::uint32_t>(s.markIn));
            block.Write32(b::kMarkOut, static_cast<std::uint32_t>(s.markOut));
            block.Write32(b::kMinMarkIn, static_cast<std::uint32_t>(s.minMarkIn));
            block.Write32(b::kMaxMarkOut, static_cast<std::uint32_t>(s.maxMarkOut));
            block.Write32(b::kThumbnailMark, static_cast<std::uint32_t>(s.thumbnailMark));
            block.Write8(b::kUnderConstruction, s.underConstruction ? 1 : 0);
            block.Write8(b::kUnderConstruction + 1, s.locked ? 1 : 0);
            block.Write8(b::kUnderConstruction + 2, s.readOnly ? 1 : 0);
            block.Write8(b::kUnderConstruction + 3, s.repeat ? 1 : 0);
            block.Write16(b::kCycle + 2 * k, s.cycle);
            block.WriteWide(b::kDurationText + 32 * k, b::kTextChars, s.durationText);
            block.WriteWide(b::kCountdownText + 32 * k, b::kTextChars, s.countdownText);
            block.WriteWide(b::kSectionCountdownText + 32 * k, b::kTextChars,
                            s.sectionCountdownText);
            block.WriteWide(b::kEventCountdownText + 32 * k, b::kTextChars, s.eventCountdownText);
            block.Write32(b::kPosition + 4 * k, static_cast<std::uint32_t>(s.record.moviePosition));
            block.Write32(b::kPortState + 4 * k, static_cast<std::uint32_t>(s.record.portState));
            block.Write32(b::kSpeed + 4 * k, std::bit_cast<std::uint32_t>(float(s.record.speed)));
            block.Write32(b::kPercentComplete + 4 * k,
                          std::bit_cast<std::uint32_t>(s.percentComplete));
            block.Write32(b::kSectionPercent + 4 * k,
                          std::bit_cast<std::uint32_t>(s.sectionPercent));
            block.WriteWide(b::kPositionText + 32 * k, b::kTextChars, s.positionText);
            block.Write32(b::kRecordWord24 + 4 * k, static_cast<std::uint32_t>(s.record.word20));
            block.Write32(b::kRecordWord28 + 4 * k, static_cast<std::uint32_t>(s.record.recordEnd));
        }
        block.WriteWide(statusmem::kContextAssetUri + statusmem::kContextAssetUriStride * m_index,
                        statusmem::kContextAssetUriChars, s.assetUri);
        ContextStatusBlock& kept = m_status;
        kept.channelOffline = block.Block()[statusmem::kChannelOffline] != 0;
        kept.systemOffline = block.Block()[statusmem::kSystemOffline] != 0;
        std::memcpy(kept.storage.data(), block.Block() + statusmem::kStorage, kept.storage.size());
    });
}

HRESULT CTimelineContext::StringToStatus(const std::string& name, VARIANT* value, bool offline) {
    CTmsEntryPoint trace("CTimelineContext::StringToStatus");
    const std::int32_t code = context_status::CodeOf(name);
    if (code < 0) {
        return S_FALSE;
    }
    // The last report would otherwise go on saying the port plays.
    constexpr std::int32_t kPortState = 9;
    constexpr std::int32_t kSpeed = 10;
    constexpr std::int32_t kTriggerStatus = 18;
    if (offline && (code == kPortState || code == kSpeed || code == kTriggerStatus)) {
        return context_status::DefaultValue(code, value);
    }
    // The live figures of the status pass need only the status lock: a
    // query of the position never waits for a change or a broker call,
    // which hold the context lock across an exchange with the RTS.
    if (ReadsStatusOnly(code)) {
        return StringToVariant(code, value);
    }
    CCriticalSectionLock lock(m_cs);
    return StringToVariant(code, value);
}

bool CTimelineContext::ReadsStatusOnly(std::int32_t code) {
    switch (code) {
        case 0:
        case 1:
        case 2:
        case 4:
        case 5:
        case 6:
        case 8:
        case 9:
        case 10:
        case 16:
        case 18:
        case 21:
        case 22:
        case 24:
        case 25:
        case 26:
        case 27:
        case 28:
            return true;
        default:
            return false;
    }
}

HRESULT CTimelineContext::StringToVariant(std::int32_t code, VARIANT* value) {
    CTmsEntryPoint trace("CTimelineContext::StringToVariant");
    CCriticalSectionLock status(m_statusCs);
    const ContextStatusBlock& s = m_status;
    const std::int32_t format = m_owner.VideoFormat();
    // The limits are the context lock's: read only by the codes that need
    // it held (not ReadsStatusOnly).
    auto noEnd = [this] { return m_rec.endLimit == -1 || m_rec.endLimit == kNoEnd; };
    auto limitLength = [&] {
        return (m_rec.startLimit < 0 || noEnd()) ? m_rec.timelineLength
                                                 : m_rec.endLimit - m_rec.startLimit + 1;
    };
    switch (code) {
        case 0:
            SetI4(value, format);
            return S_OK;
        case 1:
            return SetText(value, tmsvideo::NameFromFormat(format, tmsvideo::kFormatInvalid));
        case 2:
            SetI4(value, tmsvideo::FieldsPerFrame(format));
            return S_OK;
        case 4:
            return SetText(value, s.durationText);
        case 5:
            return SetText(value, s.countdownText);
        case 6:
            SetR4(value, s.percentComplete);
            return S_OK;
        case 8:
            SetI4(value, s.record.moviePosition);
            return S_OK;
        case 9:
            SetI4(value, s.record.portState);
            return S_OK;
        case 10:
            SetR4(value, s.record.speed);
            return S_OK;
        case 11:
            SetI4(value, m_timelineMin);
            return S_OK;
        case 12:
            SetI4(value, ReportedMaximum());
            return S_OK;
        case 13:
            SetI4(value, m_rec.endMode);
            return S_OK;
        case 14:
            SetI4(value, m_rec.idleMode);
            return S_OK;
        case 16:
            // The RTS tick of the last status pass: the record's own first
            // word is never set and would always answer 0.
            SetI4(value, static_cast<std::int32_t>(s.rtsTick));
            return S_OK;
        case 18:
            SetI4(value, s.record.triggerStatus);
            return S_OK;
        case 19: {
            std::string text;
            for (const auto& state : m_window) {
                text += FormatText("%d(%d) ", state->position.movie, state->position.port);
            }
            return SetText(value, text);
        }
        case 20:
            return SetText(value, m_window.Empty()
                                      ? std::string()
                                      : FormatText("%d(%d) %d(%d)", m_window.First().position.movie,
                                                   m_window.First().position.port,
                                                   m_window.Last().position.movie,
                                                   m_window.Last().position.port));
        case 21:
            return SetText(value, CTimecode(std::max(0, static_cast<int>(s.record.moviePosition)),
                                            TimecodeCode(true))
                                      .ToString());
        case 22:
            SetBool(value, true);
            return S_OK;
        case 24:
            return SetText(value, s.sectionCountdownText);
        case 25:
            return SetText(value, s.eventCountdownText);
        case 26:
            SetR4(value, s.sectionPercent);
            return S_OK;
        case 27:
            SetBool(value, s.pauseAtLimit);
            return S_OK;
        case 28:
            return SetText(value, s.positionText);
        case 29:
            SetI4(value, m_rec.startLimit);
            return S_OK;
        case 30:
            SetI4(value, m_rec.endLimit);
            return S_OK;
        case 31:
            SetI4(value, limitLength());
            return S_OK;
        case 32:
            return SetText(value,
                           (s.startTimecodeValue + std::max(0, static_cast<int>(m_rec.startLimit)))
                               .ToString());
        case 33:
            return SetText(value,
                           (s.startTimecodeValue + (noEnd() ? std::int64_t{m_rec.timelineLength}
                                                            : std::int64_t{m_rec.endLimit} + 1))
                               .ToString());
        case 34:
            return SetText(value, DurationText(limitLength()));
        case 35:
            SetBool(value, m_rec.underConstruction);
            return S_OK;
        case 36:
            SetI4(value, EffectiveRecordLatency());
            return S_OK;
        case 37:
            SetI4(value, m_rec.position.movie);
            return S_OK;
        case context_status::kCtxPortState:
            SetI4(value, m_rec.portState);
            return S_OK;
        case 39:
            SetR4(value, m_rec.speed);
            return S_OK;
        case context_status::kAssigned:
            SetBool(value, m_assigned);
            return S_OK;
        default:
            return S_FALSE;
    }
}
