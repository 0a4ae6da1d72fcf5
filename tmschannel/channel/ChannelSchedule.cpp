// CChannel: scheduled context changes, handed to the context the token names.
#include "platform/com/Bstr.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/frame/ComBoundary.h"

namespace {

constexpr HRESULT kNotFound = HR(0x80045224);

}  // namespace

HRESULT CChannel::ApplyScheduledChange(unsigned int nContextToken, BSTR bstrName,
                                       TmsPortContextCondition condition,
                                       unsigned int nTriggerValue, long bCancel, int iSize,
                                       unsigned char* pContextChange) {
    const std::string name = CBstr::FromBstr(bstrName).ToNarrow();
    CTmsEntryPoint trace("CChannel::ApplyScheduledChange 0x%x %s %d %d %d", nContextToken,
                         name.c_str(), static_cast<int>(condition), static_cast<int>(nTriggerValue),
                         static_cast<int>(bCancel));
    return TMS_COM_BOUNDARY(trace, IID_ITmsContextBroker, [&] {
        trace.LogMsg("%s: CChannel::ApplyScheduledChange ctx=0x%x nm='%s' cond=%d tr=%d can=%d",
                     ChannelName().c_str(), nContextToken, name.c_str(),
                     static_cast<int>(condition), static_cast<int>(nTriggerValue),
                     static_cast<int>(bCancel));
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (!pass.Admitted() || FindTimelineContext(nContextToken, &context) != S_OK) {
            TMS_RAISE(trace, kNotFound, "%s:Could not find context 0x%x", ChannelName().c_str(),
                      nContextToken);
        }
        // The record is read even for a cancel: a short one is refused
        // rather than read past.
        RequireRecord(trace, "scheduled change", nContextToken, pContextChange, iSize,
                      CTimelineContext::kChangeRecordSize);
        const HRESULT hr = context->ApplyScheduledChange(
            nContextToken, name, condition, nTriggerValue, bCancel != 0, pContextChange);
        CheckHr(trace, hr);
        trace.SetResult(hr);
    });
}
