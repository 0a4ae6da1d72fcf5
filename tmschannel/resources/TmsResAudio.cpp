#include "tmschannel/resources/TmsResAudio.h"

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/context/TrackMapping.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ByteField.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cmath>
#include <cstring>

using bytefield::Put16;
using bytefield::Put32;
using bytefield::PutDouble;
using bytefield::PutFloat;

namespace {

// Status regions of the audio resources in the channel's status block, one
// per resource number n.
constexpr std::size_t kRingIndex = 0x18470;    // + 4n, advanced by IncrementIndex
constexpr std::size_t kCycleRing = 0x180B0;    // + 60n, u16 per slot
constexpr std::size_t kGain1Ring = 0x184B0;    // + 120n, float per slot
constexpr std::size_t kGain2Ring = 0x18C30;    // + 120n, float per slot
constexpr std::size_t kLevelRing = 0x193B0;    // + 120n, float per slot
constexpr std::int32_t kNoTrack = 0x7FFFFFFF;  // plays silence
constexpr float kSilenceDb = -40.0f;
constexpr std::uint16_t kUnityGain = 0x1000;

enum StatusToken : std::int32_t {
    kVideoFormat,
    kVideoFormatStr,
    kFieldsPerFrame,
    kTickCount,
    kErrorCode,
    kInputGainStatus,
    kOutputGainStatus,
    kLevel,
};

enum PropertyToken : std::int32_t {
    kInputGain,
    kOutputGain,
    kEncodeFileType,
    kTrackType,
    kMediaData,
    kInputLabel,
    kInputTag,
    kPrimaryOutputTag,
    kSecondaryOutputTag,
    kPlaySilence,
    kPropertyCount,
};

std::int32_t BitsPerSample(const std::string& format) {
    return format == "16bit" || format == "Ac3" ? 16 : 24;
}

}  // namespace

float CTmsResAudio::GainToDb(std::uint16_t raw) {
    return raw == 0 ? kSilenceDb : static_cast<float>(20.0 * std::log10(raw / 4096.0));
}

bool CTmsResAudio::DbToGain(float db, std::uint16_t* raw) {
    if (!std::isfinite(db)) {
        return false;
    }
    const double gain = std::pow(10.0, static_cast<double>(db) / 20.0) * 4096.0;
    if (gain >= 65536.0) {
        return false;
    }
    *raw = static_cast<std::uint16_t>(gain);
    return true;
}

float CTmsResAudio::LevelToDb(std::uint16_t raw) {
    return raw == 0 ? kSilenceDb : static_cast<float>(20.0 * std::log10(raw / 32767.0) + 24.0);
}

std::uint16_t CTmsResAudio::StateGain(double factor) {
    // A factor below zero (or none at all) has no meaning as a gain: the
    // state plays silent rather than at the cap.
    if (!(factor > 0.0)) {
        return 0;
    }
    const double gain = 4096.0 * factor;
    return gain >= 0x7FFF ? 0x7FFF : static_cast<std::uint16_t>(gain);
}

CTmsResAudio::CTmsResAudio(std::int32_t resourceNumber) : CTmsResource(resourceNumber) {
    m_typeName = u"audio";
    m_trackType = 2;
    m_encodeFileType = 2;
    m_statusNames = {{"videoformat", kVideoFormat},       {"videoformatstr", kVideoFormatStr},
                     {"fieldsperframe", kFieldsPerFrame}, {"tickcount", kTickCount},
                     {"errorcode", kErrorCode},           {"inputgain", kInputGainStatus},
                     {"outputgain", kOutputGainStatus},   {"level", kLevel}};
    m_propertyNames = {{"inputgain", kInputGain},
                       {"outputgain", kOutputGain},
                       {"encodefiletype", kEncodeFileType},
                       {"tracktype", kTrackType},
                       {"mediadata", kMediaData},
                       {"inputlabel", kInputLabel},
                       {"inputtag", kInputTag},
                       {"primaryoutputtag", kPrimaryOutputTag},
                       {"secondaryoutputtag", kSecondaryOutputTag},
                       {"playsilence", kPlaySilence}};
}

CTmsResAudio::~CTmsResAudio() = default;

std::string CTmsResAudio::InputElementPath() const {
    return ComponentElementPath("AudioInput", "Audio", "AudioInputComponent");
}

