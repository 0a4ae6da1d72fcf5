// CChannel: routing the resource queries of the interface to the resources.
// These calls take no channel lock: they copy the resource list (and the
// configuration manager) out under m_sharedCs, and a resource copied out
// stays alive for the call even when the channel closes meanwhile.
#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ComBoundary.h"
#include "tmschannel/rts/RtsMessages.h"

#include <cctype>

namespace {

constexpr HRESULT kResourceNotFound = HR(0x80045224);

}  // namespace

HRESULT CChannel::FindTmsResource(const std::string& type, std::int32_t number,
                                  std::shared_ptr<CTmsResource>* resource) {
    CTmsEntryPoint trace("CChannel::FindTmsResource %s %d", type.c_str(), number);
    return TMS_ERROR_FRAME(trace, [&] {
        for (const auto& r : Resources()) {
            if (r->ResourceNumber() == number && EqualsNoCase(r->TypeNameUtf8(), type)) {
                *resource = r;
                return;
            }
        }
        TMS_RAISE(trace, kResourceNotFound, "Could not find resource %s[%d]", type.c_str(), number);
    });
}

std::shared_ptr<CTmsResource> CChannel::FirstTimecodeResource() const {
    for (const auto& r : Resources()) {
        if (r->TypeName() == u"timecode") {
            return r;
        }
    }
    return nullptr;
}

HRESULT CChannel::GetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrPropertyQuery,
                                      VARIANT* pvarProperty) {
    const std::string type = CBstr::FromBstr(bstrResType).ToUtf8();
    const std::string query = CBstr::FromBstr(bstrPropertyQuery).ToUtf8();
    CTmsEntryPoint trace("CChannel::GetResourceProperty %s %d %s", type.c_str(), iResNum,
                         query.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pvarProperty == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetResourceProperty: no place for the result");
        }
        std::shared_ptr<CTmsResource> resource;
        CheckHr(trace, FindTmsResource(type, iResNum, &resource));
        const std::vector<std::string> names = SplitNameQuery(query);
        if (names.empty()) {
            TMS_RAISE(trace, E_INVALIDARG, "Property query cannot be empty");
        }
        if (names.size() == 1) {
            CheckHr(trace, resource->GetProperty(LowerName(names[0]), pvarProperty));
            return;
        }
        std::vector<CVariant> values(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            CheckHr(trace, resource->GetProperty(LowerName(names[i]), values[i].GetAddress()));
        }
        CVariant array = MakeVariantArray(values, 0);
        VariantClear(pvarProperty);
        CheckHr(trace, array.CopyTo(pvarProperty));
    });
}

HRESULT CChannel::GetResourceStatus(BSTR bstrResType, int iResNum, BSTR bstrStatusQuery,
                                    VARIANT* pvarStatus) {
    const std::string type = CBstr::FromBstr(bstrResType).ToUtf8();
    const std::string query = CBstr::FromBstr(bstrStatusQuery).ToUtf8();
    CTmsEntryPoint trace("CChannel::GetResourceStatus %s %d %s", type.c_str(), iResNum,
                         query.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pvarStatus == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetResourceStatus: no place for the result");
        }
        std::shared_ptr<CTmsResource> resource;
        CheckHr(trace, FindTmsResource(type, iResNum, &resource));
        CheckHr(trace, resource->StringToStatus(query, pvarStatus));
    });
}

HRESULT CChannel::GetResourceStatusRange(BSTR, int, BSTR, unsigned int*, unsigned int*, VARIANT*) {
    return E_NOTIMPL;
}

HRESULT CChannel::SetResourceProperty(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                      VARIANT varProperty) {
    return SetResourcePropertyEx(bstrResType, iResNum, bstrProperty, varProperty, TRUE);
}

