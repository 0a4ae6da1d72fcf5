#include "server/timeline/ContextHandBack.h"

#include <condition_variable>
#include <cstdio>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com/ComPtr.h"
#include "platform/com/ModuleLock.h"
#include "platform/kernel/CriticalSectionLock.h"
#include "server/errorlog/ErrorLog.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/TimelineCall.h"
#include "platform/kernel/WaitableLock.h"

namespace {

// A queued record. The slots of the ring keep their buffers, so that in
// steady state queueing copies without allocating.
struct Record {
    unsigned int token = 0;
    std::vector<unsigned char> bytes;

    void Assign(unsigned int t, const unsigned char* data, std::size_t size) {
        token = t;
        bytes.assign(data, data + size);
    }
};

// The records waiting, oldest first, in a ring of fixed capacity.
class CRecordRing {
public:
    explicit CRecordRing(std::size_t capacity) : m_slots(capacity) {}
    bool Empty() const { return m_count == 0; }
    bool Full() const { return m_count == m_slots.size(); }
    Record& Front() { return m_slots[m_head]; }
    void PopFront() {
        m_head = (m_head + 1) % m_slots.size();
        --m_count;
    }
    // The slot behind the last; the caller fills it.
    Record& PushBack() {
        Record& slot = m_slots[(m_head + m_count) % m_slots.size()];
        ++m_count;
        return slot;
    }
    void Clear() { m_count = 0; }
    // Drops the records of token, keeping the order of the others.
    void Erase(unsigned int token) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_count; ++i) {
            Record& r = m_slots[(m_head + i) % m_slots.size()];
            if (r.token != token) {
                std::swap(m_slots[(m_head + kept) % m_slots.size()], r);
                ++kept;
            }
        }
        m_count = kept;
    }

private:
    std::vector<Record> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

// Logs the 1st, 2nd, 4th, 8th... occurrence, so a fault that repeats every
// status cycle shows without flooding the log.
bool WorthLogging(std::uint64_t count) {
    return (count & (count - 1)) == 0;
}

}  // namespace

struct CContextHandBack::Shared {
    // Keeps the library loaded while a detached thread still runs in it.
    CModuleLock moduleLock;
    std::string owner;  // constant

    CWaitableLock lock;
    std::condition_variable wake;  // a record queued, or stop
    std::condition_variable idle;  // a hand-back returned
    std::map<unsigned int, CComPtr<ITmsContextBroker>> brokers GUARDED_BY(lock);
    CRecordRing queue GUARDED_BY(lock){kQueueLimit};
    bool waiting GUARDED_BY(lock) = false;           // the thread sleeps on wake
    unsigned int callingToken GUARDED_BY(lock) = 0;  // the hand-back running, 0 none
    std::thread::id worker GUARDED_BY(lock);
    bool stop GUARDED_BY(lock) = false;
    std::uint64_t dropped GUARDED_BY(lock) = 0;
    // Hand-back thread only.
    std::uint64_t failures = 0;
    Record current;  // the record being handed back; keeps its buffer

    DWORD Run();
    void CallBroker(ITmsContextBroker* broker, Record& record);
};

DWORD CContextHandBack::Shared::Run() {
    CWaitableLock::Guard guard(lock);
    worker = std::this_thread::get_id();
    for (;;) {
        while (!stop && queue.Empty()) {
            waiting = true;
            guard.Wait(wake);
            waiting = false;
        }
        if (stop) {
            return 0;
        }
        std::swap(current, queue.Front());
        queue.PopFront();
        const auto it = brokers.find(current.token);
        if (it == brokers.end()) {
            continue;  // revoked: its records went with it
        }
        CComPtr<ITmsContextBroker> broker = it->second;
        callingToken = current.token;
        guard.Unlock();
        CallBroker(broker, current);
        broker = nullptr;  // a revoked broker may die here, outside the lock
        guard.Relock();
        callingToken = 0;
        idle.notify_all();
    }
}

