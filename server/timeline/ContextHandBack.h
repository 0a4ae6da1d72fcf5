// CContextHandBack: hands the status records that contexts report to a
// timeline back to their brokers' ApplyContextUpdate, on a thread of its
// own, so that the reporting thread (the channel's status monitor) never
// waits for a broker.
//
// Records go out in the order they came, so in order per token. The queue
// holds at most kQueueLimit records; when it is full the oldest is dropped,
// counted and logged. No lock is held while a broker is called.
//
// Thread safety: Register, Queue and Revoke may be called from any thread at
// once, also by a broker from inside ApplyContextUpdate. Revoke waits for a
// running hand-back to the revoked broker, except on the hand-back thread
// itself (a broker revoking itself from its callback), where waiting would
// never end. The destructor may run on the hand-back thread too (the last
// release of the timeline inside a callback): then the thread is detached
// and ends on its own after the callback returns, since the state it uses
// is shared with it, not owned by the destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/kernel/CriticalSection.h"
#include "platform/kernel/Thread.h"
#include "server/timeline/ITmsContextBroker.h"

class CContextHandBack {
public:
    static constexpr std::size_t kQueueLimit = 256;

    // owner names the timeline in log records.
    CContextHandBack(std::string threadName, std::string owner);
    ~CContextHandBack();
    CContextHandBack(const CContextHandBack&) = delete;
    CContextHandBack& operator=(const CContextHandBack&) = delete;

    // Keeps a reference to broker for the token (replacing the one before)
    // and starts the thread at the first call. Throws CMovieError when the
    // thread cannot start.
    void Register(unsigned int token, ITmsContextBroker* broker);
    // Queues a copy of the record; false when the token has no broker.
    bool Queue(unsigned int token, const unsigned char* record, std::size_t size);
    // Drops the broker and its queued records; false when there was none.
    bool Revoke(unsigned int token);

private:
    // What the thread shares with this object, and outlives it with.
    struct Shared;

    const std::string m_threadName;
    const std::shared_ptr<Shared> m_shared;  // with the thread
    CCriticalSection m_threadCs;
    std::unique_ptr<CThread> m_thread GUARDED_BY(m_threadCs);
};