std::string CTmsResAudio::OutputElementPath() const {
    return ComponentElementPath("AudioOutput", "Audio", "AudioOutputComponent");
}

HRESULT CTmsResAudio::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResAudio::InitFromConfig");
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, CTmsResource::InitFromConfig(document, element));
        CCriticalSectionLock lock(m_cs);
        CConfigReader read(trace);
        read.Text(element, "AudioInputComponent/@id", &m_inputId);
        read.Text(element, "AudioOutputComponent/@id", &m_outputId);
        const std::string input = FormatText("//AudioInput[@id=\"%s\"]", m_inputId.c_str());
        const std::string output = FormatText("//AudioOutput[@id=\"%s\"]", m_outputId.c_str());
        // A gain the configuration does not give is none: silence. Raw
        // values are taken as 16 bits, as the RTS takes them.
        std::int32_t raw = 0;
        read.Long(document, input + "/@gain", &raw);
        m_inputGainRaw = static_cast<std::uint16_t>(raw);
        std::string selected;
        read.Text(document, input + "/@selectedInput", &selected);
        m_audioFormat = "16bit";
        if (!selected.empty()) {
            read.Text(document,
                      FormatText("%s/%s/@audioInputFormat", input.c_str(), selected.c_str()),
                      &m_audioFormat);
        }
        m_bitsPerSample = BitsPerSample(m_audioFormat);
        raw = 0;
        read.Long(document, output + "/@gain", &raw);
        m_outputGainRaw = static_cast<std::uint16_t>(raw);
        m_inputGainDb = GainToDb(m_inputGainRaw);
        m_outputGainDb = GainToDb(m_outputGainRaw);
        m_inputTag.clear();
        read.Text(element, "AudioInputComponent/@tag", &m_inputTag);
        RefreshTags(trace, document);
    });
    if (SUCCEEDED(hr)) {
        ReportCreated(gfsResAudioCreated, gfsResAudioDestroyed);
    }
    return hr;
}

HRESULT CTmsResAudio::RefreshProperties(IXMLDOMDocument2* document) {
    CTmsEntryPoint trace("CTmsResAudio::RefreshProperties");
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        RefreshTags(trace, document);
    });
}

void CTmsResAudio::RefreshTags(CEntryPoint& trace, IXMLDOMDocument2* document) {
    m_tagOccurrence = -1;
    m_primaryTag.clear();
    m_secondaryTag.clear();
    m_playSilence = false;
    if (m_outputId.empty()) {
        return;
    }
    CConfigReader read(trace);
    const auto outputs = read.All(read.Nodes(
        document,
        FormatText("//Channel[@channelIndex=\"%d\"]/Audio/AudioOutputComponent", m_channelIndex)));
    std::size_t mine = outputs.size();
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        std::string id;
        if (read.Text(outputs[i], "@id", &id) && id == m_outputId) {
            std::string primary, secondary;
            bool silence = false;
            read.Text(outputs[i], "@primaryTag", &primary);
            read.Text(outputs[i], "@secondaryTag", &secondary);
            read.Bool(outputs[i], "@playSilence", &silence);
            if (!primary.empty() || !secondary.empty()) {
                m_primaryTag = primary;
                m_secondaryTag = secondary;
                m_playSilence = silence;
                m_tagOccurrence = 0;
                mine = i;
            }
            break;
        }
    }
    // Outputs that carry the same tags directly before this one take the
    // movie's earlier tracks with those tags.
    for (std::size_t i = m_tagOccurrence == 0 ? mine : 0; i > 0; --i) {
        std::string primary, secondary;
        read.Text(outputs[i - 1], "@primaryTag", &primary);
        read.Text(outputs[i - 1], "@secondaryTag", &secondary);
        if (primary != m_primaryTag || secondary != m_secondaryTag) {
            break;
        }
        ++m_tagOccurrence;
    }
}

void CTmsResAudio::GetLabel(std::string* label) {
    CCriticalSectionLock lock(m_cs);
    *label = m_inputTag;
}

BYTE* CTmsResAudio::GetMediaData(BYTE* block) {
    CCriticalSectionLock lock(m_cs);
    std::memset(block, 0, kMediaDataSize);
    PutDouble(block, 0, 1.0);  // gain factor
    PutDouble(block, 8, 1.0);
    Put32(block, 24,
          m_audioFormat == "Ac3"      ? 0x1000
          : m_audioFormat == "DolbyE" ? 0x2000
          : m_audioFormat == "Data"   ? 0x4000
                                      : 0);
    Put32(block, 32, m_encodeFileType);
    Put32(block, 36, 48000);
    Put32(block, 40, m_bitsPerSample);
    Put32(block, 44, m_videoFormat);
    return block;
}

