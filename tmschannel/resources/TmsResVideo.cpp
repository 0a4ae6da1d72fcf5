#include "tmschannel/resources/TmsResVideo.h"

#include "tmschannel/context/TrackMapping.h"

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/configmgr/IConfigMgr.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/TrackMapping.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ByteField.h"

#include <cmath>
#include <cstring>

using namespace tmsvideo;
using bytefield::Put16;
using bytefield::Put32;

namespace {

// Status region of the video resources in the channel's status block.
constexpr std::size_t kCycleRing = 0x1777C;      // u16 per slot
constexpr std::size_t kRingIndex = 0x177B8;      // advanced by IncrementIndex
constexpr std::size_t kFieldSizeRing = 0x177BC;  // u32 per slot
constexpr std::size_t kPixCodingRing = 0x17834;  // 36 wide characters per slot

enum StatusToken : std::int32_t {
    kVideoFormat,
    kVideoFormatStr,
    kFieldsPerFrame,
    kTickCount,
    kErrorCode,
    kLastPlayedPos,
    kFieldSize,
    kPixCoding,
};

enum PropertyToken : std::int32_t {
    kVideoSource,
    kCompression,
    kDataRate,
    kChroma,
    kOpenGop,
    kPPerI,
    kBPerP,
    kPixStructure,
    kStillPlayMode,
    kAspectRatio,
    kEncodeFileType,
    kTrackType,
    kMediaData,
    kInputLabel,
    kHdInput,
    kDefaultAfd,
    kPropertyCount,
};

bool IsSdFormat(std::int32_t format) {
    return format == 0 || format == 1;
}

}  // namespace

CTmsResVideo::CTmsResVideo(std::int32_t resourceNumber) : CTmsResource(resourceNumber) {
    m_typeName = u"video";
    m_statusNames = {{"videoformat", kVideoFormat},       {"videoformatstr", kVideoFormatStr},
                     {"fieldsperframe", kFieldsPerFrame}, {"tickcount", kTickCount},
                     {"errorcode", kErrorCode},           {"lastplayedpos", kLastPlayedPos},
                     {"fieldsize", kFieldSize},           {"pixcoding", kPixCoding}};
    m_propertyNames = {{"videosource", kVideoSource},
                       {"compression", kCompression},
                       {"datarate", kDataRate},
                       {"chroma", kChroma},
                       {"opengop", kOpenGop},
                       {"ppixperipix", kPPerI},
                       {"bpixperippix", kBPerP},
                       {"pixstructure", kPixStructure},
                       {"stillplaymode", kStillPlayMode},
                       {"aspectratio", kAspectRatio},
                       {"encodefiletype", kEncodeFileType},
                       {"tracktype", kTrackType},
                       {"mediadata", kMediaData},
                       {"inputlabel", kInputLabel},
                       {"hdinput", kHdInput},
                       {"defaultafd", kDefaultAfd}};
}

CTmsResVideo::~CTmsResVideo() = default;

bool CTmsResVideo::IsMpegFamily() const {
    return m_compression == "Mpeg" || m_compression == "Xdcam" || m_compression == "Xdcam422" ||
           m_compression == "XdcamEx";
}

std::string CTmsResVideo::CodecElementPath() const {
    return ComponentElementPath("VideoCodec", "Video", "VideoCodecComponent");
}