HRESULT CChannel::SetResourcePropertyEx(BSTR bstrResType, int iResNum, BSTR bstrProperty,
                                        VARIANT varProperty, BOOL bPersist) {
    const std::string type = CBstr::FromBstr(bstrResType).ToUtf8();
    const std::string spec = CBstr::FromBstr(bstrProperty).ToUtf8();
    CTmsEntryPoint trace("CChannel::SetResourcePropertyEx %s %d %s %d", type.c_str(), iResNum,
                         spec.c_str(), bPersist);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        // "ctx": the number is a context token.
        CTimelineContext* context = nullptr;
        std::shared_ptr<CTmsResource> resource;
        if (EqualsNoCase(type, "ctx")) {
            const auto token = static_cast<std::uint32_t>(iResNum);
            if (token == 0 || FindTimelineContext(token, &context) != S_OK) {
                TMS_RAISE(trace, HR(0x80045224), "%s:Could not find context 0x%x",
                          ChannelName().c_str(), token);
            }
        } else {
            CheckHr(trace, FindTmsResource(type, iResNum, &resource));
        }
        const std::vector<std::string> names = SplitNameQuery(spec);
        if (names.empty()) {
            TMS_RAISE(trace, E_INVALIDARG, "A property change must name at least one property");
        }
        std::vector<CVariant> values;
        if (names.size() > 1) {
            // A value array of another shape is refused, not read past.
            if ((varProperty.vt & VT_ARRAY) == 0) {
                TMS_RAISE(trace, E_INVALIDARG,
                          "%d properties need an array of %d values, not VARIANT type %u",
                          static_cast<int>(names.size()), static_cast<int>(names.size()),
                          static_cast<unsigned>(varProperty.vt));
            }
            values = ReadVariantArray(varProperty);
        }
        CComPtr<IConfigMgr> manager = ConfigMgr();
        bool refresh = false;
        bool toRts = false;
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names.size() > 1 && i >= values.size()) {
                TMS_RAISE(trace, DISP_E_BADINDEX, "No value for property '%s' (element %d)",
                          names[i].c_str(), static_cast<int>(i));
            }
            const VARIANT& value = names.size() == 1 ? varProperty : values[i].GetVARIANT();
            if (context != nullptr) {
                CheckHr(trace, context->SetProperty(LowerName(names[i]), value));
            } else {
                CheckHr(trace, resource->SetProperty(manager, LowerName(names[i]), value,
                                                     bPersist != FALSE, &refresh));
                toRts = toRts || resource->PropertyReachesRts(LowerName(names[i]));
            }
        }
        if (toRts && manager != nullptr) {
            SendConfigToRts(trace, manager);
        }
        if (refresh && manager != nullptr) {
            CComPtr<IXMLDOMDocument2> document = NewDocument(trace);
            CVariant target(static_cast<IDispatch*>(document.Get()));
            TMS_CHECK_COM(trace, manager->LoadSystemConfig(&target.GetVARIANT()));
            for (const auto& r : Resources()) {
                r->RefreshProperties(document);
            }
        }
    });
}

void CChannel::SendConfigToRts(CEntryPoint& trace, IConfigMgr* manager) {
    CComPtr<IXMLDOMDocument2> document = NewDocument(trace);
    CVariant target(static_cast<IDispatch*>(document.Get()));
    TMS_CHECK_COM(trace, manager->LoadSystemConfig(&target.GetVARIANT()));
    CMmioMsg refresh(rts::kLargeMessageSize);
    CheckHr(trace, rts::BuildRefreshMessage(refresh, ConfigTextWithoutBoards(trace, document)));
    Send(trace, refresh);
}

HRESULT CChannel::GetChannelCapabilities(unsigned int* capabilities1, unsigned int* capabilities2) {
    CTmsEntryPoint trace("CChannel::GetChannelCapabilities");
    return TMS_COM_BOUNDARY(trace, IID_ITmsContextBroker, [&] {
        if (capabilities1 == nullptr || capabilities2 == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetChannelCapabilities: no place for the result");
        }
        *capabilities1 = *capabilities2 = 0;
        for (const auto& r : Resources()) {
            *capabilities1 |= r->CapabilityMask1();
            *capabilities2 |= r->CapabilityMask2();
        }
    });
}
