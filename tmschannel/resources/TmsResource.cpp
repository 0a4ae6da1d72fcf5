#include "tmschannel/resources/TmsResource.h"

#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/configmgr/IConfigMgr.h"
#include "server/timeline/IMovie.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ErrorFrame.h"
#include "tmschannel/resources/TmsVfs.h"
#include "tmschannel/rts/RtsMessageFormat.h"

#include <cstring>

using namespace tmsvideo;

namespace {

constexpr HRESULT kNotAvailable = HR(0x8004300E);
constexpr HRESULT kCannotSet = HR(0x8004300F);

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'A' && x <= u'Z') {
            x = static_cast<char16_t>(x - u'A' + u'a');
        }
        if (y >= u'A' && y <= u'Z') {
            y = static_cast<char16_t>(y - u'A' + u'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

CTmsResource::CTmsResource(std::int32_t resourceNumber) : m_resourceNumber(resourceNumber) {}

CTmsResource::~CTmsResource() {
    if (m_destroyedCode >= 0) {
        TmsVfs().ReportResource(m_channelIndex, static_cast<gfsReportRes_e>(m_destroyedCode));
    }
}

void CTmsResource::ReportCreated(gfsReportRes_e createdCode, gfsReportRes_e destroyedCode) {
    if (m_destroyedCode < 0) {
        TmsVfs().ReportResource(m_channelIndex, createdCode);
        m_destroyedCode = destroyedCode;
    }
}

std::uint16_t CTmsResource::StatusCycle() const {
    CCriticalSectionLock lock(m_statusCs);
    return m_cycle;
}

std::int32_t CTmsResource::FieldsLeft(std::int32_t m, bool record, bool boundedRecord,
                                      const MediaSegmentInfo& segment) {
    constexpr std::int32_t kEndless = 0x7FFFFFFF;
    // A record runs on past the segment unless it is bounded by its length.
    const bool open = record && !(boundedRecord && segment.duration > 0);
    return open ? kEndless - m : segment.start + segment.duration - m - 1;
}

HRESULT CTmsResource::SharedStatusToVariant(std::int32_t token, std::uint32_t tickCount,
                                            std::uint32_t errorCode, VARIANT* value) const {
    CVariant result;
    switch (token) {
        case 0:
            result = CVariant(m_videoFormat);
            break;
        case 1:
            result = CVariant(NameFromFormat(m_videoFormat, 254));
            break;
        case 2:
            result = CVariant(m_fieldsPerFrame);
            break;
        case 3:
            result = CVariant(static_cast<std::int32_t>(tickCount));
            break;
        case 4:
            result = CVariant(static_cast<std::int32_t>(errorCode));
            break;
        default:
            return S_FALSE;
    }
    VariantClear(value);
    return result.CopyTo(value);
}

std::string CTmsResource::ComponentElementPath(const char* element, const char* kind,
                                               const char* component) const {
    return FormatText("//%s[@id=//Channel[@channelIndex=\"%d\"]/%s[@index=\"%s\"]/%s/@id]", element,
                      m_channelIndex, kind, Utf16ToUtf8(m_indexText).c_str(), component);
}

void CTmsResource::SetConfigAttribute(CEntryPoint& trace, IConfigMgr* configMgr,
                                      const std::string& path, const char* attribute,
                                      const VARIANT& value, bool persist,
                                      const std::string& property) {
    if (configMgr == nullptr) {
        TMS_RAISE(trace, E_UNEXPECTED, "%s property '%s': the channel is not open",
                  TypeNameUtf8().c_str(), property.c_str());
    }
    TMS_CHECK_COM(trace, configMgr->SetConfigAttribute(CBstr(path), attribute, CVariant(value),
                                                       persist ? 1 : 0));
}

void CTmsResource::WriteMediaDataToLastSegment(CEntryPoint& trace, IMovie* movie) {
    unsigned short segment = 0;
    const HRESULT hr = movie->GetLastSegment(m_trackType, m_resourceNumber, 0, -1, &segment);
    TMS_CHECK_COM(trace, hr);
    if (hr == S_OK) {
        BYTE block[kMediaDataSize] = {};
        GetMediaData(block);
        TMS_CHECK_COM(trace, movie->SetSegmentMediaData(m_trackType, m_resourceNumber, segment, 1,
                                                        sizeof block, block));
    }
}

std::size_t CTmsResource::NextRingSlot(CChanAccess& access, std::uint8_t* block,
                                       std::size_t indexOffset) {
    return static_cast<std::size_t>(
        access.IncrementIndex(reinterpret_cast<LONG*>(block + indexOffset)));
}

std::uint32_t CTmsResource::CapabilityMask1() const {
    CCriticalSectionLock lock(m_cs);
    return m_capabilities1;
}

std::uint32_t CTmsResource::CapabilityMask2() const {
    CCriticalSectionLock lock(m_cs);
    return m_capabilities2;
}

std::string CTmsResource::TypeNameUtf8() const {
    return Utf16ToUtf8(m_typeName);
}

HRESULT CTmsResource::GetMediaDataVariant(VARIANT* value) {
    BYTE block[kMediaDataSize] = {};
    GetMediaData(block);
    CVariant array = MakeByteArray(block, sizeof block);
    return array.CopyTo(value);
}

BYTE* CTmsResource::GetMediaData(BYTE* block) {
    const std::int32_t format = m_videoFormat;
    std::memcpy(block + 44, &format, sizeof format);
    return block;
}

HRESULT CTmsResource::GetProperty(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CTmsResource::GetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] { RaiseNotAvailable(trace, name); });
}

