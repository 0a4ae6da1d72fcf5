#include "tmschannel/resources/TmsResTimecode.h"

#include "platform/kernel/CriticalSectionLock.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ByteField.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cstring>

using bytefield::Put16;
using bytefield::Put32;

namespace {

// Status region of the timecode resource in the channel's status block.
constexpr std::size_t kCycleRing = 0x19B50;      // u16 per slot
constexpr std::size_t kRingIndex = 0x19B8C;      // advanced by IncrementIndex
constexpr std::size_t kTimecodeRing = 0x19B90;   // u32 per slot
constexpr std::size_t kTimecodeText = 0x19C08;   // 16 wide characters per slot
constexpr std::size_t kTimeOfDayRing = 0x19FC8;  // u32 per slot
constexpr std::size_t kTimeOfDayText = 0x1A040;  // 16 wide characters per slot
constexpr std::size_t kTickCount = 0x1A400;      // u32
constexpr std::size_t kTextChars = 16;

enum StatusToken : std::int32_t {
    kVideoFormat,
    kVideoFormatStr,
    kFieldsPerFrame,
    kTickCountStatus,
    kErrorCode,
    kTimecodeMask,
    kTimecodeStr,
    kDropFrame,
    kUserBits,
    kVitcInputMask,
    kVitcInputStr,
    kLtcInputMask,
    kLtcInputStr,
    kGenInputMask,
    kGenInputStr,
    kVitcInputUserBits,
    kLtcInputUserBits,
    kGenInputUserBits,
};

enum PropertyToken : std::int32_t {
    kCurrentTcInput,
    kGenFixedTimecode,
    kGenUserBits,
    kGenMode,
    kClockWatcherInput,
};

// The first of choices that equals text ignoring case; fallback otherwise.
const char* Normalise(const std::string& text, std::initializer_list<const char*> choices,
                      const char* fallback) {
    for (const char* c : choices) {
        if (EqualsNoCase(text, c)) {
            return c;
        }
    }
    return fallback;
}

}  // namespace

std::uint32_t CTmsResTimecode::PackTimecode(const CTimecode& t) {
    const int perFrame = t.FieldsPerFrame() > 0 ? t.FieldsPerFrame() : 1;
    return (static_cast<std::uint32_t>(t.Fields() / perFrame) & 0x3Fu) |
           (static_cast<std::uint32_t>(t.Seconds()) & 0x3Fu) << 8 |
           (static_cast<std::uint32_t>(t.Minutes()) & 0x3Fu) << 16 |
           (static_cast<std::uint32_t>(t.Hours() % 24) & 0x1Fu) << 24 |
           (t.DropFrame() ? kDropFrameBit : 0u);
}

namespace {

// A packed word's value at the rate of the video format and its drop-frame
// bit; the word must carry a timecode.
CTimecode UnpackTimecode(std::uint32_t word, std::int32_t videoFormat) {
    const std::uint16_t code =
        tmsvideo::TimecodeFormatCode(videoFormat, (word & CTmsResTimecode::kDropFrameBit) != 0);
    const int perFrame =
        tmsvideo::FieldsPerFrame(videoFormat) > 0 ? tmsvideo::FieldsPerFrame(videoFormat) : 1;
    return CTimecode(static_cast<int>((word >> 24) & 0x1F), static_cast<int>((word >> 16) & 0x3F),
                     static_cast<int>((word >> 8) & 0x3F), static_cast<int>(word & 0x3F) * perFrame,
                     code);
}

}  // namespace

std::string CTmsResTimecode::WordText(std::uint32_t word, std::int32_t videoFormat) {
    if ((word & kNoTimecode) != 0) {
        return videoFormat == 1 ? "xx:xx:xx:xx" : "xx:xx:xx;xx";
    }
    return UnpackTimecode(word, videoFormat).ToString();
}

std::uint32_t CTmsResTimecode::NextFrameWord(std::uint32_t word, std::int32_t videoFormat) {
    if ((word & kNoTimecode) != 0) {
        return kNoTimecode;
    }
    const CTimecode t = UnpackTimecode(word, videoFormat);
    return PackTimecode(t + t.FieldsPerFrame());
}

