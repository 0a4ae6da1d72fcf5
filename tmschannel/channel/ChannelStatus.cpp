// CChannel: the status monitor (every 20 ms: the RTS's status into the
// resources and contexts, the channel's status into the status block),
// storage, and the channel's own status names.

#include <sys/prctl.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "platform/com/Utf.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "platform/kernel/Ticks.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/ChanAccess.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/appserverutil/VfsLibWrapper.h"
#include "tmschannel/channel/Channel.h"
#include "tmschannel/common/NameQuery.h"
#include "tmschannel/common/StatusBlock.h"
#include "tmschannel/common/StatusValue.h"
#include "tmschannel/common/Timecode.h"
#include "tmschannel/common/VideoFormat.h"
#include "tmschannel/context/TimelineContext.h"
#include "tmschannel/frame/ComBoundary.h"
#include "tmschannel/resources/TmsResource.h"
#include "tmschannel/resources/TmsVfs.h"

using namespace status_value;

namespace {

constexpr HRESULT kThreadNotStarted = HR(0x80043004);
constexpr int kContexts = 4;
constexpr HRESULT kUnknownVolume = HR(0x80043010);
constexpr DWORD kStorageIntervalMs = 1000;
constexpr DWORD kOfflinePollMs = 1000;
// How long a closing channel waits for the server to bring it back online.
constexpr DWORD kOfflineWaitLimitMs = 5000;
constexpr DWORD kCloseWaitLogMs = 60000;

namespace block = channel_block;
namespace entry_at = statusmem::storage_entry;

const char* StorageStateName(std::int32_t state) {
    switch (state) {
        case 0:
            return "StorageUnavailable";
        case 1:
            return "StorageAvailable";
        default:
            return "StorageFull";
    }
}

// A status pass's use of a kept copy of the resource list: emptied when
// the pass ends, however it ends, its room kept for the next pass.
class CPassResources {
public:
    using List = std::vector<std::shared_ptr<CTmsResource>>;
    explicit CPassResources(List& room) : m_room(room) {}
    ~CPassResources() { m_room.clear(); }
    CPassResources(const CPassResources&) = delete;
    CPassResources& operator=(const CPassResources&) = delete;
    List& Room() { return m_room; }

private:
    List& m_room;
};

}  // namespace

HRESULT CChannel::CreateStatusThread() {
    CTmsEntryPoint trace("CChannel::CreateStatusThread");
    return TMS_ERROR_FRAME(trace, [&] {
        m_monitorStop.Reset();
        auto thread = std::make_unique<CThread>();
        const std::string name = "tms-status-" + std::to_string(m_config.channelIndex);
        if (!thread->Start([this] { return StatusMonitor(); }, name.c_str())) {
            TMS_RAISE(trace, kThreadNotStarted, "Could not start status monitor thread");
        }
        // Raising needs privileges here; the monitor runs on either way.
        thread->SetPriority(THREAD_PRIORITY_ABOVE_NORMAL);
        m_statusThread = std::move(thread);
    });
}

void CChannel::StopStatusThread(CEntryPoint& trace) {
    m_monitorStop.Stop();
    if (m_statusThread) {
        // Nothing the monitor uses may go before it has ended: wait on, and
        // say so when it takes unusually long.
        if (WaitForSingleObject(m_statusThread->Handle(), kCloseWaitLogMs) != WAIT_OBJECT_0) {
            trace.LogMsg("%s: the status monitor has not ended in %u ms; still waiting",
                         ChannelName().c_str(), static_cast<unsigned>(kCloseWaitLogMs));
        }
        m_statusThread->Join();
        m_statusThread.reset();
    }
}

void CChannel::EndStatusMonitor() {
    CTmsEntryPoint trace("CChannel::EndStatusMonitor");
    StopStatusThread(trace);
}

void CChannel::StopStatusThreadOutside(CCriticalSectionLock& lock, CEntryPoint& trace) {
    lock.Unlock();
    StopStatusThread(trace);
    lock.Relock();
}

