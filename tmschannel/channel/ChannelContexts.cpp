// CChannel: the context table. Clients name a context by its token; these
// calls resolve it and hand the work to the context, which serialises it
// under its own lock. Only AllocateContext takes the channel lock, to choose,
// stamp and register a free context. Every call passes the channel's call
// gate first: a call that Close has shut out finds no context, and Close
// waits for the calls inside before the contexts go.
#include "platform/com/Utf.h"
#include "platform/com/VariantArray.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/context/ContextToken.h"
#include "tmschannel/frame/ComBoundary.h"

namespace {

constexpr HRESULT kNotFound = HR(0x80045224);
constexpr HRESULT kChannelOffline = HR(0x8004301a);
constexpr HRESULT kStatusNotFound = HR(0x80045221);
constexpr int kStatusTick = 0x7FFFFFFF;

}  // namespace

void CChannel::RequireRecord(CEntryPoint& trace, const char* kind, std::uint32_t token,
                             const unsigned char* record, int size, int minimum) {
    // The record is read whole: a short one would be read past its end.
    if (record == nullptr || size < minimum) {
        TMS_RAISE(trace, E_INVALIDARG,
                  "%s:Context %s record for 0x%x must be at least %d bytes (got %d)",
                  ChannelName().c_str(), kind, token, minimum, record == nullptr ? 0 : size);
    }
}

HRESULT CChannel::FindTimelineContext(std::uint32_t token, CTimelineContext** context) {
    CTmsEntryPoint trace("CChannel::FindTimelineContext 0x%x", token);
    for (const auto& c : m_contexts) {
        if (c->Token() == token) {
            *context = c.get();
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CChannel::AllocateContext(unsigned short nTimelineCode, unsigned int* pnContextToken) {
    CTmsEntryPoint trace("CChannel::AllocateContext %d", nTimelineCode);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pnContextToken == nullptr) {
            TMS_RAISE(trace, E_POINTER, "AllocateContext: no place for the token");
        }
        *pnContextToken = 0;
        CCallGate::Pass pass(m_gate);
        if (!pass.Admitted()) {
            RaiseRefused(trace, "AllocateContext", pass);
        }
        const bool publishAsked = (nTimelineCode & context_token::kPublishFlag) != 0;
        const std::uint16_t code = nTimelineCode & context_token::kCodeMask;
        CComPtr<ITimeline> timeline;
        CTimelineContext* chosen = nullptr;
        std::uint32_t token = 0;
        bool anyActive = false;
        {
            // Held through the registration at the timeline: RemoveTimeline
            // takes the timeline out of the map under it before revoking its
            // contexts, so a context is either registered before that and
            // revoked, or finds no timeline. The movie status is published
            // after the lock is left (below).
            CCriticalSectionLock lock(m_cs);
            timeline = FindTimeline(trace, code);
            for (const auto& c : m_contexts) {
                anyActive = anyActive || c->IsActive();
            }
            for (const auto& c : m_contexts) {
                if (c->IsFree(m_config.channelIndex)) {
                    chosen = c.get();
                    break;
                }
            }
            if (chosen == nullptr) {
                TMS_RAISE(trace, kNotFound, "Could not find an available context for channel '%s'",
                          m_channelId.c_str());
            }
            bool chanOffline = false;
            bool sysOffline = false;
            CheckHr(trace, m_chanAccess->IsChanOffline(chanOffline));
            CheckHr(trace, m_chanAccess->IsSysOffline(sysOffline));
            if (chanOffline || sysOffline) {
                TMS_RAISE(trace, kChannelOffline,
                          "Channel %d is offline, cannot allocate context %d",
                          m_config.channelIndex, chosen->Index());
            }
            token = context_token::Compose(m_config.channelIndex, code, chosen->Index());
            // Stamped before the lock is left, so that a concurrent
            // allocation cannot choose the same context.
            if (!chosen->Reserve(token)) {
                TMS_RAISE(trace, kNotFound, "Could not find an available context for channel '%s'",
                          m_channelId.c_str());
            }
            CComPtr<ITmsContextBroker> broker;
            HRESULT hr = QueryInterface(IID_ITmsContextBroker, reinterpret_cast<void**>(&broker));
            if (SUCCEEDED(hr)) {
                hr = chosen->RegisterTimeline(token, broker, timeline, false);
            }
            if (FAILED(hr)) {
                // A failed allocation leaves the context free.
                chosen->Unreserve(token);
                CheckHr(trace, hr);
            }
        }
        if (!anyActive || publishAsked) {
            // Outside the channel lock: the movie's properties and the
            // status-file mutex (up to 5000 ms) must not hold up the status
            // monitor, E-to-E or Close. The pass keeps the context in place;
            // a RemoveTimeline in between has revoked it, and the publication
            // then finds no movie and answers S_FALSE.
            const HRESULT published = chosen->SaveMovieStatus(false, true, true);
            if (FAILED(published)) {
                // The timeline must not keep handing status to a context
                // that is free again; its answer changes nothing here.
                timeline->RevokeContext(token);
                chosen->Unreserve(token);
                CheckHr(trace, published);
            }
        }
        *pnContextToken = token;
    });
}