void CContextHandBack::Shared::CallBroker(ITmsContextBroker* broker, Record& record) {
    HRESULT hr = E_UNEXPECTED;
    try {
        hr = broker->ApplyContextUpdate(record.token, static_cast<int>(record.bytes.size()),
                                        record.bytes.data());
    } catch (...) {
        hr = E_UNEXPECTED;  // nothing may leave the thread's body
    }
    if (SUCCEEDED(hr)) {
        failures = 0;
        return;
    }
    if (WorthLogging(++failures)) {
        char token[16];
        std::snprintf(token, sizeof token, "0x%x", record.token);
        LogTimelineEvent(ERRORLOG_LEVEL_ERROR, hr, "ContextHandBack.cpp",
                         owner + ": ApplyContextUpdate for context " + token + " failed (" +
                             std::to_string(failures) + " times in a row)");
    }
}

CContextHandBack::CContextHandBack(std::string threadName, std::string owner)
    : m_threadName(std::move(threadName)), m_shared(std::make_shared<Shared>()) {
    m_shared->owner = std::move(owner);
}

CContextHandBack::~CContextHandBack() {
    std::map<unsigned int, CComPtr<ITmsContextBroker>> brokers;  // released after the lock
    {
        CWaitableLock::Guard guard(m_shared->lock);
        m_shared->stop = true;
        m_shared->queue.Clear();
        brokers.swap(m_shared->brokers);
    }
    m_shared->wake.notify_all();
    CCriticalSectionLock lock(m_threadCs);
    m_thread.reset();  // joins; on the hand-back thread itself, detaches
}

void CContextHandBack::Register(unsigned int token, ITmsContextBroker* broker) {
    {
        CCriticalSectionLock lock(m_threadCs);
        if (!m_thread) {
            auto thread = std::make_unique<CThread>();
            if (!thread->Start([shared = m_shared] { return shared->Run(); },
                               m_threadName.c_str())) {
                throw CMovieError(E_OUTOFMEMORY,
                                  m_shared->owner + ": cannot start the context status thread");
            }
            m_thread = std::move(thread);
        }
    }
    CComPtr<ITmsContextBroker> replaced;  // released after the lock
    CWaitableLock::Guard guard(m_shared->lock);
    CComPtr<ITmsContextBroker>& slot = m_shared->brokers[token];
    replaced = std::move(slot);
    slot = broker;
}

bool CContextHandBack::Queue(unsigned int token, const unsigned char* record, std::size_t size) {
    std::uint64_t dropped = 0;
    bool wake = false;
    {
        CWaitableLock::Guard guard(m_shared->lock);
        if (m_shared->brokers.count(token) == 0) {
            return false;
        }
        if (m_shared->queue.Full()) {
            m_shared->queue.PopFront();
            dropped = ++m_shared->dropped;
        }
        m_shared->queue.PushBack().Assign(token, record, size);
        // One wake for the records queued while the thread slept: a
        // thread that is already up takes them all before it sleeps again.
        wake = m_shared->waiting;
        m_shared->waiting = false;
    }
    if (wake) {
        m_shared->wake.notify_one();
    }
    if (dropped != 0 && WorthLogging(dropped)) {
        LogTimelineEvent(ERRORLOG_LEVEL_ERROR, E_FAIL, "ContextHandBack.cpp",
                         m_shared->owner + ": the context status queue is full (" +
                             std::to_string(kQueueLimit) + " records); " + std::to_string(dropped) +
                             " oldest records dropped so far");
    }
    return true;
}

bool CContextHandBack::Revoke(unsigned int token) {
    CComPtr<ITmsContextBroker> revoked;  // released after the lock
    CWaitableLock::Guard guard(m_shared->lock);
    const auto it = m_shared->brokers.find(token);
    if (it == m_shared->brokers.end()) {
        return false;
    }
    revoked = std::move(it->second);
    m_shared->brokers.erase(it);
    m_shared->queue.Erase(token);
    if (std::this_thread::get_id() != m_shared->worker) {
        while (m_shared->callingToken == token) {
            guard.Wait(m_shared->idle);
        }
    }
    return true;
}