void CChannel::WaitWhileClosing(CCriticalSectionLock& lock) {
    while (m_closing) {
        lock.Unlock();
        Sleep(5);
        lock.Relock();
    }
}

DWORD CChannel::StatusMonitor() {
    CTmsEntryPoint trace("CChannel::StatusMonitor()");
    // The kernel may otherwise defer this thread's wake by up to its timer
    // slack (50 us) to batch it with others: the cycle would start late by
    // that much every time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    m_schedule.Start();
    for (;;) {
        // Absolute deadlines: the wait ends at the next cycle's start
        // whatever the last cycle took.
        if (m_monitorStop.WaitUntil(m_schedule.Deadline())) {
            break;
        }
        m_schedule.Begin();
        std::uint16_t cycle = 0;
        {
            CCriticalSectionLock status(m_statusLock);
            cycle = CStatusSchedule::NextCycle(m_status.cycle);
        }
        CTmsEntryPoint pass("CChannel::StatusMonitor cycle %d", cycle);
        TMS_ERROR_FRAME(pass, [&] {
            CheckHr(pass, PutStatus(cycle));
            CheckHr(pass, PublishStatus(m_chanAccess.get()));
        });
        if (!m_rtsMsg.IsConnected()) {
            if (m_chanAccess) {
                m_chanAccess->SetChanOfflineEvent(true);
            }
            trace.LogMsg("%s: the RTS connection is lost; status updates end",
                         ChannelName().c_str());
            return 0;
        }
    }
    if (m_chanAccess) {
        bool channelOffline = false;
        bool systemOffline = false;
        m_chanAccess->IsChanOffline(channelOffline);
        m_chanAccess->IsSysOffline(systemOffline);
        if (channelOffline) {
            trace.LogMsg("Waiting for %s to come back online before closing",
                         ChannelName().c_str());
        }
        // Bounded: a closing channel does not wait for ever on a server
        // that never brings it back.
        const DWORD start = GetTickCount();
        while (channelOffline && !systemOffline && GetTickCount() - start < kOfflineWaitLimitMs) {
            Sleep(kOfflinePollMs);
            m_chanAccess->IsChanOffline(channelOffline);
            m_chanAccess->IsSysOffline(systemOffline);
        }
        if (channelOffline && !systemOffline) {
            trace.LogMsg("%s: still offline after %u ms; closing anyway", ChannelName().c_str(),
                         static_cast<unsigned>(kOfflineWaitLimitMs));
        }
    }
    return 0;
}

