#include "platform/kernel/Mutex.h"

#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/internal/HandleTable.h"
#include "platform/kernel/internal/SharedMutexBlock.h"
#include "platform/kernel/internal/ShmFile.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TMS_THREAD_SANITIZER 1
#endif
#endif
#ifndef TMS_THREAD_SANITIZER
#define TMS_THREAD_SANITIZER 0
#endif

namespace tmskernel {
namespace {

// ---------------------------------------------------------------------------
// Mutex private to the process.

class MutexObject;

// The in-process mutexes the calling thread owns, so that the thread's end
// can abandon them the way the system abandons a dead owner's mutex.
struct OwnedMutexes {
    std::vector<std::weak_ptr<MutexObject>> list;
    ~OwnedMutexes();
};
thread_local OwnedMutexes t_owned;

class MutexObject : public KernelObject, public std::enable_shared_from_this<MutexObject> {
public:
    MutexObject() : KernelObject(ObjectKind::Mutex) {}

    bool Waitable() const override { return true; }

    bool Ready() override REQUIRES(g_kernelLock) {
        return m_owner == 0 || m_owner == CurrentThreadId();
    }

    Acquired TryAcquire() override REQUIRES(g_kernelLock) {
        std::uint64_t me = CurrentThreadId();
        if (m_owner == me) {
            ++m_count;
            return Acquired::Yes;
        }
        if (m_owner != 0) {
            return Acquired::No;
        }
        m_owner = me;
        m_count = 1;
        t_owned.list.push_back(weak_from_this());
        if (m_abandoned) {
            m_abandoned = false;
            return Acquired::Abandoned;
        }
        return Acquired::Yes;
    }

    BOOL Release() {
        CKernelLock::Guard guard(g_kernelLock);
        if (m_owner != CurrentThreadId()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--m_count == 0) {
            m_owner = 0;
            ForgetOwned();
            NotifyWaiters();
        }
        return TRUE;
    }

    // The owning thread ends while holding the mutex.
    void Abandon() REQUIRES(g_kernelLock) {
        if (m_owner == CurrentThreadId()) {
            m_owner = 0;
            m_count = 0;
            m_abandoned = true;
            NotifyWaiters();
        }
    }

private:
    void ForgetOwned() {
        auto& list = t_owned.list;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->lock().get() == this) {
                list.erase(it);
                return;
            }
        }
    }

    std::uint64_t m_owner GUARDED_BY(g_kernelLock) = 0;
    std::uint32_t m_count GUARDED_BY(g_kernelLock) = 0;
    bool m_abandoned GUARDED_BY(g_kernelLock) = false;
};

OwnedMutexes::~OwnedMutexes() {
    std::vector<std::shared_ptr<MutexObject>> alive;
    for (auto& weak : list) {
        if (auto m = weak.lock()) {
            alive.push_back(std::move(m));
        }
    }
    list.clear();
    CKernelLock::Guard guard(g_kernelLock);
    for (auto& m : alive) {
        m->Abandon();
    }
}

// ---------------------------------------------------------------------------
// Named mutex shared between processes.

class NamedMutexObject : public KernelObject {
public:
    NamedMutexObject(CShmFile file, SharedMutexBlock* block, dev_t dev, ino_t ino)
        : KernelObject(ObjectKind::NamedMutex),
          m_file(std::move(file)),
          m_block(block),
          m_dev(dev),
          m_ino(ino) {}

    ~NamedMutexObject() override {
        // A thread of ours that still holds the mutex has it on its robust
        // list: keep the memory mapped so that the system can mark it
        // abandoned when that thread ends.
        if (m_held.load() == 0) {
            ::munmap(m_block, sizeof(SharedMutexBlock));
        }
    }

    bool Waitable() const override { return true; }
    bool Polled() const override { return true; }
    bool Ready() override REQUIRES(g_kernelLock) { return true; }
    bool Is(dev_t dev, ino_t ino) const { return dev == m_dev && ino == m_ino; }

