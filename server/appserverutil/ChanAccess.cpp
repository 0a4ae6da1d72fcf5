#include "server/appserverutil/ChanAccess.h"

#include <cstring>

#include "platform/com/ErrorInfo.h"
#include "platform/com/SafeArray.h"
#include "platform/kernel/LastError.h"
#include "platform/kernel/LocalTime.h"
#include "platform/kernel/Mutex.h"
#include "platform/kernel/WaitFunctions.h"
#include "server/appserverutil/StatusMemoryLayout.h"
#include "server/errorlog/ErrorLog.h"

namespace {

HRESULT Fail(HRESULT hr, const std::string& text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    ErrorLogWriteExW(hr, now, 0, ERRORLOG_LEVEL_ERROR, "ChanAccess.cpp", 0, 0, text.c_str(), 0);
    return ReportErrorInfo(hr, IID_NULL, "CChanAccess", text);
}

}  // namespace

// Holds the status-file mutex for a scope; a mutex abandoned by a dead
// process is taken over.
class CChanAccess::CStatusLock {
public:
    explicit CStatusLock(HANDLE mutex) : m_mutex(mutex) {
        DWORD rc = WaitForSingleObject(mutex, statusmem::kMutexTimeoutMs);
        m_held = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    }
    ~CStatusLock() {
        if (m_held)
            ReleaseMutex(m_mutex);
    }
    CStatusLock(const CStatusLock&) = delete;
    CStatusLock& operator=(const CStatusLock&) = delete;
    bool Held() const { return m_held; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

CChanAccess::CChanAccess(LONG channelIndex)
    : CSharedMemory(static_cast<std::uint32_t>(statusmem::kMemorySize), statusmem::kMappingName),
      m_channelIndex(channelIndex) {
    BOOL created = FALSE;
    Open(&created);
}

CChanAccess::~CChanAccess() {
    Close();
}

BOOL CChanAccess::Open(BOOL* created) {
    if (!CSharedMemory::Open(created)) {
        return FALSE;
    }
    if (m_channelIndex >= 0 && m_channelIndex < statusmem::kMaxChannels) {
        m_statusBlock = m_view + static_cast<std::size_t>(m_channelIndex) * statusmem::kBlockSize;
    }
    return TRUE;
}

void CChanAccess::Close() {
    m_statusBlock = nullptr;
    CSharedMemory::Close();
}

HRESULT CChanAccess::NoBlockError() const {
    return Fail(E_UNEXPECTED, "no status block for channel " + std::to_string(m_channelIndex) +
                                  " (status memory not open or index not 0 to 15)");
}

// Runs write on the block under the status-file mutex.
template <class Write>
HRESULT CChanAccess::Locked(Write write) {
    if (m_statusBlock == nullptr) {
        return NoBlockError();
    }
    CStatusLock lock(m_mutex);
    if (!lock.Held()) {
        return Fail(HRESULT_FROM_WIN32(ERROR_TIMEOUT),
                    "channel " + std::to_string(m_channelIndex) + ": status-file mutex timed out");
    }
    write();
    return S_OK;
}

HRESULT CChanAccess::IsChanOffline(bool& offline) const {
    if (m_statusBlock == nullptr)
        return E_UNEXPECTED;
    offline = m_statusBlock[statusmem::kChannelOffline] != 0;
    return S_OK;
}

HRESULT CChanAccess::IsSysOffline(bool& offline) const {
    if (m_statusBlock == nullptr)
        return E_UNEXPECTED;
    offline = m_statusBlock[statusmem::kSystemOffline] != 0;
    return S_OK;
}

HRESULT CChanAccess::SetChanOfflineEvent(bool offline) {
    return Locked([&] { m_statusBlock[statusmem::kChannelOffline] = offline ? 1 : 0; });
}

HRESULT CChanAccess::SetSysOffline(bool offline) {
    return Locked([&] {
        for (int c = 0; c < statusmem::kMaxChannels; ++c) {
            m_view[c * statusmem::kBlockSize + statusmem::kSystemOffline] = offline ? 1 : 0;
        }
    });
}

HRESULT CChanAccess::ClearChannelStatus() {
    return Locked([&] {
        const std::uint8_t chanOffline = m_statusBlock[statusmem::kChannelOffline];
        const std::uint8_t sysOffline = m_statusBlock[statusmem::kSystemOffline];
        std::memset(m_statusBlock + statusmem::kChannelStatusBegin, 0,
                    statusmem::kChangeStampsBegin - statusmem::kChannelStatusBegin);
        m_statusBlock[statusmem::kChannelOffline] = chanOffline;
        m_statusBlock[statusmem::kSystemOffline] = sysOffline;
        std::memset(m_statusBlock + statusmem::kThumbnail, 0, 4);
    });
}

HRESULT CChanAccess::ClearPortStatus() {
    return Locked([&] {
        for (const statusmem::ByteRange& range : statusmem::kPortStatusRanges) {
            std::memset(m_statusBlock + range.begin, 0, range.end - range.begin);
        }
    });
}

LONG CChanAccess::IncrementIndex(LONG* index) {
    if (m_statusBlock == nullptr || index == nullptr) {
        return 0;
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(index);
    const std::ptrdiff_t offset = p - m_statusBlock;
    LONG slots = 0;
    for (const statusmem::Ring& r : statusmem::kRings) {
        if (offset == static_cast<std::ptrdiff_t>(r.indexOffset))
            slots = r.slots;
    }
    if (offset >= static_cast<std::ptrdiff_t>(statusmem::kAudioRingIndex) &&
        offset <
            static_cast<std::ptrdiff_t>(statusmem::kAudioRingIndex + 4 * statusmem::kAudioRings) &&
        (offset - static_cast<std::ptrdiff_t>(statusmem::kAudioRingIndex)) % 4 == 0) {
        slots = statusmem::kResourceRingSlots;
    }
    if (slots == 0) {
        if (m_lastBadRing != static_cast<LONG>(offset)) {
            m_lastBadRing = static_cast<LONG>(offset);
            Fail(E_INVALIDARG, "IncrementIndex: channel " + std::to_string(m_channelIndex) +
                                   " has no ring index at block offset " + std::to_string(offset));
        }
        return 0;
    }
    LONG current;
    std::memcpy(&current, index, sizeof current);
    // A stored index out of range (a torn or foreign write) restarts the ring.
    const LONG next = (current < 0 || current >= slots - 1) ? 0 : current + 1;
    std::memcpy(index, &next, sizeof next);
    return next;
}

HRESULT CChanAccess::StringToStatus(const std::string& name, bool /*range*/, LONG* /*startTick*/,
                                    LONG* /*endTick*/, VARIANT* value) {
    if (m_statusBlock == nullptr)
        return NoBlockError();
    if (value == nullptr)
        return E_POINTER;
    if (name != "portstate" && name != "shuttlespeed") {
        return Fail(E_INVALIDARG,
                    "unknown channel status name '" + name + "' (known: portstate, shuttlespeed)");
    }
    VariantClear(value);
    // Under the status-file mutex: the monitor publishes the ring slot and
    // moves its index in one locked step, and a reader here must not see
    // the index of one publication with the values of another.
    return Locked([&] {
        LONG slot;
        std::memcpy(&slot, m_statusBlock + statusmem::kContextRingIndex, sizeof slot);
        if (slot < 0 || slot >= statusmem::kResourceRingSlots)
            slot = 0;
        if (name == "portstate") {
            LONG state;
            std::memcpy(&state, m_statusBlock + statusmem::kContextPortState + 4 * slot, 4);
            value->vt = VT_I4;
            value->lVal = state;
        } else {
            float speed;
            std::memcpy(&speed, m_statusBlock + statusmem::kContextSpeed + 4 * slot, 4);
            value->vt = VT_R4;
            value->fltVal = speed;
        }
    });
}

HRESULT CChanAccess::SetThumbnail(const VARIANT& image) {
    if (image.vt == VT_EMPTY || image.vt == VT_NULL)
        return ClearThumbnail();
    if (image.vt != (VT_ARRAY | VT_UI1) || image.parray == nullptr) {
        return Fail(E_INVALIDARG, "a thumbnail is an array of bytes, not VARIANT type " +
                                      std::to_string(image.vt));
    }
    LONG low = 0, high = -1;
    SafeArrayGetLBound(image.parray, 1, &low);
    SafeArrayGetUBound(image.parray, 1, &high);
    const std::size_t bytes = high >= low ? static_cast<std::size_t>(high - low + 1) : 0;
    if (bytes > statusmem::kThumbnailMaxBytes) {
        return Fail(E_INVALIDARG, "thumbnail of " + std::to_string(bytes) +
                                      " bytes is larger than " +
                                      std::to_string(statusmem::kThumbnailMaxBytes));
    }
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(image.parray, &data)))
        return E_INVALIDARG;
    const HRESULT hr = Locked([&] {
        const auto count = static_cast<std::uint32_t>(bytes);
        std::memcpy(m_statusBlock + statusmem::kThumbnail + 4, data, bytes);
        std::memcpy(m_statusBlock + statusmem::kThumbnail, &count, 4);
    });
    SafeArrayUnaccessData(image.parray);
    return hr;
}

HRESULT CChanAccess::ClearThumbnail() {
    return Locked([&] { std::memset(m_statusBlock + statusmem::kThumbnail, 0, 4); });
}

HRESULT CChanAccess::SetCtxAssetUri(LONG context, const char16_t* uri) {
    if (context < 0 || context >= statusmem::kContexts) {
        return Fail(E_INVALIDARG, "context " + std::to_string(context) + " is not 0 to 3");
    }
    return Locked([&] {
        std::uint8_t* slot = m_statusBlock + statusmem::kContextAssetUri +
                             statusmem::kContextAssetUriStride * static_cast<std::size_t>(context);
        std::size_t n = 0;
        while (uri != nullptr && uri[n] != 0 && n < statusmem::kContextAssetUriChars - 1)
            ++n;
        std::memset(slot, 0, statusmem::kContextAssetUriStride);
        if (n > 0)
            std::memcpy(slot, uri, n * sizeof(char16_t));
    });
}