std::int32_t CTmsResAudio::GetBytesPerSecond() {
    CCriticalSectionLock lock(m_cs);
    return m_bitsPerSample * 48000 / 8;
}

std::int32_t CTmsResAudio::GetMediaFileType(std::int32_t) {
    CCriticalSectionLock lock(m_cs);
    if (m_audioFormat == "24bit") {
        return 9;
    }
    if (m_audioFormat == "Ac3") {
        return 17;
    }
    if (m_audioFormat == "DolbyE") {
        return 18;
    }
    if (m_audioFormat == "Data") {
        return 19;
    }
    return 10;
}

std::int32_t CTmsResAudio::GetMappedTrackNum(const ITrackMapping* context, IMovie* movie,
                                             bool record) {
    std::string primary, secondary;
    std::int32_t occurrence = -1;
    bool silence = false;
    {
        CCriticalSectionLock lock(m_cs);
        primary = m_primaryTag;
        secondary = m_secondaryTag;
        occurrence = m_tagOccurrence;
        silence = m_playSilence;
    }
    if (!record && occurrence != -1 && movie != nullptr) {
        auto byTag = [&](const std::string& tag) {
            long track = -1;
            if (tag.empty() ||
                FAILED(movie->GetTrackByLabel(m_trackType, 0, CBstr(tag), occurrence, &track))) {
                return -1L;
            }
            return track;
        };
        long track = byTag(primary);
        if (track < 0) {
            track = byTag(secondary);
        }
        if (track >= 0) {
            return static_cast<std::int32_t>(track);
        }
        if (silence) {
            return kNoTrack;
        }
    }
    return (context != nullptr ? context->MappedAudioOffset() : 0) + ResourceNumber();
}

HRESULT CTmsResAudio::HandlePortStateChange(IMovie* movie, std::uint16_t, std::int32_t,
                                            TmsPortState oldState, TmsPortState newState) {
    CTmsEntryPoint trace("CTmsResAudio::HandlePortStateChange");
    return TMS_ERROR_FRAME(trace, [&] {
        if (oldState != newState && newState == TmsShuttleRecord && movie != nullptr &&
            IsAssignedForRecord()) {
            WriteMediaDataToLastSegment(trace, movie);
        }
    });
}

HRESULT CTmsResAudio::AddState(IMovie*, std::int32_t m, std::int32_t p, bool record,
                               bool boundedRecord, const MediaSegmentInfo& segment,
                               rts::CStateMessageBuilder& message) {
    rts::AudioStateRecord state{};
    state.start = p;
    state.fileCode = segment.fileCode;
    state.mediaPosition = m - segment.start + segment.markIn;
    state.remaining = FieldsLeft(m, record, boundedRecord, segment);
    state.offset = m - segment.start;
    // A block nobody described (no encode file type: a segment made
    // without media data) carries no gain factor; it plays at unity.
    const bool described = bytefield::Get32(segment.mediaData, 32) != 0;
    state.gain = static_cast<std::int16_t>(
        record || !described ? kUnityGain : StateGain(bytefield::GetDouble(segment.mediaData, 0)));
    return message.AddAudioState(state);
}

HRESULT CTmsResAudio::AddBlackState(IMovie*, std::int32_t m, std::int32_t p,
                                    rts::CStateMessageBuilder& message,
                                    std::int32_t pastLastSegment, std::int32_t toWindowEnd) {
    rts::AudioStateRecord state{};
    state.start = p;
    state.remaining = toWindowEnd;
    state.offset = pastLastSegment;
    state.gain = static_cast<std::int16_t>(kUnityGain);
    return message.AddAudioState(state);
}

