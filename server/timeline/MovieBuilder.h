// CMovieBuilder, the object behind IMovieBuilder (see IMovieBuilder.h).
#pragma once

#include <string>

#include "platform/com/ComObjectBase.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSection.h"
#include "server/timeline/IMovieBuilder.h"

class CMovieBuilder : public CComObjectBase<IMovieBuilder> {
public:
    HRESULT SetSuite(BSTR suite) override;
    HRESULT GetSuite(BSTR* suite) override;

private:
    CModuleLock m_moduleLock;
    CCriticalSection m_cs;
    std::string m_suite GUARDED_BY(m_cs);
};