HRESULT CChannel::PutStatus(std::uint16_t cycle) {
    // The id as the contexts see it: RefreshConfig replaces m_channelId
    // under the channel lock, which this pass does not hold here.
    std::array<char, CEntryPoint::kEntryTextSize> id{};
    CopyChannelName(id);
    CTmsEntryPoint trace("CChannel::PutStatus %d, %s", cycle, id.data());
    return TMS_ERROR_FRAME(trace, [&] {
        const std::int32_t channel = ChannelNumber();
        unsigned tick = 0;
        unsigned gpi = 0;
        {
            CCriticalSectionLock lock(m_cs);
            if (!m_statusThread) {
                return;
            }
            if (!m_rtsShmem.GetTickCount(channel, &tick) ||
                !m_rtsShmem.GetGpiInputMask(channel, &gpi)) {
                TMS_RAISE(trace, E_FAIL, "GetTickCount(%d) or GetGpiInputMask(%d) returned false.",
                          channel, channel);
            }
            CCriticalSectionLock status(m_statusLock);
            if (tick == m_status.rtsTick) {
                return;
            }
        }
        CPassResources resources(m_putResources);
        CopyResources(&resources.Room());
        // One resource the RTS does not report (an audio path it does not
        // run) must not stop the others and the contexts: its failure is
        // raised once the pass is done.
        HRESULT resourceFailure = S_OK;
        for (const auto& resource : resources.Room()) {
            if (const HRESULT hr = resource->PutStatus(cycle, m_rtsShmem, channel);
                FAILED(hr) && SUCCEEDED(resourceFailure)) {
                resourceFailure = hr;
            }
        }
        int free = 0;
        for (const auto& context : m_contexts) {
            if (const HRESULT hr = context->PutStatus(cycle, channel); FAILED(hr)) {
                CheckHr(trace, hr);
            }
            free += context->IsFree(channel) ? 1 : 0;
        }
        bool idleAgain = false;
        {
            CCriticalSectionLock status(m_statusLock);
            m_status.cycle = cycle;
            m_status.rtsTick = tick;
            m_status.gpiMask = gpi;
            if (m_status.busySinceIdle && free == kContexts) {
                idleAgain = true;
                m_status.busySinceIdle = false;
            } else if (!m_status.busySinceIdle && free < kContexts) {
                m_status.busySinceIdle = true;
            }
        }
        if (idleAgain) {
            if (m_chanAccess) {
                m_chanAccess->ClearPortStatus();
            }
            bool idleEe = false;
            {
                CCriticalSectionLock idle(m_idleModeCs);
                idleEe = m_idleModeEe;
            }
            if (!EeBoard() && !idleEe && ChannelType() == "Player") {
                CheckHr(trace, SetDefaultIdleMode(true, false));
            }
        }
        std::string hint;
        std::array<std::uint32_t, ChannelConfig::kChangeStamps> stamps{};
        bool stampsRead = false;
        {
            CCriticalSectionLock status(m_statusLock);
            stamps = m_status.stamps;
            stampsRead = m_status.stampsRead;
        }
        if (stampsRead) {
            CCriticalSectionLock lock(m_cs);
            ChannelConfig& c = m_config;
            for (int i = 0; i < ChannelConfig::kChangeStamps; ++i) {
                c.changeStamps[i] = stamps[static_cast<std::size_t>(i)];
            }
            if (c.changeStamps[0] != c.lastSeenStamps[0]) {
                c.lastSeenStamps[0] = c.changeStamps[0];
                static const char* const kWords[] = {"sys ",  "chan ",  "gang ",
                                                     "gpin ", "gpout ", "remote "};
                for (int i = 1; i < ChannelConfig::kChangeStamps; ++i) {
                    if (c.changeStamps[i] != c.lastSeenStamps[i]) {
                        c.lastSeenStamps[i] = c.changeStamps[i];
                        hint += kWords[i - 1];
                    }
                }
            }
        }
        if (!hint.empty()) {
            CheckHr(trace, RefreshConfig(CBstr(hint)));
        }
        if (GetTickCount() - m_lastStorageUpdate >= kStorageIntervalMs) {
            CheckHr(trace, UpdateStorageStatus());
            m_lastStorageUpdate = GetTickCount();
        }
        CheckHr(trace, resourceFailure);
    });
}

