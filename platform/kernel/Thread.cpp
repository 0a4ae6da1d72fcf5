#include "platform/kernel/Thread.h"

#include "platform/kernel/internal/HandleTable.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>

namespace tmskernel {
namespace {

int NiceFor(int priority) {
    switch (priority) {
        case THREAD_PRIORITY_IDLE:
            return 19;
        case THREAD_PRIORITY_LOWEST:
            return 10;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 5;
        case THREAD_PRIORITY_NORMAL:
            return 0;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -5;
        case THREAD_PRIORITY_HIGHEST:
            return -10;
        case THREAD_PRIORITY_TIME_CRITICAL:
            return -20;
        default:
            return 1000;  // not a level
    }
}

class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(std::string name)
        : KernelObject(ObjectKind::Thread), m_name(std::move(name)) {}

    bool Waitable() const override { return true; }
    Acquired TryAcquire() override REQUIRES(g_kernelLock) {
        return m_finished ? Acquired::Yes : Acquired::No;
    }
    bool Ready() override REQUIRES(g_kernelLock) { return m_finished; }

    const std::string& Name() const { return m_name; }

    DWORD ExitCode() {
        CKernelLock::Guard guard(g_kernelLock);
        return m_finished ? m_exitCode : STILL_ACTIVE;
    }

    int Priority() {
        CKernelLock::Guard guard(g_kernelLock);
        return m_priority;
    }

    BOOL SetPriority(int priority) {
        int nice = NiceFor(priority);
        if (nice == 1000) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        CKernelLock::Guard guard(g_kernelLock);
        if (m_finished) {
            m_priority = priority;
            return TRUE;
        }
        // The thread cannot end while we hold the lock (it marks itself
        // finished under it first), so its id still names it.
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(m_tid), nice) != 0) {
            SetLastError(LastErrorFromErrno(errno));
            return FALSE;
        }
        m_priority = priority;
        return TRUE;
    }

    // On the new thread, before the body.
    void Started() {
        pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
        CKernelLock::Guard guard(g_kernelLock);
        m_tid = tid;
        NotifyWaiters();
    }

    // On the starting thread: returns once the new thread runs, so that a
    // priority set right after Start acts on it (and reports failure).
    void WaitStarted() {
        Waiter waiter;
        CKernelLock::Guard guard(g_kernelLock);
        AddWaiter(&waiter);
        while (m_tid == 0) {
            guard.Wait(waiter.cv);
        }
        RemoveWaiter(&waiter);
    }

    void Finished(DWORD code) {
        CKernelLock::Guard guard(g_kernelLock);
        m_exitCode = code;
        m_finished = true;
        NotifyWaiters();
    }

private:
    const std::string m_name;
    bool m_finished GUARDED_BY(g_kernelLock) = false;
    DWORD m_exitCode GUARDED_BY(g_kernelLock) = STILL_ACTIVE;
    pid_t m_tid GUARDED_BY(g_kernelLock) = 0;
    int m_priority GUARDED_BY(g_kernelLock) = THREAD_PRIORITY_NORMAL;
};

std::shared_ptr<ThreadObject> LookupThread(HANDLE h) {
    return HandleTable::Instance().LookupAs<ThreadObject>(h, ObjectKind::Thread);
}

void RunBody(const std::shared_ptr<ThreadObject>& self, const std::function<DWORD()>& body) {
    ::pthread_setname_np(::pthread_self(), self->Name().c_str());
    self->Started();
    DWORD code = THREAD_EXIT_UNHANDLED_EXCEPTION;
    try {
        code = body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tms: thread %s ended by an exception: %s\n", self->Name().c_str(),
                     e.what());
    } catch (...) {
        std::fprintf(stderr, "tms: thread %s ended by an unknown exception\n",
                     self->Name().c_str());
    }
    self->Finished(code);
}

}  // namespace
}  // namespace tmskernel

using namespace tmskernel;

CThread::CThread() = default;

CThread::~CThread() {
    Join();
}

BOOL CThread::Start(std::function<DWORD()> body, const char* name) {
    if (m_handle.Valid() || !body) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string threadName = name != nullptr ? name : "tms-thread";
    if (threadName.size() > 15) {
        threadName.resize(15);
    }
    auto obj = std::make_shared<ThreadObject>(threadName);
    CHandle handle(HandleTable::Instance().Insert(obj));
    if (!handle) {
        return FALSE;
    }
    try {
        m_thread = std::thread([obj, body = std::move(body)] { RunBody(obj, body); });
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    obj->WaitStarted();
    m_handle = std::move(handle);
    return TRUE;
}

void CThread::Join() {
    if (!m_thread.joinable()) {
        return;
    }
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

DWORD CThread::GetExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (!GetExitCodeThread(m_handle.Get(), &code)) {
        return STILL_ACTIVE;
    }
    return code;
}

BOOL CThread::SetPriority(int priority) {
    return SetThreadPriority(m_handle.Get(), priority);
}

int CThread::GetPriority() const {
    return GetThreadPriority(m_handle.Get());
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
    if (exitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<ThreadObject> obj = LookupThread(thread);
    if (obj == nullptr) {
        return FALSE;
    }
    *exitCode = obj->ExitCode();
    return TRUE;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    std::shared_ptr<ThreadObject> obj = LookupThread(thread);
    return obj != nullptr ? obj->SetPriority(priority) : FALSE;
}

int GetThreadPriority(HANDLE thread) {
    std::shared_ptr<ThreadObject> obj = LookupThread(thread);
    return obj != nullptr ? obj->Priority() : THREAD_PRIORITY_ERROR_RETURN;
}
