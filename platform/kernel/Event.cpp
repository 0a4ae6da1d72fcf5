#include "platform/kernel/Event.h"

#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/internal/HandleTable.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace tmskernel {
namespace {

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState)
        : KernelObject(ObjectKind::Event), m_manualReset(manualReset), m_signalled(initialState) {}

    bool Waitable() const override { return true; }

    Acquired TryAcquire() override REQUIRES(g_kernelLock) {
        if (!m_signalled) {
            return Acquired::No;
        }
        if (!m_manualReset) {
            m_signalled = false;
        }
        return Acquired::Yes;
    }

    bool Ready() override REQUIRES(g_kernelLock) { return m_signalled; }

    void Set() {
        CKernelLock::Guard guard(g_kernelLock);
        m_signalled = true;
        NotifyWaiters();
    }

    void Reset() {
        CKernelLock::Guard guard(g_kernelLock);
        m_signalled = false;
    }

private:
    const bool m_manualReset;
    bool m_signalled GUARDED_BY(g_kernelLock);
};

// Named events of this process, by object name (which includes the runtime
// folder). Entries whose event is gone are replaced on the next create.
struct NamedEvents {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<EventObject>> byName;  // guarded by lock
};

NamedEvents& TheNamedEvents() {
    static NamedEvents events;
    return events;
}

std::shared_ptr<EventObject> LookupEvent(HANDLE h) {
    return HandleTable::Instance().LookupAs<EventObject>(h, ObjectKind::Event);
}

}  // namespace
}  // namespace tmskernel

using namespace tmskernel;

HANDLE CreateEvent(void* /*securityAttributes*/, BOOL manualReset, BOOL initialState,
                   const char* name) {
    if (name == nullptr || *name == 0) {
        HANDLE h = HandleTable::Instance().Insert(
            std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
        if (h != nullptr) {
            SetLastError(ERROR_SUCCESS);
        }
        return h;
    }
    std::string key = RuntimeObjectName(name);
    NamedEvents& events = TheNamedEvents();
    std::shared_ptr<EventObject> obj;
    bool existed = false;
    {
        std::lock_guard<std::mutex> lock(events.lock);
        std::weak_ptr<EventObject>& entry = events.byName[key];
        obj = entry.lock();
        existed = obj != nullptr;
        if (!existed) {
            obj = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
            entry = obj;
        }
        // Drop entries of events that are gone so the map does not grow.
        for (auto it = events.byName.begin(); it != events.byName.end();) {
            it = it->second.expired() ? events.byName.erase(it) : std::next(it);
        }
    }
    HANDLE h = HandleTable::Instance().Insert(std::move(obj));
    if (h != nullptr) {
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    return h;
}

BOOL SetEvent(HANDLE event) {
    std::shared_ptr<EventObject> obj = LookupEvent(event);
    if (obj == nullptr) {
        return FALSE;
    }
    obj->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    std::shared_ptr<EventObject> obj = LookupEvent(event);
    if (obj == nullptr) {
        return FALSE;
    }
    obj->Reset();
    return TRUE;
}
