// IConfigMgr, the configuration manager: hands out the system configuration
// and each channel's part of it as XML documents, and changes attributes of
// the configuration for every process of the runtime folder.
//
// Documents are passed as a VARIANT of type VT_DISPATCH holding an
// IXMLDOMDocument2 made in this process (platform/xml); the manager fills
// it. Failures return the HRESULT with an error info that names the file,
// the line, the channel or the XPath.
//
// Thread safety: an object may be used by several threads at once; the file
// lock orders them as it orders processes.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IDispatch.h"
#include "platform/com/Variant.h"

struct IConfigMgr : IDispatch {
    static constexpr IID kIid = MakeGuid("{1C097B45-4C14-4914-8A25-1EE3130974B6}");

    // The system configuration with only the channel whose @channelIndex (or
    // @id) is given; app and appServerUuid are noted in the log.
    virtual HRESULT LoadChannelConfigByIndex(LONG channel, BSTR app, BSTR appServerUuid,
                                             VARIANT* document) = 0;
    virtual HRESULT LoadChannelConfigByName(BSTR channelName, BSTR app, BSTR appServerUuid,
                                            VARIANT* document) = 0;
    // S_OK, or S_FALSE for a channel this object never loaded.
    virtual HRESULT ReleaseChannelConfig(LONG channelIndex) = 0;
    // The whole system configuration.
    virtual HRESULT LoadSystemConfig(VARIANT* document) = 0;
    // Sets one attribute of the one element the XPath selects. The value is
    // written as text (VT_BOOL as "true"/"false"). persist nonzero: written
    // to the file at once, atomically; 0: kept by this object only, in every
    // document it hands out from then on.
    virtual HRESULT SetConfigAttribute(BSTR xpath, const char* attribute, VARIANT value,
                                       LONG persist) = 0;

protected:
    ~IConfigMgr() override = default;
};

inline constexpr CLSID CLSID_ConfigMgr = MakeGuid("{1AC48E69-26A9-4943-BFB6-2C97A1AA80AF}");
inline constexpr IID IID_IConfigMgr = IConfigMgr::kIid;
inline constexpr const char kConfigMgrProgId[] = "Vandrel.ConfigMgr.1";
