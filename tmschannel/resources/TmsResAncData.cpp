#include "tmschannel/resources/TmsResAncData.h"

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/ResourceStatusNames.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cstring>

namespace {

// Status region of the ancillary-data resources in the channel's status block.
constexpr std::size_t kCycleRing = 0x1A404;  // u16 per slot, 30 slots
constexpr std::size_t kRingIndex = 0x1A440;  // advanced by IncrementIndex

// Matched exactly, capitals and all, like every status name.
constexpr std::int32_t kFieldsPerRiffToken = resource_status::kCommonCount;

void Put32(BYTE* block, std::size_t offset, std::uint32_t value) {
    std::memcpy(block + offset, &value, sizeof value);
}

bool EqualsNoCaseUtf16(const std::u16string& a, const std::string& b) {
    return EqualsNoCase(Utf16ToUtf8(a), b);
}

}  // namespace

CTmsResAncData::CTmsResAncData(std::int32_t resourceNumber) : CTmsResource(resourceNumber) {
    m_typeName = u"ancillaryData";
    m_trackType = kTrackType;
    m_encodeFileType = kEncodeFileType;
    resource_status::AddCommonNames(&m_statusNames);
    m_statusNames.emplace("fieldsPerRiff", kFieldsPerRiffToken);
}

CTmsResAncData::~CTmsResAncData() {
    if (m_reported) {
        TmsVfs().ReportResource(m_channelIndex, gfsResAncDataDestroyed);
    }
}

HRESULT CTmsResAncData::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResAncData::InitFromConfig");
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, CTmsResource::InitFromConfig(document, element));
        CCriticalSectionLock lock(m_cs);  // inside the frame: lambdas hide it from the analysis
        CConfigReader read(trace);
        std::string videoInput;
        if (read.Text(document,
                      FormatText("//Channel[@channelIndex=\"%d\"]/Video/VideoInputComponent/@id",
                                 m_channelIndex),
                      &videoInput)) {
            std::string format;
            if (read.Text(
                    document,
                    FormatText("//VideoInput[@id=\"%s\"]/@videoInputFormat", videoInput.c_str()),
                    &format)) {
                m_videoInputFormat = tmsvideo::FormatFromName(format, 255);
            }
        }
        read.Text(document,
                  FormatText("//Channel[@channelIndex=\"%d\"]/@channelType", m_channelIndex),
                  &m_channelType);
        read.Text(element, "AncDataInputComponent/@id", &m_inputId);
        read.Text(element, "AncDataCodecComponent/@id", &m_codecId);
        read.Text(element, "AncDataOutputComponent/@id", &m_outputId);
        read.Long(document,
                  FormatText("//AncDataCodec[@id=\"%s\"]/@fieldsPerRiff", m_codecId.c_str()),
                  &m_fieldsPerRiff);
    });
    if (SUCCEEDED(hr) && !m_reported) {
        TmsVfs().ReportResource(m_channelIndex, gfsResAncDataCreated);
        m_reported = true;
    }
    return hr;
}

bool CTmsResAncData::IsAssignedForRecord() {
    CCriticalSectionLock lock(m_cs);
    return m_channelType == "Player" || m_assigned;
}

bool CTmsResAncData::IsMyXml(IXMLDOMNode* element) {
    if (element == nullptr) {
        return false;
    }
    CBstr name;
    if (FAILED(element->get_nodeName(&name))) {
        return false;
    }
    CCriticalSectionLock lock(m_cs);
    if (!EqualsNoCaseUtf16(m_typeName, name.ToUtf8()) && !EqualsNoCase(name.ToUtf8(), "AncData")) {
        return false;
    }
    CVariant index;
    if (FAILED(element->getAttribute(CBstr("index"), index.GetAddress())) ||
        index.Type() != VT_BSTR) {
        return false;
    }
    return EqualsNoCaseUtf16(m_indexText, CBstr::FromBstr(index.GetVARIANT().bstrVal).ToUtf8());
}

std::int32_t CTmsResAncData::BytesPerSecondLocked() const {
    const std::int32_t riff = m_fieldsPerRiff;
    if (riff < 1) {
        return 0;
    }
    switch (m_videoFormat) {
        case 0:
            // 65,536 bytes x 59.94 fields a second.
            return static_cast<std::int32_t>(3928227.84 / riff);
        case 1:
            return 3276800 / riff;  // 65,536 x 50
        default:
            return 0;
    }
}