CTmsResTimecode::CTmsResTimecode(std::int32_t resourceNumber) : CTmsResource(resourceNumber) {
    m_typeName = u"timecode";
    m_trackType = 3;
    m_encodeFileType = 3;
    m_statusNames = {{"videoformat", kVideoFormat},
                     {"videoformatstr", kVideoFormatStr},
                     {"fieldsperframe", kFieldsPerFrame},
                     {"tickcount", kTickCountStatus},
                     {"errorcode", kErrorCode},
                     {"timecodemask", kTimecodeMask},
                     {"timecodestr", kTimecodeStr},
                     {"dropframe", kDropFrame},
                     {"userbits", kUserBits},
                     {"vitcinputmask", kVitcInputMask},
                     {"vitcinputstr", kVitcInputStr},
                     {"ltcinputmask", kLtcInputMask},
                     {"ltcinputstr", kLtcInputStr},
                     {"geninputmask", kGenInputMask},
                     {"geninputstr", kGenInputStr},
                     {"vitcinputuserbits", kVitcInputUserBits},
                     {"ltcinputuserbits", kLtcInputUserBits},
                     {"geninputuserbits", kGenInputUserBits}};
    m_propertyNames = {{"currenttcinput", kCurrentTcInput},
                       {"genfixedtimecode", kGenFixedTimecode},
                       {"genuserbits", kGenUserBits},
                       {"genmode", kGenMode},
                       {"clockwatcherinput", kClockWatcherInput}};
}

CTmsResTimecode::~CTmsResTimecode() = default;

std::string CTmsResTimecode::CodecElementPath() const {
    return ComponentElementPath("TcCodec", "Timecode", "TcCodecComponent");
}

std::string CTmsResTimecode::GeneratorElementPath() const {
    return ComponentElementPath("TcGenerator", "Timecode", "TcGeneratorComponent");
}

std::string CTmsResTimecode::ClockWatcherElementPath() const {
    return FormatText("//ClockWatcher[@id=\"%s\"]", m_clockWatcherId.c_str());
}

HRESULT CTmsResTimecode::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResTimecode::InitFromConfig");
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, CTmsResource::InitFromConfig(document, element));
        CCriticalSectionLock lock(m_cs);
        CConfigReader read(trace);
        read.Text(element, "TcGeneratorComponent/@id", &m_generatorId);
        read.Text(element, "TcCodecComponent/@id", &m_codecId);
        read.Text(element, "ClockWatcherComponent/@id", &m_clockWatcherId);
        const std::string codec = FormatText("//TcCodec[@id=\"%s\"]", m_codecId.c_str());
        const std::string generator =
            FormatText("//TcGenerator[@id=\"%s\"]", m_generatorId.c_str());
        read.Text(document, codec + "/@currentTcInput", &m_currentTcInput);
        read.Text(document, ClockWatcherElementPath() + "/@currentTcInput", &m_clockWatcherInput);
        read.Text(document, generator + "/@genMode", &m_genMode);
        std::int32_t fixed = static_cast<std::int32_t>(m_genFixedTimecode);
        if (read.Long(document, generator + "/@genFixedTimecode", &fixed)) {
            m_genFixedTimecode = static_cast<std::uint32_t>(fixed);
        }
        read.Long(document, generator + "/@genUserBits", &m_genUserBits);
    });
    if (SUCCEEDED(hr)) {
        ReportCreated(gfsResTimecodeCreated, gfsResTimecodeDestroyed);
    }
    return hr;
}

std::int32_t CTmsResTimecode::GetBytesPerSecond() {
    const std::uint16_t code = tmsvideo::TimecodeFormatCode(m_videoFormat, true);
    return static_cast<std::int32_t>(8 * CTimecode(0, 0, 1, 0, code).ToFieldCount());
}

std::int32_t CTmsResTimecode::GetMediaFileType(std::int32_t) {
    return m_videoFormat == 0 ? 7 : m_videoFormat == 1 ? 8 : 24;
}

BYTE* CTmsResTimecode::GetMediaData(BYTE* block) {
    CCriticalSectionLock lock(m_cs);
    std::memset(block, 0, kMediaDataSize);
    Put32(block, 0, (m_previousStatus.recordTimecode & kDropFrameBit) == 0 ? 1 : 0);
    Put32(block, 4, static_cast<std::int32_t>(kNoTimecode));
    Put32(block, 8, static_cast<std::int32_t>(kNoTimecode));
    Put32(block, 32, m_encodeFileType);
    Put32(block, 36, tmsvideo::FrameRate(m_videoFormat));
    Put32(block, 40, 32);
    Put32(block, 44, m_videoFormat);
    return block;
}