HRESULT CTmsResVideo::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResVideo::InitFromConfig");
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, CTmsResource::InitFromConfig(document, element));
        CCriticalSectionLock lock(m_cs);
        CConfigReader read(trace);
        read.Text(element, "VideoInputComponent/@id", &m_inputId);
        read.Text(element, "VideoCodecComponent/@id", &m_codecId);
        read.Text(element, "VideoOutputComponent/@id", &m_outputId);
        const std::string input = FormatText("//VideoInput[@id=\"%s\"]", m_inputId.c_str());
        const std::string codec = FormatText("//VideoCodec[@id=\"%s\"]", m_codecId.c_str());
        const std::string output = FormatText("//VideoOutput[@id=\"%s\"]", m_outputId.c_str());
        read.Text(document, input + "/@selectedInput", &m_videoSource);
        std::string text;
        if (read.Text(document, input + "/@videoInputFormat", &text)) {
            m_inputFormat = FormatFromName(text, 255);
        }
        read.Text(document, codec + "/@compressionFormat", &m_compression);
        read.Text(document, codec + "/@aspectRatio", &m_aspectRatio);
        if (!IsSdFormat(m_inputFormat) && m_inputFormat != 27 && m_inputFormat != 28) {
            m_aspectRatio = "16:9";
        }
        read.Text(document, codec + (IsSdFormat(m_inputFormat) ? "/@defaultAfd" : "/@defaultAfdHd"),
                  &m_defaultAfd);
        if (m_compression.find("Xdcam") != std::string::npos) {
            m_openGop = false;
            m_bPerP = 2;
            if (m_compression == "Xdcam") {
                m_chroma = "4_2_0";
                read.Float(document, codec + "/Xdcam/@dataRate", &m_dataRate);
                if (m_dataRate == 25.0f) {
                    m_profileLevel = "MP@H14";
                } else if (m_dataRate == 35.0f) {
                    m_profileLevel = "MP@HL";
                }
            } else if (m_compression == "Xdcam422") {
                m_chroma = "4_2_2";
                m_dataRate = 50.0f;
                m_profileLevel = "422P@HL";
            } else if (m_compression == "XdcamEx") {
                m_chroma = "4_2_0";
                m_dataRate = 35.0f;
                m_profileLevel = "MP@HL";
            }
            if (m_inputFormat == 2 || m_inputFormat == 9 || m_inputFormat == 14) {
                m_pPerI = 3;
            } else if (m_inputFormat == 10) {
                m_pPerI = 4;
            }
        } else {
            read.Float(document,
                       codec + (m_compression == "D10" ? "/D10/@dataRate" : "/Mpeg/@dataRate"),
                       &m_dataRate);
            read.Text(document, codec + "/Mpeg/@chromaFormat", &m_chroma);
            read.Bool(document, codec + "/Mpeg/@openGop", &m_openGop);
            read.Long(document, codec + "/Mpeg/@pPixPerIPix", &m_pPerI);
            read.Long(document, codec + "/Mpeg/@bPixPerPPix", &m_bPerP);
        }
        read.Text(document, output + "/@stillPlayMode", &m_stillPlayMode);
        if (read.Node(document, codec + "/Mpeg") != nullptr) {
            read.Text(document, codec + "/Mpeg/@profileLevel", &m_profileLevel);
            m_capabilities1 |= 0x8000;
            if (m_profileLevel == "MP@HL" || m_profileLevel == "422P@HL") {
                m_capabilities1 |= 0x800 | (m_videoFormat == 1 ? 0x200u : 0x400u);
            }
        }
        if (read.Node(document, codec + "/Dv25") != nullptr) {
            m_capabilities1 |= 0x1000;
        }
        if (read.Node(document, codec + "/Dv50") != nullptr) {
            m_capabilities1 |= 0x2000;
        }
        if (m_compression == "Dv25" || m_compression == "Dvcam") {
            m_trackType = m_encodeFileType = 5;
            m_dataRate = 25.0f;
        } else if (m_compression == "Dv50") {
            m_trackType = m_encodeFileType = 6;
            m_dataRate = 50.0f;
        } else if (m_compression == "Mpeg" || m_compression == "D10" || m_compression == "Xdcam" ||
                   m_compression == "Xdcam422" || m_compression == "XdcamEx") {
            m_trackType = m_encodeFileType = IsSdFormat(m_inputFormat) ? 4 : 7;
        } else {
            m_trackType = m_encodeFileType = 0;
            m_dataRate = 0.0f;
            trace.LogMsg("Unknown video compression type: '%s'", m_compression.c_str());
        }
    });
    if (SUCCEEDED(hr)) {
        ReportCreated(gfsResVideoCreated, gfsResVideoDestroyed);
    }
    return hr;
}