HRESULT CChannel::FreeContext(unsigned int nContextToken) {
    CTmsEntryPoint trace("CChannel::FreeContext 0x%x", nContextToken);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (nContextToken == 0) {
            return;
        }
        CCallGate::Pass pass(m_gate);
        if (!pass.Admitted()) {
            // Close frees every context itself.
            trace.SetResult(S_FALSE);
            return;
        }
        for (const auto& context : m_contexts) {
            if (context->Token() == nContextToken) {
                CheckHr(trace, context->RevokeTimeline());
            }
        }
    });
}

HRESULT CChannel::ApplyContextChange(unsigned int nContextToken, int iSize,
                                     unsigned char* pContextChange) {
    CTmsEntryPoint trace("CChannel::ApplyContextChange ctxToken=0x%x", nContextToken);
    return TMS_COM_BOUNDARY(trace, IID_ITmsContextBroker, [&] {
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (!pass.Admitted() || FindTimelineContext(nContextToken, &context) != S_OK) {
            TMS_RAISE(trace, kNotFound, "%s:Could not find context 0x%x", ChannelName().c_str(),
                      nContextToken);
        }
        RequireRecord(trace, "change", nContextToken, pContextChange, iSize,
                      CTimelineContext::kChangeRecordSize);
        const HRESULT hr = context->ApplyContextChange(nContextToken, pContextChange);
        CheckHr(trace, hr);
        trace.SetResult(hr);
    });
}

HRESULT CChannel::ApplyContextUpdate(unsigned int nContextToken, int iSize,
                                     unsigned char* pContextUpdate) {
    CTmsEntryPoint trace("CChannel::ApplyContextUpdate 0x%x", nContextToken);
    return TMS_COM_BOUNDARY(trace, IID_ITmsContextBroker, [&] {
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (!pass.Admitted() || FindTimelineContext(nContextToken, &context) != S_OK) {
            trace.SetResult(S_FALSE);
            return;
        }
        RequireRecord(trace, "update", nContextToken, pContextUpdate, iSize,
                      CTimelineContext::kUpdateRecordSize);
        const HRESULT hr = context->ApplyContextUpdate(nContextToken, pContextUpdate);
        CheckHr(trace, hr);
        trace.SetResult(hr);
    });
}

HRESULT CChannel::IsPlaying(unsigned int nContextToken, long* pbPlaying) {
    CTmsEntryPoint trace("CChannel::IsPlaying 0x%x", nContextToken);
    return TMS_COM_BOUNDARY(trace, IID_ITmsContextBroker, [&] {
        if (pbPlaying == nullptr) {
            TMS_RAISE(trace, E_POINTER, "IsPlaying: no place for the result");
        }
        *pbPlaying = 0;
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (!pass.Admitted() || FindTimelineContext(nContextToken, &context) != S_OK) {
            TMS_RAISE(trace, kNotFound, "%s:Could not find context 0x%x", ChannelName().c_str(),
                      nContextToken);
        }
        if (!context->IsActive() || ChanAccess() == nullptr) {
            return;
        }
        CVariant state;
        CVariant speed;
        LONG start = kStatusTick;
        LONG end = kStatusTick;
        CheckHr(trace,
                ChanAccess()->StringToStatus("portstate", false, &start, &end, state.GetAddress()));
        start = end = kStatusTick;
        CheckHr(trace, ChanAccess()->StringToStatus("shuttlespeed", false, &start, &end,
                                                    speed.GetAddress()));
        *pbPlaying = state.ToInt32() == TmsShuttlePlay && speed.ToFloat() != 0.0f ? 1 : 0;
    });
}

HRESULT CChannel::WaitForPortState(unsigned int nContextToken, TmsPortState portState,
                                   int iTimeout) {
    CTmsEntryPoint trace("CChannel::WaitForPortState 0x%x %d %d", nContextToken,
                         static_cast<int>(portState), iTimeout);
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (!pass.Admitted() || FindTimelineContext(nContextToken, &context) != S_OK) {
            trace.SetResult(S_FALSE);
            return;
        }
        const HRESULT hr = context->WaitForPortState(nContextToken, portState,
                                                     static_cast<std::uint32_t>(iTimeout));
        CheckHr(trace, hr);
        trace.SetResult(hr);
    });
}

