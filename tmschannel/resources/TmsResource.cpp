#include "tmschannel/resources/TmsResource.h"

#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/common/ConfigReader.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/frame/ErrorFrame.h"
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

CTmsResource::~CTmsResource() = default;

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