    Acquired TryAcquire() override REQUIRES(g_kernelLock) {
        return Result(pthread_mutex_trylock(&m_block->mutex));
    }

    void Undo() override REQUIRES(g_kernelLock) { Release(); }

    Acquired AcquireFor(DWORD ms) override {
        if (ms == INFINITE) {
            return Result(pthread_mutex_lock(&m_block->mutex));
        }
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += ms / 1000;
        deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        int rc;
        do {
#if TMS_THREAD_SANITIZER
            // ThreadSanitizer does not see pthread_mutex_clocklock; the
            // sanitized build waits on the wall clock instead.
            struct timespec now, wall;
            clock_gettime(CLOCK_MONOTONIC, &now);
            clock_gettime(CLOCK_REALTIME, &wall);
            wall.tv_sec += deadline.tv_sec - now.tv_sec;
            wall.tv_nsec += deadline.tv_nsec - now.tv_nsec;
            while (wall.tv_nsec < 0) {
                wall.tv_nsec += 1000000000L;
                wall.tv_sec -= 1;
            }
            while (wall.tv_nsec >= 1000000000L) {
                wall.tv_nsec -= 1000000000L;
                wall.tv_sec += 1;
            }
            rc = pthread_mutex_timedlock(&m_block->mutex, &wall);
#else
            rc = pthread_mutex_clocklock(&m_block->mutex, CLOCK_MONOTONIC, &deadline);
#endif
        } while (rc == EINTR);
        return Result(rc);
    }

    BOOL Release() {
        int rc = pthread_mutex_unlock(&m_block->mutex);
        if (rc != 0) {
            SetLastError(rc == EPERM ? ERROR_NOT_OWNER : LastErrorFromErrno(rc));
            return FALSE;
        }
        m_held.fetch_sub(1);
        return TRUE;
    }

    // The lock taken by the constructing call for an initial owner.
    void NoteInitialOwner() {
        m_held.fetch_add(1);
    }

private:
    Acquired Result(int rc) {
        switch (rc) {
            case 0:
                m_held.fetch_add(1);
                return Acquired::Yes;
            case EOWNERDEAD:
                // We own it now; make it usable again for everyone after us.
                pthread_mutex_consistent(&m_block->mutex);
                m_held.fetch_add(1);
                return Acquired::Abandoned;
            case EBUSY:
            case ETIMEDOUT:
                return Acquired::No;
            case ENOTRECOVERABLE:
                std::fprintf(stderr, "tms: named mutex %s can no longer be used\n",
                             m_file.Name().c_str());
                SetLastError(ERROR_GEN_FAILURE);
                return Acquired::Failed;
            default:
                SetLastError(LastErrorFromErrno(rc));
                return Acquired::Failed;
        }
    }

    CShmFile m_file;
    SharedMutexBlock* const m_block;
    const dev_t m_dev;
    const ino_t m_ino;
    // Acquisitions made through this object that are not released yet.
    std::atomic<long> m_held{0};
};

// The named mutexes this process has open, so that every handle of one name
// shares one mapping (and one count of what this process holds).
struct NamedMutexes {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<NamedMutexObject>> byName;  // guarded by lock
};

NamedMutexes& TheNamedMutexes() {
    static NamedMutexes m;
    return m;
}

bool InitialiseBlock(SharedMutexBlock* block) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&block->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        SetLastError(LastErrorFromErrno(rc));
        return false;
    }
    block->version = 1;
    return true;
}

