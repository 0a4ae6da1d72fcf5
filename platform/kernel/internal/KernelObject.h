// The base of every object a HANDLE names, and the waiter records through
// which a wait sleeps on one or more objects.
//
// Thread safety: members marked GUARDED_BY(g_kernelLock) are read and written
// only under the kernel lock; the rest is constant after construction. The
// virtual wait hooks are called by the wait functions with the kernel lock
// held and must not block.
#pragma once

#include "platform/kernel/ThreadAnnotations.h"
#include "platform/kernel/WinTypes.h"
#include "platform/kernel/internal/KernelLock.h"

#include <condition_variable>
#include <cstdint>
#include <vector>

namespace tmskernel {

enum class ObjectKind { Event, Mutex, NamedMutex, Thread, FileMapping, EventSource };

// What a wait got from one object. Failed: the object is unusable (the last
// error tells why) and the wait fails.
enum class Acquired { No, Yes, Abandoned, Failed };

// One waiting thread. It registers on each object it waits for; a signal on
// any of them notifies its condition variable.
struct Waiter {
    std::condition_variable cv;
};

// A number that names the calling thread for mutex ownership. Unlike a
// pthread_t it is never reused within the process.
std::uint64_t CurrentThreadId();

class KernelObject {
public:
    explicit KernelObject(ObjectKind kind) : m_kind(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind Kind() const { return m_kind; }

    // True for objects that a wait function accepts.
    virtual bool Waitable() const { return false; }

    // True when the object's state lives outside this process (a named mutex)
    // so that no in-process signal announces it; a wait that includes one
    // re-checks it every millisecond.
    virtual bool Polled() const { return false; }

    // Takes the object for the calling thread when it is signalled: consumes
    // an auto-reset event, acquires a mutex. Never blocks.
    virtual Acquired TryAcquire() REQUIRES(g_kernelLock) { return Acquired::No; }

    // Whether TryAcquire would succeed now, without taking anything. Exact for
    // in-process objects (the kernel lock is held); polled objects answer
    // true and are tried instead.
    virtual bool Ready() REQUIRES(g_kernelLock) { return false; }

    // Gives back what a successful TryAcquire took, when a wait for all
    // objects has to back out. Only polled objects are ever undone.
    virtual void Undo() REQUIRES(g_kernelLock) {}

    // For polled objects waited on alone: blocks, without the kernel lock,
    // until the object is acquired or ms (INFINITE: no limit) have passed
    // (Acquired::No).
    virtual Acquired AcquireFor(DWORD ms) { return Acquired::Failed; }

    void AddWaiter(Waiter* w) REQUIRES(g_kernelLock) { m_waiters.push_back(w); }
    void RemoveWaiter(Waiter* w) REQUIRES(g_kernelLock);

protected:
    // Wakes every thread waiting on this object; each re-checks under the
    // lock, so an auto-reset event still goes to exactly one of them.
    void NotifyWaiters() REQUIRES(g_kernelLock);

private:
    const ObjectKind m_kind;
    std::vector<Waiter*> m_waiters GUARDED_BY(g_kernelLock);
};

}  // namespace tmskernel