HRESULT CChannel::PublishStatus(CChanAccess* access) {
    CTmsEntryPoint trace("CChannel::PublishStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        if (access == nullptr) {
            return;
        }
        CStatusFileLock file(access);
        if (!file.Acquired()) {
            return;
        }
        {
            // Written from where it is kept: a copy of 36 characters would
            // allocate every cycle.
            CCriticalSectionLock shared(m_sharedCs);
            file.WriteWide(block::kAppServerUuid, block::kNameChars, m_appServerUuid);
        }
        bool busy = false;
        {
            CCriticalSectionLock status(m_statusLock);
            busy = m_status.busySinceIdle;
            const auto k = static_cast<std::size_t>(
                access->IncrementIndex(reinterpret_cast<LONG*>(file.Block() + block::kRingIndex)));
            file.Write16(block::kCycleRing + 2 * k, m_status.cycle);
            file.Write32(block::kGpiInputs, m_status.gpiMask);
            file.Write32(block::kPublisherPid, m_publisherPid);
            file.Write32(block::kPublisherTick, GetTickCount());
            static_assert(sizeof m_status.storage ==
                          statusmem::kStorageEntries * statusmem::kStorageEntrySize);
            std::memcpy(file.Block() + statusmem::kStorage, m_status.storage.data(),
                        sizeof m_status.storage);
            // Other processes mark configuration changes here. Kept under
            // the status lock: the channel lock is taken around the mutex
            // elsewhere, never inside it.
            for (int i = 0; i < ChannelConfig::kChangeStamps; ++i) {
                m_status.stamps[static_cast<std::size_t>(i)] = file.Read32(block::kChangeStamps[i]);
            }
            m_status.stampsRead = true;
        }
        CPassResources resources(m_publishResources);
        CopyResources(&resources.Room());
        for (const auto& resource : resources.Room()) {
            CheckHr(trace, resource->PublishStatus(*access));
        }
        if (busy) {
            for (const auto& context : m_contexts) {
                if (const HRESULT hr = context->PublishStatus(file, *access, false); FAILED(hr)) {
                    CheckHr(trace, hr);
                }
            }
        }
        const auto preview = static_cast<std::int32_t>(file.Read32(block::kPreviewContext));
        long active = -1;
        if (preview != -1 && m_rtsShmem.GetActiveContext(ChannelNumber(), &active) &&
            active == preview) {
            trace.Trace("    %s:Ctx%d: preview context is now active", ChannelName().c_str(),
                        static_cast<int>(preview));
            file.Write32(block::kPreviewContext, 0xFFFFFFFFu);
        }
    });
}

HRESULT CChannel::UpdateStorageStatus() {
    CTmsEntryPoint trace("CChannel::UpdateStorageStatus");
    return TMS_ERROR_FRAME(trace, [&] {
        CVfsLibWrapper& vfs = TmsVfs();
        const int count = std::min(vfs.GetNumFileSystems(), kStorageEntries);
        std::int64_t rate = 0;
        for (const auto& resource : Resources()) {
            if (resource->IsAssignedForRecord()) {
                rate += resource->GetBytesPerSecond();
            }
        }
        const std::int32_t format = VideoFormat();
        const std::uint16_t code = tmsvideo::TimecodeFormatCode(format, false);
        const std::int64_t fieldsPerSecond = CTimecode(0, 0, 1, 0, code).ToFieldCount();
        for (int i = 0; i < count; ++i) {
            char16_t name[10] = {};
            CheckHr(trace, vfs.GetFileSystemName(i, name, 10));
            ULONGLONG total = 0, freeBytes = 0;
            CheckHr(trace, vfs.QueryFileSystemSpace(i, &total, &freeBytes));
            const ULONGLONG reserve = total * 5 / 100;
            total = total > reserve ? total - reserve : 0;
            freeBytes = freeBytes > reserve ? freeBytes - reserve : 0;
            std::int64_t fields = 1;
            if (freeBytes > 0 && rate > 0) {
                fields = std::max<std::int64_t>(
                    1, static_cast<std::int64_t>(freeBytes / static_cast<ULONGLONG>(rate)) *
                           fieldsPerSecond);
            }
            const auto remaining =
                static_cast<std::int32_t>(std::min<std::int64_t>(fields, 0x7FFFFFFF));
            const std::u16string text = Utf8ToUtf16(CTimecode(remaining, code).ToString());
            StorageEntry entry{};
            std::uint8_t* e = entry.data();
            for (int c = 0; c < 10 && name[c] != 0; ++c) {
                e[2 * c] = static_cast<std::uint8_t>(name[c]);
                e[2 * c + 1] = static_cast<std::uint8_t>(name[c] >> 8);
            }
            std::memcpy(e + entry_at::kTotalBytes, &total, 8);
            std::memcpy(e + entry_at::kFreeBytes, &freeBytes, 8);
            std::memcpy(e + entry_at::kRemainingFields, &remaining, 4);
            for (std::size_t c = 0; c < text.size() && c < entry_at::kTimeChars - 1; ++c) {
                e[entry_at::kRemainingText + 2 * c] = static_cast<std::uint8_t>(text[c]);
                e[entry_at::kRemainingText + 2 * c + 1] = static_cast<std::uint8_t>(text[c] >> 8);
            }
            const std::int32_t state = remaining <= 1 ? 2 : 1;
            std::memcpy(e + entry_at::kState, &state, 4);
            CCriticalSectionLock status(m_statusLock);
            m_status.storage[static_cast<std::size_t>(i)] = entry;
        }
    });
}