HRESULT CTmsResTimecode::AddState(IMovie*, std::int32_t m, std::int32_t p, bool record,
                                  bool boundedRecord, const MediaSegmentInfo& segment,
                                  rts::CStateMessageBuilder& message) {
    rts::TimecodeStateRecord state{};
    state.start = p;
    state.fileCode = segment.fileCode;
    state.mediaPosition = m - segment.start + segment.markIn;
    state.remaining = FieldsLeft(m, record, boundedRecord, segment);
    state.offset = m - segment.start;
    return message.AddTimecodeState(state);
}

HRESULT CTmsResTimecode::AddBlackState(IMovie*, std::int32_t m, std::int32_t p,
                                       rts::CStateMessageBuilder& message,
                                       std::int32_t pastLastSegment, std::int32_t toWindowEnd) {
    rts::TimecodeStateRecord state{};
    state.start = p;
    state.remaining = toWindowEnd;
    state.offset = pastLastSegment;
    return message.AddTimecodeState(state);
}

HRESULT CTmsResTimecode::GetProperty(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTmsResTimecode::GetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        CVariant result;
        switch (PropertyToken(name)) {
            case kCurrentTcInput:
                result = CVariant(m_currentTcInput);
                break;
            case kGenFixedTimecode:
                result = CVariant(static_cast<std::int32_t>(m_genFixedTimecode));
                break;
            case kGenUserBits:
                result = CVariant(m_genUserBits);
                break;
            case kGenMode:
                result = CVariant(m_genMode);
                break;
            case kClockWatcherInput:
                result = CVariant(m_clockWatcherInput);
                break;
            default:
                RaiseNotAvailable(trace, name);
        }
        VariantClear(value);
        CheckHr(trace, result.CopyTo(value));
    });
}

HRESULT CTmsResTimecode::SetProperty(IConfigMgr* configMgr, const std::string& name,
                                     const VARIANT& value, bool persist, bool*) {
    CTmsEntryPoint trace("CTmsResTimecode::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        const std::int32_t token = PropertyToken(name);
        if (token < 0) {
            RaiseCannotSet(trace, name);
        }
        const CVariant given(value);
        switch (token) {
            case kCurrentTcInput: {
                const std::string input =
                    Normalise(given.ToString(), {"Vitc", "Ltc", "AncVitc", "AncLtc"}, "Internal");
                SetConfigAttribute(trace, configMgr, CodecElementPath(), "currentTcInput",
                                   CVariant(input), persist, name);
                m_currentTcInput = input;
                break;
            }
            case kGenFixedTimecode: {
                std::uint32_t word = 0;
                if (value.vt == VT_I4) {
                    word = static_cast<std::uint32_t>(value.lVal);
                } else {
                    const std::string text = given.ToString();
                    CTimecode parsed(tmsvideo::TimecodeFormatCode(m_videoFormat, false));
                    std::string error;
                    if (!parsed.TryParse(text, m_fieldsPerFrame > 0 ? m_fieldsPerFrame : 1,
                                         &error)) {
                        TMS_RAISE(trace, E_INVALIDARG, "%s property '%s' cannot be '%s': %s",
                                  TypeNameUtf8().c_str(), name.c_str(), text.c_str(),
                                  error.c_str());
                    }
                    word = PackTimecode(parsed);
                }
                SetConfigAttribute(trace, configMgr, GeneratorElementPath(), "genFixedTimecode",
                                   CVariant(static_cast<std::int32_t>(word)), persist, name);
                m_genFixedTimecode = word;
                break;
            }
            case kGenUserBits: {
                CVariant bits;
                if (FAILED(VariantChangeType(bits.GetAddress(), &value, 0, VT_I4))) {
                    TMS_RAISE(trace, E_INVALIDARG,
                              "%s property '%s' cannot be '%s': a 32-bit number is expected",
                              TypeNameUtf8().c_str(), name.c_str(), given.ToString().c_str());
                }
                SetConfigAttribute(trace, configMgr, GeneratorElementPath(), "genUserBits", bits,
                                   persist, name);
                m_genUserBits = bits.GetVARIANT().lVal;
                break;
            }
            case kGenMode: {
                const std::string mode = Normalise(
                    given.ToString(), {"FixedStart", "FreeRun", "ClockWatcher"}, "TimeOfDay");
                SetConfigAttribute(trace, configMgr, GeneratorElementPath(), "genMode",
                                   CVariant(mode), persist, name);
                m_genMode = mode;
                break;
            }
            case kClockWatcherInput: {
                const std::string text = given.ToString();
                const std::string input =
                    EqualsNoCase(text, "INTERNAL") || EqualsNoCase(text, "INT") ||
                            EqualsNoCase(text, "GEN")
                        ? "Internal"
                        : Normalise(text, {"Vitc", "Ltc", "AncVitc", "AncLtc"}, "TimeOfDay");
                SetConfigAttribute(trace, configMgr, ClockWatcherElementPath(), "currentTcInput",
                                   CVariant(input), persist, name);
                m_clockWatcherInput = input;
                break;
            }
            default:
                RaiseCannotSet(trace, name);
        }
    });
}

