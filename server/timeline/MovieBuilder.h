// CMovieBuilder, the object behind IMovieBuilder (see IMovieBuilder.h): one
// per channel. It hands out timelines on stored movies under codes of its
// own (CTimelineCodeTable); the timelines it made live on by their own
// references, so releasing the builder leaves them usable.
//
// Thread safety: every method may be called from any thread at once. m_cs
// guards the suite and the codes, and is held across a create or an open
// so that a code and its timeline go out together. Lock order: m_cs, then
// the movie store's lock.
#pragma once

#include <string>

#include "platform/com/ComObjectBase.h"
#include "platform/com/ISupportErrorInfo.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSection.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/TimelineCodeTable.h"

class CMovie;

class CMovieBuilder : public CComObjectBase<IMovieBuilder, ISupportErrorInfo> {
public:
    HRESULT SetSuite(BSTR suite) override;
    HRESULT GetSuite(BSTR* suite) override;
    HRESULT CloseTimeline(BSTR dataset, BSTR group, BSTR movie, long reserved,
                          unsigned short code) override;
    HRESULT CreateTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code,
                           const IID& iid, void** timeline) override;
    HRESULT OpenTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code, long reserved,
                         const IID& iid, void** timeline) override;

    HRESULT InterfaceSupportsErrorInfo(const IID& iid) override;

private:
    // The work of CreateTimeline and OpenTimeline; create picks which.
    HRESULT HandOut(BSTR dataset, BSTR group, BSTR movie, bool create, long reserved,
                    unsigned short* code, const IID& iid, void** timeline);

    CModuleLock m_moduleLock;
    CCriticalSection m_cs;
    std::string m_suite GUARDED_BY(m_cs);
    CTimelineCodeTable m_codes GUARDED_BY(m_cs);
};