HRESULT CChannel::GetStorage(BSTR bstrVolume, long* pTotalStorage, long* pRemainingStorage,
                             long* pRemainingFields) {
    const std::string volume = CBstr::FromBstr(bstrVolume).ToUtf8();
    CTmsEntryPoint trace("CChannel::GetStorage");
    return TMS_COM_BOUNDARY(trace, IID_ITmsChannel, [&] {
        if (pTotalStorage == nullptr || pRemainingStorage == nullptr ||
            pRemainingFields == nullptr) {
            TMS_RAISE(trace, E_POINTER, "GetStorage: no place for the results");
        }
        CCriticalSectionLock status(m_statusLock);
        for (const StorageEntry& entry : m_status.storage) {
            std::u16string name;
            for (int c = 0; c < 36; ++c) {
                const char16_t ch = static_cast<char16_t>(entry[2 * c] | entry[2 * c + 1] << 8);
                if (ch == 0) {
                    break;
                }
                name += ch;
            }
            if (name.empty() || !EqualsNoCase(Utf16ToUtf8(name), volume)) {
                continue;
            }
            ULONGLONG total = 0, freeBytes = 0;
            std::int32_t fields = 0;
            std::memcpy(&total, entry.data() + entry_at::kTotalBytes, 8);
            std::memcpy(&freeBytes, entry.data() + entry_at::kFreeBytes, 8);
            std::memcpy(&fields, entry.data() + entry_at::kRemainingFields, 4);
            *pTotalStorage = static_cast<long>(static_cast<std::int32_t>(total >> 20));
            *pRemainingStorage = static_cast<long>(static_cast<std::int32_t>(freeBytes >> 20));
            *pRemainingFields = fields;
            return;
        }
        TMS_RAISE(trace, kUnknownVolume, "Unknown disk volume '%s'", volume.c_str());
    });
}