bool CTmsResTimecode::PropertyReachesRts(const std::string& name) const {
    return PropertyToken(name) >= 0;
}

HRESULT CTmsResTimecode::StringToVariant(std::int32_t token, VARIANT* value) {
    CCriticalSectionLock lock(m_statusCs);
    if (token <= kErrorCode) {
        return SharedStatusToVariant(token, m_status.tickCount, m_status.errorCode, value);
    }
    CVariant result;
    switch (token) {
        case kTimecodeMask:
            result = CVariant(static_cast<std::int32_t>(m_status.currentTimecode));
            break;
        case kTimecodeStr:
            result = CVariant(m_timecodeText);
            break;
        case kDropFrame:
            result = CVariant(m_dropFrame);
            break;
        default:
            return S_FALSE;
    }
    VariantClear(value);
    return result.CopyTo(value);
}

HRESULT CTmsResTimecode::PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                                   std::int32_t channelIndex) {
    CTmsEntryPoint trace("CTmsResTimecode::PutStatus %u", static_cast<unsigned>(cycle));
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        unsigned timeOfDay = kNoTimecode;
        unsigned tick = 0;
        shmem.GetTimeOfDay(&timeOfDay);
        shmem.GetTickCount(channelIndex, &tick);
        TmsTimecodeStatus status{};
        if (!shmem.GetTimecodeStatus(channelIndex, &status)) {
            TMS_RAISE(trace, E_FAIL, "GetTimecodeStatus(%d) returned false.", channelIndex);
        }
        {
            CCriticalSectionLock statusLock(m_statusCs);
            m_cycle = cycle;
            m_status = status;
            m_tickCount = tick;
            // Both texts are rebuilt only when their words move: the pass
            // runs every field and must not allocate while nothing changes.
            if (status.currentTimecode != m_timecodeWord || m_timecodeText.empty()) {
                m_timecodeWord = status.currentTimecode;
                m_timecodeText = WordText(m_timecodeWord, m_videoFormat);
            }
            if (timeOfDay != m_timeOfDayWord || m_timeOfDayText.empty()) {
                m_timeOfDayWord = timeOfDay;
                m_timeOfDayText = WordText(m_timeOfDayWord, m_videoFormat);
            }
            // The reported drop-frame flag is the time of day's.
            m_dropFrame = (timeOfDay & kDropFrameBit) != 0;
        }
        if (status.recordCaptured != 0) {
            if (status.recordTimecode != m_recordTimecode) {
                m_recordTimecode = status.recordTimecode;
                m_recordTimecodePosition = status.recordPosition;
            }
            // One frame on, with carry: a plain + 1 on the packed word
            // made frame 30 of a 30-frame second, which no movie takes.
            m_endTimecode = NextFrameWord(m_previousStatus.currentTimecode, m_videoFormat);
        } else if (m_previousStatus.recordCaptured != 0) {
            // The record ended: its end is the frame after the last one seen
            // recording, kept for the context, which hands it to the movie
            // when this same pass reports the port idle.
            m_recordTimecode = kNoTimecode;
            m_endTimecode = NextFrameWord(m_previousStatus.currentTimecode, m_videoFormat);
        }
        m_previousStatus = status;
    });
}