HRESULT CTmsResAudio::GetProperty(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTmsResAudio::GetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        const std::int32_t token = PropertyToken(name);
        CVariant result;
        if (token == kMediaData) {
            CheckHr(trace, GetMediaDataVariant(result.GetAddress()));
        } else {
            CCriticalSectionLock lock(m_cs);
            switch (token) {
                case kInputGain:
                    result = CVariant(m_inputGainDb);
                    break;
                case kOutputGain:
                    result = CVariant(m_outputGainDb);
                    break;
                case kEncodeFileType:
                    result = CVariant(m_encodeFileType);
                    break;
                case kTrackType:
                    result = CVariant(m_trackType);
                    break;
                case kInputLabel:
                case kInputTag:
                    result = CVariant(m_inputTag);
                    break;
                case kPrimaryOutputTag:
                    result = CVariant(m_primaryTag);
                    break;
                case kSecondaryOutputTag:
                    result = CVariant(m_secondaryTag);
                    break;
                case kPlaySilence:
                    result = CVariant(m_playSilence);
                    break;
                default:
                    RaiseNotAvailable(trace, name);
            }
        }
        VariantClear(value);
        CheckHr(trace, result.CopyTo(value));
    });
}

HRESULT CTmsResAudio::SetProperty(IConfigMgr* configMgr, const std::string& name,
                                  const VARIANT& value, bool persist, bool* refresh) {
    CTmsEntryPoint trace("CTmsResAudio::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        const std::int32_t token = PropertyToken(name);
        const CVariant given(value);
        auto refuse = [&](const char* why) {
            TMS_RAISE(trace, E_INVALIDARG, "%s property '%s' cannot be '%s': %s",
                      TypeNameUtf8().c_str(), name.c_str(), given.ToString().c_str(), why);
        };
        auto needComponent = [&](const std::string& id, const char* component) {
            // Nothing to keep the value in: saying so beats a set that
            // silently does nothing.
            if (!HasComponent(id)) {
                TMS_RAISE(trace, HR(0x8004300F),
                          "%s property '%s' cannot be set: %s[%s] has no %s in the "
                          "configuration",
                          TypeNameUtf8().c_str(), name.c_str(), TypeNameUtf8().c_str(),
                          Utf16ToUtf8(m_indexText).c_str(), component);
            }
        };
        switch (token) {
            case kInputGain:
            case kOutputGain: {
                const bool in = token == kInputGain;
                needComponent(in ? m_inputId : m_outputId,
                              in ? "AudioInputComponent" : "AudioOutputComponent");
                CVariant db;
                std::uint16_t raw = 0;
                if (FAILED(VariantChangeType(db.GetAddress(), &value, 0, VT_R4)) ||
                    !DbToGain(db.GetVARIANT().fltVal, &raw)) {
                    refuse("a gain in dB up to +24.08 is expected");
                }
                SetConfigAttribute(trace, configMgr, in ? InputElementPath() : OutputElementPath(),
                                   "gain", CVariant(static_cast<std::int32_t>(raw)), persist, name);
                (in ? m_inputGainRaw : m_outputGainRaw) = raw;
                (in ? m_inputGainDb : m_outputGainDb) = db.GetVARIANT().fltVal;
                break;
            }
            case kInputTag: {
                needComponent(m_inputId, "AudioInputComponent");
                const std::string text = given.ToString();
                SetConfigAttribute(
                    trace, configMgr,
                    FormatText("//AudioInputComponent[@id=\"%s\"]", m_inputId.c_str()), "tag",
                    CVariant(text), persist, name);
                m_inputTag = text;
                break;
            }
            case kPrimaryOutputTag:
            case kSecondaryOutputTag: {
                needComponent(m_outputId, "AudioOutputComponent");
                const std::string text = given.ToString();
                SetConfigAttribute(
                    trace, configMgr,
                    FormatText("//AudioOutputComponent[@id=\"%s\"]", m_outputId.c_str()),
                    token == kPrimaryOutputTag ? "primaryTag" : "secondaryTag", CVariant(text),
                    persist, name);
                (token == kPrimaryOutputTag ? m_primaryTag : m_secondaryTag) = text;
                // Every output counts its tag occurrence again.
                *refresh = true;
                break;
            }
            case kPlaySilence: {
                needComponent(m_outputId, "AudioOutputComponent");
                CVariant flag;
                if (FAILED(VariantChangeType(flag.GetAddress(), &value, 0, VT_BOOL))) {
                    refuse("true or false is expected");
                }
                const bool on = flag.GetVARIANT().boolVal != VARIANT_FALSE;
                SetConfigAttribute(
                    trace, configMgr,
                    FormatText("//AudioOutputComponent[@id=\"%s\"]", m_outputId.c_str()),
                    "playSilence", CVariant(on ? "true" : "false"), persist, name);
                m_playSilence = on;
                break;
            }
            default:
                RaiseCannotSet(trace, name);
        }
    });
}