std::int32_t CTmsResVideo::GetFieldGranularity() {
    CCriticalSectionLock lock(m_cs);
    if (EqualsNoCase(m_compression, "Mpeg") || m_compression == "Xdcam" ||
        m_compression == "Xdcam422" || m_compression == "XdcamEx") {
        return (m_pPerI * (1 + m_bPerP) + 1 + m_bPerP) * 2;
    }
    return 2;
}

std::int32_t CTmsResVideo::GetBytesPerSecond() {
    CCriticalSectionLock lock(m_cs);
    if (m_compression == "Dv25" || m_compression == "Dvcam") {
        return m_videoFormat == 0 ? 3596400 : m_videoFormat == 1 ? 3600000 : 0;
    }
    if (m_compression == "Dv50") {
        return m_videoFormat == 0 ? 7192800 : m_videoFormat == 1 ? 7200000 : 0;
    }
    // Rounded to the nearest whole number, as the VARIANT conversion does.
    const auto megabits = static_cast<std::int64_t>(std::nearbyint(m_dataRate));
    return static_cast<std::int32_t>(megabits * 1000000 / 8);
}

std::int32_t CTmsResVideo::GetMediaFileType(std::int32_t fileType) {
    switch (fileType) {
        case 4:
            return m_videoFormat == 1 ? 12 : 11;
        case 5:
            return m_videoFormat == 0 ? 13 : 14;
        case 6:
            return m_videoFormat == 0 ? 15 : 16;
        case 7:
            return 20;
        default:
            return 2;
    }
}

std::int32_t CTmsResVideo::GetMappedTrackNum(const ITrackMapping* context, IMovie*, bool) {
    return (context != nullptr ? context->MappedVideoOffset() : 0) + ResourceNumber();
}

BYTE* CTmsResVideo::GetMediaData(BYTE* block) {
    CCriticalSectionLock lock(m_cs);
    std::memset(block, 0, kMediaDataSize);
    const bool mpeg = IsMpegFamily();
    const bool d10 = m_compression == "D10";
    const std::uint16_t aspect = m_aspectRatio == "16:9" ? 128 : 64;
    if (mpeg) {
        Put32(block, 0, m_chroma == "4_2_2" ? 2 : 1);
    } else if (d10) {
        Put32(block, 0, 2);
    } else if (m_compression == "Dv25" || m_compression == "Dv50") {
        Put16(block, 0, aspect);
    } else if (m_compression == "Dvcam") {
        Put16(block, 0, static_cast<std::uint16_t>(32 + aspect));
    }
    if (mpeg || d10) {
        Put32(block, 4, m_openGop ? 0 : 1);
        Put32(block, 12, 1);
        Put32(block, 16, mpeg ? m_pPerI : 0);
        Put32(block, 20, mpeg ? m_bPerP : 0);
        Put16(block, 24, static_cast<std::uint16_t>(2 + aspect + (d10 ? 4 : 0)));
    }
    Put32(block, 32, m_encodeFileType);
    Put32(block, 36, FrameRate(m_inputFormat));
    Put32(block, 40, static_cast<std::int32_t>(static_cast<double>(m_dataRate) * 1000000.0));
    std::int32_t format = m_inputFormat;
    if (m_compression == "Xdcam") {
        format = format == 10 ? 24 : format == 9 ? 26 : format;
    }
    Put32(block, 44, format);
    return block;
}

void CTmsResVideo::GetDefaultAfd(std::uint8_t* code, bool* widescreen) {
    CCriticalSectionLock lock(m_cs);
    GetDefaultAfdLocked(code, widescreen);
}

