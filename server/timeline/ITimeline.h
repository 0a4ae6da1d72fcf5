// ITimeline, a timeline as the channel binds it to contexts. A context
// registers with its token and the channel's broker; every status record the
// context then reports comes back to that broker's ApplyContextUpdate, on the
// timeline's own thread, never on the reporting thread.
//
// Thread safety: an object may be used by several threads at once.
#pragma once

#include "platform/com/IUnknown.h"
#include "server/timeline/ITmsContextBroker.h"

struct ITimeline : IUnknown {
    static constexpr IID kIid = MakeGuid("{8296AE27-7F56-449F-BA11-744E1767C394}");

    // Keeps a reference to broker for the token; registering a token again
    // replaces its broker. Token 0 or a null broker: E_INVALIDARG.
    virtual HRESULT RegisterContext(unsigned int token, ITmsContextBroker* broker) = 0;
    // Queues a copy of the size-byte status record (size at least 40) for the
    // token's broker and returns at once. Unregistered token: S_FALSE.
    virtual HRESULT ContextStatus(unsigned int token, int size, unsigned char* record) = 0;
    // Drops the token's broker. Records queued for it are discarded; when a
    // hand-back to it is running on the timeline's thread, waits until it has
    // returned, so that no call reaches the broker after this one returns.
    // Unregistered token: S_FALSE.
    virtual HRESULT RevokeContext(unsigned int token) = 0;

protected:
    ~ITimeline() override = default;
};

inline constexpr IID IID_ITimeline = ITimeline::kIid;
