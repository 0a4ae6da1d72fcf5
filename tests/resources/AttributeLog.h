// A configuration manager that keeps the attribute writes a property change
// asks for, in order, instead of saving them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/com/Bstr.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/Variant.h"
#include "server/configmgr/IConfigMgr.h"

class CAttributeLog : public CComObjectBase<IConfigMgr> {
public:
    HRESULT LoadChannelConfigByIndex(LONG, BSTR, BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT LoadChannelConfigByName(BSTR, BSTR, BSTR, VARIANT*) override { return E_NOTIMPL; }
    HRESULT ReleaseChannelConfig(LONG) override { return E_NOTIMPL; }
    HRESULT LoadSystemConfig(VARIANT*) override { return E_NOTIMPL; }
    HRESULT SetConfigAttribute(BSTR path, const char* attribute, VARIANT value, LONG) override {
        paths.push_back(CBstr::FromBstr(path).ToUtf8());
        writes.emplace_back(attribute, CVariant(value).ToString());
        return S_OK;
    }
    void Clear() {
        paths.clear();
        writes.clear();
    }

    std::vector<std::string> paths;                           // element XPath of each write
    std::vector<std::pair<std::string, std::string>> writes;  // attribute, value as text
};