void CTmsResVideo::GetDefaultAfdLocked(std::uint8_t* code, bool* widescreen) {
    *code = 0;
    *widescreen = false;
    if (m_defaultAfd.empty()) {
        return;
    }
    for (std::size_t i = 0; i < 4 && i < m_defaultAfd.size(); ++i) {
        if (m_defaultAfd[i] == '1') {
            *code = static_cast<std::uint8_t>(*code | (1u << (3 - i)));
        }
    }
    if (m_defaultAfd.size() > 4 && (m_defaultAfd[4] == 'w' || m_defaultAfd[4] == 'W')) {
        *widescreen = true;
    } else {
        *widescreen = !IsSdFormat(m_inputFormat);
    }
}

HRESULT CTmsResVideo::GetProperty(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTmsResVideo::GetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        const std::int32_t token = PropertyToken(name);
        CVariant result;
        switch (token) {
            case kVideoSource:
                result = CVariant(m_videoSource);
                break;
            case kCompression:
                result = CVariant(m_compression);
                break;
            case kDataRate:
                result = CVariant(m_dataRate);
                break;
            case kChroma:
                result = CVariant(m_chroma);
                break;
            case kOpenGop:
                result = CVariant(m_openGop);
                break;
            case kPPerI:
                result = CVariant(m_pPerI);
                break;
            case kBPerP:
                result = CVariant(m_bPerP);
                break;
            case kPixStructure:
                result = CVariant("");
                break;
            case kStillPlayMode:
                result = CVariant(m_stillPlayMode);
                break;
            case kAspectRatio:
                result = CVariant(m_aspectRatio);
                break;
            case kEncodeFileType:
                result = CVariant(m_encodeFileType);
                break;
            case kTrackType:
                result = CVariant(m_trackType);
                break;
            case kMediaData:
                CheckHr(trace, GetMediaDataVariant(result.GetAddress()));
                break;
            case kInputLabel: {
                std::string label;
                GetLabel(&label);
                result = CVariant(label);
                break;
            }
            case kHdInput:
                result = CVariant(!IsSdFormat(m_inputFormat));
                break;
            case kDefaultAfd:
                result = CVariant(m_defaultAfd);
                break;
            default:
                RaiseNotAvailable(trace, name);
        }
        VariantClear(value);
        CheckHr(trace, result.CopyTo(value));
    });
}

HRESULT CTmsResVideo::SetProperty(IConfigMgr* configMgr, const std::string& name,
                                  const VARIANT& value, bool persist, bool* refresh) {
    CTmsEntryPoint trace("CTmsResVideo::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        const std::int32_t token = PropertyToken(name);
        if (token != kAspectRatio && token != kDefaultAfd) {
            RaiseCannotSet(trace, name);
        }
        const std::string text = CVariant(value).ToString();
        // Both take a closed set of values; anything else would be stored as
        // something the operator did not ask for. Empty is the aspect ratio
        // of a codec never configured, and puts that back.
        if (token == kAspectRatio && text != "16:9" && text != "4:3" && !text.empty()) {
            TMS_RAISE(trace, E_INVALIDARG,
                      "%s property '%s' cannot be '%s': the values are 16:9, 4:3 and empty",
                      TypeNameUtf8().c_str(), name.c_str(), text.c_str());
        }
        if (token == kDefaultAfd && !IsDefaultAfdText(text)) {
            TMS_RAISE(trace, E_INVALIDARG,
                      "%s property '%s' cannot be '%s': the values are four digits 0 or 1 "
                      "(the AFD code, most significant first), optionally followed by w or W "
                      "(widescreen), or empty",
                      TypeNameUtf8().c_str(), name.c_str(), text.c_str());
        }
        const std::string path = CodecElementPath();
        auto set = [&](const char* attribute, const std::string& v) {
            SetConfigAttribute(trace, configMgr, path, attribute, CVariant(v), persist, name);
        };
        if (token == kAspectRatio) {
            set("aspectRatio", text);
        } else if (IsSdFormat(m_inputFormat)) {
            set("defaultAfd", text);
            set("aspectRatio",
                text.size() > 4 && (text[4] == 'w' || text[4] == 'W') ? "16:9" : "4:3");
        } else {
            set("defaultAfdHd", text);
        }
    });
}