HRESULT CTmsResTimecode::PublishStatus(CChanAccess& access) {
    CCriticalSectionLock lock(m_statusCs);
    std::uint8_t* block = access.StatusBlock();
    if (block == nullptr) {
        return S_FALSE;
    }
    const std::size_t slot = NextRingSlot(access, block, kRingIndex);
    Put16(block, kCycleRing + 2 * slot, m_cycle);
    Put32(block, kTimecodeRing + 4 * slot, static_cast<std::int32_t>(m_timecodeWord));
    WriteWideField(block, kTimecodeText + 2 * kTextChars * slot, kTextChars, m_timecodeText);
    Put32(block, kTimeOfDayRing + 4 * slot, static_cast<std::int32_t>(m_timeOfDayWord));
    WriteWideField(block, kTimeOfDayText + 2 * kTextChars * slot, kTextChars, m_timeOfDayText);
    Put32(block, kTickCount, static_cast<std::int32_t>(m_tickCount));
    return S_OK;
}

void CTmsResTimecode::EndTimecodeToMovie(CEntryPoint& trace, IMovie* movie, std::uint32_t end) {
    TMS_CHECK_COM(trace, movie->SetEndTimecode(static_cast<long>(static_cast<std::int32_t>(end))));
}

HRESULT CTmsResTimecode::HandleRecordUpdate(IMovie* movie, std::int32_t recordOrigin) {
    CTmsEntryPoint trace("CTmsResTimecode::HandleRecordUpdate");
    return TMS_ERROR_FRAME(trace, [&] {
        if (movie == nullptr) {
            return;
        }
        std::uint32_t record = kNoTimecode, end = kNoTimecode;
        std::int32_t position = 0;
        bool stamp = false;
        {
            CCriticalSectionLock lock(m_cs);
            record = m_recordTimecode;
            end = m_endTimecode;
            position = m_recordTimecodePosition;
            if (record != m_lastWrittenRecordTimecode) {
                m_lastWrittenRecordTimecode = record;
                stamp = true;
            }
        }
        if (stamp) {
            unsigned short segment = 0;
            TMS_CHECK_COM(trace, movie->GetSegmentAtPosition(m_trackType, m_resourceNumber,
                                                             position - recordOrigin, &segment));
            if (segment != 0) {
                BYTE block[kMediaDataSize] = {};
                GetMediaData(block);
                Put32(block, 4, static_cast<std::int32_t>(record));
                TMS_CHECK_COM(trace, movie->SetSegmentMediaData(m_trackType, m_resourceNumber,
                                                                segment, 1, sizeof block, block));
            }
        }
        EndTimecodeToMovie(trace, movie, end);
    });
}

HRESULT CTmsResTimecode::HandlePortStateChange(IMovie* movie, std::uint16_t, std::int32_t,
                                               TmsPortState oldState, TmsPortState newState) {
    CTmsEntryPoint trace("CTmsResTimecode::HandlePortStateChange");
    return TMS_ERROR_FRAME(trace, [&] {
        if (oldState == newState) {
            return;
        }
        std::uint32_t end = kNoTimecode;
        {
            CCriticalSectionLock lock(m_cs);
            end = m_endTimecode;
            m_lastWrittenRecordTimecode = kNoTimecode;
            if (oldState == TmsShuttleRecord) {
                // Handed on once: a later record the RTS reports no capture
                // for must not end at this one's timecode.
                m_endTimecode = kNoTimecode;
            }
        }
        if (oldState == TmsShuttleRecord && newState == TmsIdle && movie != nullptr &&
            IsAssignedForRecord()) {
            EndTimecodeToMovie(trace, movie, end);
        }
    });
}

std::string CTmsResTimecode::CurrentTcInput() const {
    CCriticalSectionLock lock(m_cs);
    return m_currentTcInput;
}

std::string CTmsResTimecode::GeneratorMode() const {
    CCriticalSectionLock lock(m_cs);
    return m_genMode;
}

std::uint32_t CTmsResTimecode::FixedTimecode() const {
    CCriticalSectionLock lock(m_cs);
    return m_genFixedTimecode;
}

std::string CTmsResTimecode::ClockWatcherInput() const {
    CCriticalSectionLock lock(m_cs);
    return m_clockWatcherInput;
}

std::uint32_t CTmsResTimecode::TimecodeWord() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_timecodeWord;
}

std::uint32_t CTmsResTimecode::TimeOfDayWord() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_timeOfDayWord;
}

std::string CTmsResTimecode::TimecodeText() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_timecodeText;
}

std::string CTmsResTimecode::TimeOfDayText() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_timeOfDayText;
}

std::uint32_t CTmsResTimecode::RecordTimecode() const {
    CCriticalSectionLock lock(m_cs);
    return m_recordTimecode;
}
