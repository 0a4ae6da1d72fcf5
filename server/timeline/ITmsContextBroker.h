// ITmsContextBroker, the channel's side of a context: the timeline component
// is handed it when a context registers and calls ApplyContextUpdate back
// with every status record; clients use it to send context changes. It is
// declared here, with the timeline component's interfaces, so that the
// component and the channel share one declaration; tmschannel.h includes it.
//
// Thread safety: the channel answers on any thread, also at the same time.
#pragma once

#include <cstdint>

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"

// When a scheduled context change fires (ApplyScheduledChange).
enum TmsPortContextCondition : std::int32_t {
    TmsCtxAtTickcount = 0,
    TmsCtxAtGpi = 1,
    TmsCtxDefaultAtGpi = 2,
    TmsCtxAtClockWatcher = 3,
    TmsCtxAtGangWatcher = 4,
};

struct ITmsContextBroker : IUnknown {
    static constexpr IID kIid = MakeGuid("{F6743DB8-1950-4739-AAA2-55DC581D210E}");

    virtual HRESULT ApplyContextChange(unsigned int nContextToken, int iSize,
                                       unsigned char* pContextChange) = 0;
    virtual HRESULT ApplyContextUpdate(unsigned int nContextToken, int iSize,
                                       unsigned char* pContextUpdate) = 0;
    virtual HRESULT ApplyScheduledChange(unsigned int nContextToken, BSTR bstrName,
                                         TmsPortContextCondition condition,
                                         unsigned int nTriggerValue, long bCancel, int iSize,
                                         unsigned char* pContextChange) = 0;
    virtual HRESULT GetChannelCapabilities(unsigned int* capabilities1,
                                           unsigned int* capabilities2) = 0;
    virtual HRESULT IsPlaying(unsigned int nContextToken, long* pbPlaying) = 0;

protected:
    ~ITmsContextBroker() override = default;
};

inline constexpr IID IID_ITmsContextBroker = ITmsContextBroker::kIid;