HANDLE OpenNamed(const char* name, bool create, bool initialOwner) {
    std::string objectName = RuntimeObjectName(name);
    NamedMutexes& registry = TheNamedMutexes();
    // Held across the open so two threads of this process never map one
    // name twice.
    std::lock_guard<std::mutex> registryLock(registry.lock);

    CShmFile file;
    bool madeName = false;
    if (!file.Open(objectName, create, &madeName)) {
        return nullptr;
    }
    off_t size = file.Size();
    if (size < 0) {
        return nullptr;
    }
    if (size != 0 && size != static_cast<off_t>(sizeof(SharedMutexBlock))) {
        SetLastError(ERROR_INVALID_HANDLE);  // the name belongs to a file mapping
        return nullptr;
    }
    if (size == 0 && !file.GrowTo(sizeof(SharedMutexBlock))) {
        if (madeName) {
            file.UnlinkName();
        }
        return nullptr;
    }
    struct stat st;
    if (::fstat(file.Fd(), &st) != 0) {
        SetLastError(LastErrorFromErrno(errno));
        return nullptr;
    }

    auto& entry = registry.byName[objectName];
    if (auto existing = entry.lock(); existing != nullptr && existing->Is(st.st_dev, st.st_ino)) {
        HANDLE h = HandleTable::Instance().Insert(std::move(existing));
        if (h != nullptr) {
            SetLastError(ERROR_ALREADY_EXISTS);
        }
        return h;
    }

    void* view =
        ::mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, file.Fd(), 0);
    if (view == MAP_FAILED) {
        SetLastError(LastErrorFromErrno(errno));
        return nullptr;
    }
    auto* block = static_cast<SharedMutexBlock*>(view);
    std::uint64_t magic = block->magic.load(std::memory_order_acquire);
    bool initialised = false;
    if (magic != kNamedMutexMagic) {
        if (magic != 0) {
            ::munmap(view, sizeof(SharedMutexBlock));
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        // Nobody finished initialising it (we made the name, or its maker died
        // half-way); the creation lock makes us the only one doing it.
        if (!InitialiseBlock(block)) {
            ::munmap(view, sizeof(SharedMutexBlock));
            return nullptr;
        }
        initialised = true;
    }
    bool owned = false;
    if (initialised) {
        owned = initialOwner && pthread_mutex_lock(&block->mutex) == 0;
        // Only now may other processes use it.
        block->magic.store(kNamedMutexMagic, std::memory_order_release);
    }
    file.Unlock();
    auto obj = std::make_shared<NamedMutexObject>(std::move(file), block, st.st_dev, st.st_ino);
    if (owned) {
        obj->NoteInitialOwner();
    }
    for (auto it = registry.byName.begin(); it != registry.byName.end();) {
        it = it->second.expired() && it->first != objectName ? registry.byName.erase(it)
                                                             : std::next(it);
    }
    entry = obj;
    HANDLE h = HandleTable::Instance().Insert(obj);
    if (h == nullptr) {
        return nullptr;
    }
    SetLastError(initialised ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return h;
}

}  // namespace
}  // namespace tmskernel

using namespace tmskernel;

HANDLE CreateMutex(void* /*securityAttributes*/, BOOL initialOwner, const char* name) {
    if (name != nullptr && *name != 0) {
        return OpenNamed(name, true, initialOwner != FALSE);
    }
    auto obj = std::make_shared<MutexObject>();
    if (initialOwner) {
        CKernelLock::Guard guard(g_kernelLock);
        obj->TryAcquire();
    }
    HANDLE h = HandleTable::Instance().Insert(std::move(obj));
    if (h != nullptr) {
        SetLastError(ERROR_SUCCESS);
    }
    return h;
}

HANDLE OpenMutex(DWORD /*desiredAccess*/, BOOL /*inheritHandle*/, const char* name) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return OpenNamed(name, false, false);
}

BOOL ReleaseMutex(HANDLE mutex) {
    std::shared_ptr<KernelObject> obj = HandleTable::Instance().Lookup(mutex);
    if (obj == nullptr) {
        return FALSE;
    }
    switch (obj->Kind()) {
        case ObjectKind::Mutex:
            return static_cast<MutexObject&>(*obj).Release();
        case ObjectKind::NamedMutex:
            return static_cast<NamedMutexObject&>(*obj).Release();
        default:
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
    }
}