bool CChannel::StringToChanStatus(const std::string& name, VARIANT* value) {
    CTmsEntryPoint trace("CChannel::StringToChanStatus");
    // Every query asks here first: other names go on at once, without
    // copying the channel's settings.
    static const std::unordered_set<std::string_view> kNames = {"channelname",
                                                                "channelindex",
                                                                "channeltype",
                                                                "ownername",
                                                                "owneruuid",
                                                                "videoformat",
                                                                "videoformatstr",
                                                                "fieldsperframe",
                                                                "timecodestr",
                                                                "dropframe",
                                                                "devicetype",
                                                                "preroll",
                                                                "videocompressiontype",
                                                                "storagestatus",
                                                                "storagestatusstr",
                                                                "gpiinputs",
                                                                "etoe",
                                                                "aspectratio",
                                                                "capabilities1",
                                                                "capabilities2",
                                                                "compatibilitymask1",
                                                                "compatibilitymask2",
                                                                "timeofday",
                                                                "timeofdaystr",
                                                                "channelid",
                                                                "bidirectional"};
    if (kNames.count(name) == 0) {
        return false;
    }
    // A channel with a timecode resource leaves these to it.
    if ((name == "timecodestr" || name == "dropframe") && FirstTimecodeResource() != nullptr) {
        return false;
    }
    std::string id, type, owner, uuid, model;
    std::int32_t index = -1, format = 255;
    {
        CCriticalSectionLock shared(m_sharedCs);
        id = m_contextChannelName;
        index = m_contextChannelNumber;
        type = m_contextChannelType;
        format = m_contextVideoFormat;
        owner = m_contextApplication;
        uuid = m_appServerUuid;
        model = m_contextModel;
    }
    auto videoProperty = [&](const char* property) {
        for (const auto& r : Resources()) {
            if (EqualsNoCase(r->TypeNameUtf8(), "video")) {
                CVariant v;
                if (r->GetProperty(property, v.GetAddress()) == S_OK) {
                    return v.ToString();
                }
                break;
            }
        }
        return std::string("Unknown");
    };
    auto storageState = [&] {
        // The kept entry: a query never waits for the status-file mutex.
        CCriticalSectionLock status(m_statusLock);
        std::int32_t state = 0;
        std::memcpy(&state, m_status.storage[0].data() + entry_at::kState, 4);
        return state;
    };
    if (name == "channelname" || name == "channelid") {
        SetText(value, id);
    } else if (name == "channelindex") {
        SetI4(value, index);
    } else if (name == "channeltype") {
        SetText(value, type);
    } else if (name == "ownername") {
        SetText(value, owner);
    } else if (name == "owneruuid") {
        SetText(value, uuid);
    } else if (name == "videoformat") {
        SetI4(value, format);
    } else if (name == "videoformatstr") {
        SetText(value, tmsvideo::NameFromFormat(format, tmsvideo::kFormatInvalid));
    } else if (name == "fieldsperframe") {
        SetI4(value, tmsvideo::FieldsPerFrame(format));
    } else if (name == "timecodestr") {
        SetText(value, "00:00:00.00");
    } else if (name == "dropframe") {
        SetBool(value, true);
    } else if (name == "devicetype") {
        SetText(value, model);
    } else if (name == "preroll") {
        SetI4(value, 10);
    } else if (name == "videocompressiontype") {
        SetText(value, videoProperty("compression"));
    } else if (name == "storagestatus") {
        SetI4(value, storageState());
    } else if (name == "storagestatusstr") {
        SetText(value, StorageStateName(storageState()));
    } else if (name == "gpiinputs") {
        std::uint32_t mask = 0;
        {
            CCriticalSectionLock status(m_statusLock);
            mask = m_status.gpiMask;
        }
        const std::uint32_t last = m_lastReportedGpi.exchange(mask);
        const std::uint32_t changed = last == 0xFFFFFFFFu ? 0 : (mask ^ last);
        if (last != 0xFFFFFFFFu) {
            trace.LogMsg("%s: changed GPI inputs = 0x%x", id.c_str(), changed);
        }
        SetI4(value, static_cast<std::int32_t>(changed));
    } else if (name == "etoe") {
        SetBool(value, m_eeState.load());
    } else if (name == "aspectratio") {
        SetText(value, videoProperty("aspectratio"));
    } else if (name == "capabilities1" || name == "capabilities2") {
        unsigned int first = 0, second = 0;
        GetChannelCapabilities(&first, &second);
        SetI4(value, static_cast<std::int32_t>(name == "capabilities1" ? first : second));
    } else if (name == "compatibilitymask1" || name == "compatibilitymask2") {
        unsigned first = 0, second = 0;
        AppServerUtil::GetCompatibilityMasks(&first, &second);
        SetI4(value, static_cast<std::int32_t>(name == "compatibilitymask1" ? first : second));
    } else if (name == "timeofday" || name == "timeofdaystr") {
        unsigned tod = 0x80000000u;
        if (!m_rtsShmem.GetTimeOfDay(&tod)) {
            tod = 0x80000000u;
        }
        if (name == "timeofday") {
            SetI4(value, static_cast<std::int32_t>(tod));
        } else {
            const std::uint16_t code = tmsvideo::TimecodeFormatCode(format, false);
            const int fieldsPerFrame = std::max(1, tmsvideo::FieldsPerFrame(format));
            SetText(value, CTimecode(static_cast<int>((tod >> 24) & 0x1F),
                                     static_cast<int>((tod >> 16) & 0x3F),
                                     static_cast<int>((tod >> 8) & 0x3F),
                                     static_cast<int>(tod & 0x3F) * fieldsPerFrame, code)
                               .ToString());
        }
    } else if (name == "bidirectional") {
        SetBool(value, type == "PlayerRecorder");
    } else {
        return false;
    }
    return true;
}