HRESULT CChannel::GetStatus(unsigned int nContextToken, BSTR bstrStatusQuery, VARIANT* pvarStatus) {
    const std::string query = CBstr::FromBstr(bstrStatusQuery).ToUtf8();
    CTmsEntryPoint trace("CChannel::GetStatus 0x%x %s", nContextToken, query.c_str());
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pvarStatus == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetStatus: no place for the result");
        }
        VariantClear(pvarStatus);
        CheckHr(trace, StringToStatus(nContextToken, query, pvarStatus));
    });
}

namespace {

// The channel's video and timecode resources, found on first use from one
// copy of the list (made by copy()): a query the channel answers itself
// needs neither and makes no copy; any other asks the timecode resource
// first, and so makes the one copy.
template <class Copy>
class CQueryResources {
public:
    explicit CQueryResources(Copy copy) : m_copy(std::move(copy)) {}
    CTmsResource* Video() {
        Find();
        return m_video;
    }
    CTmsResource* Timecode() {
        Find();
        return m_timecode;
    }

private:
    static bool IsType(const std::u16string& type, std::string_view name) {
        if (type.size() != name.size()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char16_t c = type[i];
            const char16_t lower = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
            if (lower != static_cast<unsigned char>(name[i])) {
                return false;
            }
        }
        return true;
    }
    void Find() {
        if (m_found) {
            return;
        }
        m_found = true;
        m_list = m_copy();
        for (const auto& r : m_list) {
            if (m_video == nullptr && IsType(r->TypeName(), "video")) {
                m_video = r.get();
            }
            if (m_timecode == nullptr && r->TypeName() == u"timecode") {
                m_timecode = r.get();
            }
        }
    }

    Copy m_copy;
    bool m_found = false;
    std::vector<std::shared_ptr<CTmsResource>> m_list;  // keeps the two alive
    CTmsResource* m_video = nullptr;
    CTmsResource* m_timecode = nullptr;
};

}  // namespace

HRESULT CChannel::StringToStatus(std::uint32_t token, std::string_view query, VARIANT* status) {
    CTmsEntryPoint trace("CChannel::StringToStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        const std::size_t count = CountNames(query);
        if (count == 0) {
            TMS_RAISE(trace, E_INVALIDARG, "Status query cannot be empty");
        }
        // Channel-wide queries (token 0) read only copies under m_sharedCs
        // and need no pass.
        CCallGate::Pass pass(m_gate);
        CTimelineContext* context = nullptr;
        if (token != 0 && (!pass.Admitted() || FindTimelineContext(token, &context) != S_OK)) {
            TMS_RAISE(trace, kNotFound, "%s:Could not find context 0x%x", ChannelName().c_str(),
                      token);
        }
        // A channel whose RTS is gone or that the server took offline has
        // no port running: the context's live figures say so.
        const bool offline = context != nullptr && ChannelOffline();
        CQueryResources resources([this] { return Resources(); });
        // Asked in order until one answers (any success but S_FALSE).
        auto answer = [&](const std::string& name, VARIANT* value) {
            if (StringToChanStatus(name, value)) {
                return;
            }
            HRESULT hr = S_FALSE;
            if (CTmsResource* timecode = resources.Timecode(); timecode != nullptr) {
                hr = timecode->StringToStatus(name, value);
                CheckHr(trace, hr);
            }
            if (hr == S_FALSE && context != nullptr) {
                hr = context->StringToStatus(name, value, offline);
                CheckHr(trace, hr);
            }
            if (hr == S_FALSE) {
                if (CTmsResource* video = resources.Video(); video != nullptr) {
                    hr = video->StringToStatus(name, value);
                    CheckHr(trace, hr);
                }
            }
            if (hr == S_FALSE && token == 0) {
                hr = CTimelineContext::StringToDefaultStatus(name, value);
                CheckHr(trace, hr);
            }
            if (hr == S_FALSE) {
                TMS_RAISE(trace, kStatusNotFound, "%s: Could not find status '%s'",
                          ChannelName().c_str(), name.c_str());
            }
        };
        if (count == 1) {
            ForEachName(query, [&](const std::string& name) { answer(name, status); });
            return;
        }
        std::vector<CVariant> values(count);
        std::size_t i = 0;
        ForEachName(query,
                    [&](const std::string& name) { answer(name, values[i++].GetAddress()); });
        CVariant array = MakeVariantArray(values, 0);
        *status = array.Detach();
    });
}
