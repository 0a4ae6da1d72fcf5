// CConfigMgr, the object behind IConfigMgr (see IConfigMgr.h).
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/com/ComObjectBase.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSection.h"
#include "server/configmgr/IConfigMgr.h"

class CXmlDocument;

class CConfigMgr : public CComObjectBase<IConfigMgr> {
public:
    HRESULT LoadChannelConfigByIndex(LONG channel, BSTR app, BSTR appServerUuid,
                                     VARIANT* document) override;
    HRESULT LoadChannelConfigByName(BSTR channelName, BSTR app, BSTR appServerUuid,
                                    VARIANT* document) override;
    HRESULT ReleaseChannelConfig(LONG channelIndex) override;
    HRESULT LoadSystemConfig(VARIANT* document) override;
    HRESULT SetConfigAttribute(BSTR xpath, const char* attribute, VARIANT value,
                               LONG persist) override;

protected:
    HRESULT QueryExtraInterface(const IID& iid, void** object) override;

private:
    struct PendingAttribute {
        std::string xpath, attribute, value;
    };
    // The channel element selected by predicate (e.g. "@channelIndex='2'").
    HRESULT LoadChannel(const std::string& predicate, const std::string& what, VARIANT* document);
    void ApplyPending(CXmlDocument& doc);

    CModuleLock m_moduleLock;
    CCriticalSection m_cs;
    std::set<LONG> m_loaded GUARDED_BY(m_cs);                  // channels handed out
    std::vector<PendingAttribute> m_pending GUARDED_BY(m_cs);  // changes not persisted
};
