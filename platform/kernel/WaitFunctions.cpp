#include "platform/kernel/WaitFunctions.h"

#include "platform/kernel/internal/HandleTable.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <span>
#include <vector>

using namespace tmskernel;

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait that includes a named mutex tries it again.
constexpr auto kPollInterval = std::chrono::milliseconds(1);

using Objects = std::span<const std::shared_ptr<KernelObject>>;

DWORD ResultFor(Acquired a, DWORD index) {
    return a == Acquired::Abandoned ? WAIT_ABANDONED_0 + index : WAIT_OBJECT_0 + index;
}

// One pass over the objects for a wait on any of them; WAIT_TIMEOUT when none
// was signalled.
DWORD TryAny(Objects objects) REQUIRES(g_kernelLock) {
    for (DWORD i = 0; i < objects.size(); ++i) {
        Acquired a = objects[i]->TryAcquire();
        if (a == Acquired::Failed) {
            return WAIT_FAILED;
        }
        if (a != Acquired::No) {
            return ResultFor(a, i);
        }
    }
    return WAIT_TIMEOUT;
}

// One pass for a wait on all of them. abandoned[i] remembers a named mutex
// found abandoned in an earlier pass that had to back out.
DWORD TryAll(Objects objects, std::vector<bool>& abandoned) REQUIRES(g_kernelLock) {
    for (const auto& obj : objects) {
        if (!obj->Ready()) {
            return WAIT_TIMEOUT;
        }
    }
    // Every in-process object is ready and stays so while we hold the lock;
    // only the polled ones can still refuse.
    std::vector<std::size_t> taken;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (!objects[i]->Polled()) {
            continue;
        }
        Acquired a = objects[i]->TryAcquire();
        if (a == Acquired::Yes || a == Acquired::Abandoned) {
            abandoned[i] = abandoned[i] || a == Acquired::Abandoned;
            taken.push_back(i);
            continue;
        }
        for (std::size_t j : taken) {
            objects[j]->Undo();
        }
        return a == Acquired::Failed ? WAIT_FAILED : WAIT_TIMEOUT;
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (!objects[i]->Polled() && objects[i]->TryAcquire() == Acquired::Abandoned) {
            abandoned[i] = true;
        }
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
        if (abandoned[i]) {
            return WAIT_ABANDONED_0 + static_cast<DWORD>(i);
        }
    }
    return WAIT_OBJECT_0;
}

DWORD WaitOn(Objects objects, bool waitAll, DWORD ms) {
    const bool infinite = ms == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(infinite ? 0 : ms);
    const bool polled =
        std::any_of(objects.begin(), objects.end(), [](const auto& o) { return o->Polled(); });

    if (objects.size() == 1 && polled) {
        // A named mutex alone: let the system block for us.
        Acquired a = objects[0]->AcquireFor(ms);
        if (a == Acquired::Failed) {
            return WAIT_FAILED;
        }
        return a == Acquired::No ? WAIT_TIMEOUT : ResultFor(a, 0);
    }

    std::vector<bool> abandoned(objects.size(), false);
    Waiter waiter;
    CKernelLock::Guard guard(g_kernelLock);
    bool registered = false;
    DWORD result;
    for (;;) {
        result = waitAll ? TryAll(objects, abandoned) : TryAny(objects);
        if (result != WAIT_TIMEOUT) {
            break;
        }
        Clock::time_point now = Clock::now();
        if (!infinite && now >= deadline) {
            break;
        }
        if (!registered) {
            for (const auto& obj : objects) {
                obj->AddWaiter(&waiter);
            }
            registered = true;
        }
        Clock::time_point wakeAt = infinite ? Clock::time_point::max() : deadline;
        if (polled) {
            wakeAt = std::min(wakeAt, now + kPollInterval);
        }
        if (wakeAt == Clock::time_point::max()) {
            guard.Wait(waiter.cv);
        } else {
            guard.WaitUntil(waiter.cv, wakeAt);
        }
    }
    if (registered) {
        for (const auto& obj : objects) {
            obj->RemoveWaiter(&waiter);
        }
    }
    return result;
}

}  // namespace

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
    return WaitForMultipleObjects(1, &handle, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // A single object, the common wait, needs no list on the heap.
    std::shared_ptr<KernelObject> single;
    std::vector<std::shared_ptr<KernelObject>> objects;
    if (count > 1) {
        objects.reserve(count);
    }
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<KernelObject> obj = HandleTable::Instance().Lookup(handles[i]);
        if (obj == nullptr || !obj->Waitable()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll && std::find(objects.begin(), objects.end(), obj) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        if (count == 1) {
            single = std::move(obj);
        } else {
            objects.push_back(std::move(obj));
        }
    }
    return WaitOn(count == 1 ? Objects(&single, 1) : Objects(objects), waitAll != FALSE, ms);
}