bool CTmsResAudio::PropertyReachesRts(const std::string& name) const {
    const std::int32_t token = PropertyToken(name);
    return token == kInputGain || token == kOutputGain;
}

HRESULT CTmsResAudio::StringToVariant(std::int32_t token, VARIANT* value) {
    CCriticalSectionLock lock(m_statusCs);
    if (token <= kErrorCode) {
        return SharedStatusToVariant(token, m_audioStatus.tickCount, m_audioStatus.errorCode,
                                     value);
    }
    float v = 0.0f;
    switch (token) {
        case kInputGainStatus:
            v = m_reportedGains[0];
            break;
        case kOutputGainStatus:
            v = m_reportedGains[1];
            break;
        case kLevel:
            v = m_level;
            break;
        default:
            return S_FALSE;
    }
    VariantClear(value);
    return CVariant(v).CopyTo(value);
}

HRESULT CTmsResAudio::PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                                std::int32_t channelIndex) {
    CTmsEntryPoint trace("CTmsResAudio::PutStatus %u", static_cast<unsigned>(cycle));
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        TmsAudioStatus status{};
        if (!shmem.GetAudioStatus(channelIndex, m_resourceNumber, &status)) {
            TMS_RAISE(trace, E_FAIL, "GetAudioStatus(%d, %d) returned false.", channelIndex,
                      m_resourceNumber);
        }
        // An output that does not record shows no meters while the channel
        // records or passes its input through.
        bool live = true;
        long active = -1;
        if (!m_assigned && shmem.GetActiveContext(channelIndex, &active) && active >= 0) {
            TmsPortState state = TmsIdle;
            TmsStopMode idle = TmsStopFreeze;
            const int context = static_cast<int>(active);
            if (shmem.GetPortState(channelIndex, context, &state)) {
                live = !(state == TmsCueRecord || state == TmsShuttleRecord ||
                         (state == TmsIdle && shmem.GetIdleMode(channelIndex, context, &idle) &&
                          idle == TmsStopEE));
            }
        }
        CCriticalSectionLock statusLock(m_statusCs);
        m_cycle = cycle;
        m_audioStatus = status;
        if (live) {
            m_level = LevelToDb(static_cast<std::uint16_t>(status.level & 0xFFFF));
            m_reportedGains[0] = GainToDb(status.gainLeft);
            m_reportedGains[1] = GainToDb(status.gainRight);
        } else {
            m_level = m_reportedGains[0] = m_reportedGains[1] = kSilenceDb;
        }
    });
}

HRESULT CTmsResAudio::PublishStatus(CChanAccess& access) {
    CCriticalSectionLock lock(m_statusCs);
    std::uint8_t* block = access.StatusBlock();
    // Resources past the sixteenth have no region to publish into.
    if (block == nullptr || m_resourceNumber < 0 || m_resourceNumber >= kPublishedResources) {
        return S_FALSE;
    }
    const auto n = static_cast<std::size_t>(m_resourceNumber);
    const std::size_t slot = NextRingSlot(access, block, kRingIndex + 4 * n);
    Put16(block, kCycleRing + 60 * n + 2 * slot, m_cycle);
    PutFloat(block, kLevelRing + 120 * n + 4 * slot, m_level);
    PutFloat(block, kGain1Ring + 120 * n + 4 * slot, m_reportedGains[0]);
    PutFloat(block, kGain2Ring + 120 * n + 4 * slot, m_reportedGains[1]);
    return S_OK;
}

TmsAudioStatus CTmsResAudio::AudioStatus() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_audioStatus;
}

float CTmsResAudio::Level() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_level;
}

float CTmsResAudio::InputGainDb() const {
    CCriticalSectionLock lock(m_cs);
    return m_inputGainDb;
}

float CTmsResAudio::OutputGainDb() const {
    CCriticalSectionLock lock(m_cs);
    return m_outputGainDb;
}

std::int32_t CTmsResAudio::TagOccurrence() const {
    CCriticalSectionLock lock(m_cs);
    return m_tagOccurrence;
}

std::string CTmsResAudio::AudioFormat() const {
    CCriticalSectionLock lock(m_cs);
    return m_audioFormat;
}