std::int32_t CTmsResAncData::GetBytesPerSecond() {
    CCriticalSectionLock lock(m_cs);
    return BytesPerSecondLocked();
}

BYTE* CTmsResAncData::GetMediaData(BYTE* block) {
    CCriticalSectionLock lock(m_cs);
    std::memset(block, 0, kMediaDataSize);
    Put32(block, 32, static_cast<std::uint32_t>(m_encodeFileType));
    Put32(block, 36, static_cast<std::uint32_t>(BytesPerSecondLocked()));
    Put32(block, 40, static_cast<std::uint32_t>(m_fieldsPerRiff));
    Put32(block, 44, static_cast<std::uint32_t>(m_videoFormat));
    return block;
}

HRESULT CTmsResAncData::HandlePortStateChange(IMovie* movie, std::uint16_t, std::int32_t,
                                              TmsPortState oldState, TmsPortState newState) {
    CTmsEntryPoint trace("CTmsResAncData::HandlePortStateChange");
    return TMS_ERROR_FRAME(trace, [&] {
        if (oldState != newState && newState == TmsShuttleRecord && movie != nullptr &&
            IsAssignedForRecord()) {
            WriteMediaDataToLastSegment(trace, movie);
        }
    });
}

HRESULT CTmsResAncData::AddState(IMovie*, std::int32_t m, std::int32_t p, bool record,
                                 bool boundedRecord, const MediaSegmentInfo& segment,
                                 rts::CStateMessageBuilder& message) {
    rts::AncDataStateRecord state{};
    state.start = p;
    state.fileCode = segment.fileCode;  // the upper half stays 0
    state.mediaPosition = m - segment.start + segment.markIn;
    state.remaining = FieldsLeft(m, record, boundedRecord, segment);
    state.offset = m - segment.start;
    return message.AddAncDataState(state);
}

HRESULT CTmsResAncData::AddBlackState(IMovie*, std::int32_t, std::int32_t p,
                                      rts::CStateMessageBuilder& message,
                                      std::int32_t pastLastSegment, std::int32_t toWindowEnd) {
    rts::AncDataStateRecord state{};
    state.start = p;
    state.remaining = toWindowEnd;
    state.offset = pastLastSegment;
    return message.AddAncDataState(state);
}

HRESULT CTmsResAncData::PutStatus(std::uint16_t cycle, const CRtsShmem& shmem,
                                  std::int32_t channelIndex) {
    CCriticalSectionLock lock(m_cs);
    TmsAncillaryDataStatus status{};
    if (!shmem.GetAncDataStatus(channelIndex, &status)) {
        return S_OK;
    }
    CCriticalSectionLock statusLock(m_statusCs);
    m_cycle = cycle;
    m_status = status;
    return S_OK;
}

HRESULT CTmsResAncData::PublishStatus(CChanAccess& access) {
    CCriticalSectionLock lock(m_statusCs);
    std::uint8_t* block = access.StatusBlock();
    if (block == nullptr) {
        return S_FALSE;
    }
    const LONG slot = access.IncrementIndex(reinterpret_cast<LONG*>(block + kRingIndex));
    const std::uint16_t cycle = m_cycle;
    std::memcpy(block + kCycleRing + 2 * static_cast<std::size_t>(slot), &cycle, sizeof cycle);
    return S_OK;
}

HRESULT CTmsResAncData::StringToVariant(std::int32_t token, VARIANT* value) {
    CVariant result;
    if (token == kFieldsPerRiffToken) {
        CCriticalSectionLock lock(m_cs);  // held already by StringToStatus; re-entered
        result = CVariant(m_fieldsPerRiff);
    } else {
        CCriticalSectionLock lock(m_statusCs);
        if (!resource_status::CommonValue(token, m_videoFormat, m_fieldsPerFrame,
                                          m_status.tickCount, m_status.errorCode, &result)) {
            return S_FALSE;
        }
    }
    VariantClear(value);
    return result.CopyTo(value);
}

TmsAncillaryDataStatus CTmsResAncData::AncDataStatus() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_status;
}

std::uint16_t CTmsResAncData::StatusCycle() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_cycle;
}

std::int32_t CTmsResAncData::FieldsPerRiff() const {
    CCriticalSectionLock lock(m_cs);
    return m_fieldsPerRiff;
}

std::string CTmsResAncData::ChannelType() const {
    CCriticalSectionLock lock(m_cs);
    return m_channelType;
}