bool CTmsResVideo::IsDefaultAfdText(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    if (text.size() != 4 && text.size() != 5) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (text[i] != '0' && text[i] != '1') {
            return false;
        }
    }
    return text.size() == 4 || text[4] == 'w' || text[4] == 'W';
}

const char* CTmsResVideo::PixCodingName(std::uint32_t coding) {
    switch (coding) {
        case 1:
            return "PixCodingI";
        case 2:
            return "PixCodingP";
        case 3:
            return "PixCodingB";
        default:
            return "PixCodingNone";
    }
}

HRESULT CTmsResVideo::StringToVariant(std::int32_t token, VARIANT* value) {
    CCriticalSectionLock lock(m_statusCs);
    if (token <= kErrorCode) {
        return SharedStatusToVariant(token, m_videoStatus.tickCount, m_videoStatus.errorCode,
                                     value);
    }
    CVariant result;
    switch (token) {
        case kLastPlayedPos:
            result = CVariant(m_videoStatus.lastPosition);
            break;
        case kFieldSize:
            result = CVariant(static_cast<std::int32_t>(m_videoStatus.fieldSize));
            break;
        case kPixCoding:
            result = CVariant(PixCodingName(m_videoStatus.pixelCoding));
            break;
        default:
            return S_FALSE;
    }
    VariantClear(value);
    return result.CopyTo(value);
}

HRESULT CTmsResVideo::PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                                std::int32_t channelIndex) {
    CTmsEntryPoint trace("CTmsResVideo::PutStatus %u", static_cast<unsigned>(cycle));
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        TmsVideoStatus status{};
        if (!shmem.GetVideoStatus(channelIndex, &status)) {
            TMS_RAISE(trace, E_FAIL, "GetVideoStatus(%d) returned false.", channelIndex);
        }
        {
            CCriticalSectionLock statusLock(m_statusCs);
            m_cycle = cycle;
            m_videoStatus = status;
        }
        TmsAncillaryDataStatus anc{};
        if (shmem.GetAncDataStatus(channelIndex, &anc)) {
            std::uint8_t code = 0;
            bool widescreen = false;
            GetDefaultAfdLocked(&code, &widescreen);
            if (anc.afdReceived != 0 && (anc.afd & 0x40) != 0) {
                if ((anc.afd & 0x20) != 0) {
                    m_afdCode = anc.afd & 0x0F;
                    m_widescreen = (anc.afd & 0x10) != 0;
                } else {
                    m_afdCode = code;
                    m_widescreen = widescreen;
                }
                m_afdPosition = status.afdPosition;
            } else if (anc.afdReceived == 0 && m_ancDataStatus.afdReceived != 0) {
                m_afdCode = 0;
                m_lastWrittenAfdCode = 0;
            }
            m_ancDataStatus = anc;
        }
    });
}

HRESULT CTmsResVideo::PublishStatus(CChanAccess& access) {
    CCriticalSectionLock lock(m_statusCs);
    std::uint8_t* block = access.StatusBlock();
    if (block == nullptr) {
        return S_FALSE;
    }
    const std::size_t slot = NextRingSlot(access, block, kRingIndex);
    Put16(block, kCycleRing + 2 * slot, m_cycle);
    Put32(block, kFieldSizeRing + 4 * slot, static_cast<std::int32_t>(m_videoStatus.fieldSize));
    WriteWideField(block, kPixCodingRing + 72 * slot, kNameChars,
                   PixCodingName(m_videoStatus.pixelCoding));
    return S_OK;
}

TmsVideoStatus CTmsResVideo::VideoStatus() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_videoStatus;
}

std::int32_t CTmsResVideo::InputFormat() const {
    CCriticalSectionLock lock(m_cs);
    return m_inputFormat;
}