HRESULT CTmsResource::SetProperty(IConfigMgr* configMgr, const std::string& name,
                                  const VARIANT& value, bool persist, bool* refresh) {
    CTmsEntryPoint trace("CTmsResource::SetProperty %s", name.c_str());
    return TMS_ERROR_FRAME(trace, [&] { RaiseCannotSet(trace, name); });
}

void CTmsResource::RaiseNotAvailable(CEntryPoint& trace, const std::string& name) {
    TMS_RAISE(trace, kNotAvailable, "%s property '%s' is not available through this interface",
              TypeNameUtf8().c_str(), name.c_str());
}

void CTmsResource::RaiseCannotSet(CEntryPoint& trace, const std::string& name) {
    TMS_RAISE(trace, kCannotSet, "%s property '%s' cannot be set in this manner.",
              TypeNameUtf8().c_str(), name.c_str());
}

std::int32_t CTmsResource::PropertyToken(const std::string& name) const {
    const auto it = m_propertyNames.find(name);
    return it == m_propertyNames.end() ? -1 : it->second;
}

HRESULT CTmsResource::StringToStatus(const std::string& name, VARIANT* value) {
    CCriticalSectionLock lock(m_cs);
    const auto it = m_statusNames.find(name);
    if (it == m_statusNames.end()) {
        return S_FALSE;
    }
    return StringToVariant(it->second, value);
}

HRESULT CTmsResource::InitFromConfig(IXMLDOMDocument2* document, IXMLDOMNode* element) {
    CTmsEntryPoint trace("CTmsResource::InitFromConfig");
    return TMS_ERROR_FRAME(trace, [&] {
        CCriticalSectionLock lock(m_cs);
        CConfigReader read(trace);
        std::string text;
        if (CComPtr<IXMLDOMNode> reference =
                read.Node(document, "./Config/System/SystemVideoReference");
            reference != nullptr && read.Text(reference, "@referenceStandard", &text)) {
            m_videoFormat = FormatFromName(text, 255);
        }
        m_fieldsPerFrame = tmsvideo::FieldsPerFrame(m_videoFormat);
        if (read.Text(document, "./Config/Board/@id", &text)) {
            m_boardId = Utf8ToUtf16(text);
        }
        m_indexText = u"Unknown";
        if (read.Text(element, "@index", &text)) {
            m_indexText = Utf8ToUtf16(text);
        }
        m_assigned = false;
        read.Bool(element, "@assigned", &m_assigned);
        if (CComPtr<IXMLDOMNode> channel = read.Node(document, "./Config/Channel");
            channel != nullptr) {
            read.Long(channel, "@channelIndex", &m_channelIndex);
            read.Text(channel, "@id", &m_channelId);
        }
        m_capabilities1 |= m_videoFormat == 1 ? 0x40u : 0x80u;
    });
}

bool CTmsResource::IsMyXml(IXMLDOMNode* element) {
    CCriticalSectionLock lock(m_cs);
    if (element == nullptr) {
        return false;
    }
    CBstr name;
    if (FAILED(element->get_nodeName(&name)) || !EqualNoCase(name.View(), m_typeName)) {
        return false;
    }
    CVariant index;
    if (FAILED(element->getAttribute(CBstr("index"), index.GetAddress())) ||
        index.Type() != VT_BSTR) {
        return false;
    }
    return EqualNoCase(CBstr::FromBstr(index.GetVARIANT().bstrVal).View(), m_indexText);
}

bool CTmsResource::FindResourceStatus(CMmioMsg& message, std::int32_t ignored, DWORD* size) {
    MMCKINFO form{};
    bool found = false;
    if (FAILED(message.FindRiff(rts::kFormStatus, &form, &found)) || !found) {
        return false;
    }
    *size = form.cksize;
    rts::ResourceIdRecord mine{};
    rts::SetNarrow(mine.indexText, Utf16ToNarrow(m_indexText));
    rts::SetNarrow(mine.typeName, Utf16ToNarrow(m_typeName));
    MMCKINFO list{};
    if (FAILED(message.FindList(rts::kListResourceStatus, &form, &list, &found)) || !found) {
        return false;
    }
    for (;;) {
        const BYTE* data = nullptr;
        if (FAILED(message.FindChunkDataPtr(rts::kChunkResource, &list, &data,
                                            sizeof(rts::ResourceIdRecord), &found)) ||
            !found) {
            return false;
        }
        if (std::memcmp(data, mine.indexText, sizeof mine.indexText) == 0 &&
            std::memcmp(data + sizeof mine.indexText, mine.typeName, sizeof mine.typeName) == 0) {
            return true;
        }
        if (FAILED(message.Ascend(&list)) ||
            FAILED(message.FindList(rts::kListResourceStatus, &form, &list, &found)) || !found) {
            return false;
        }
    }
}
