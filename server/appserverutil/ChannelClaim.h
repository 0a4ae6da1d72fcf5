// CChannelClaim: one process's hold on a channel of the server, so that a
// second controller of the same channel, in this or another process, is
// refused at once instead of queueing behind the first at the RTS port.
//
// The claim is an exclusive lock (flock) on the file claims/channel-NN of
// the runtime folder, taken without waiting. The kernel drops it with the
// process, so a controller that crashed never leaves its channel claimed.
// The holder writes one line into the file, "<pid> <process>\t<application>",
// which a refused claimant reads to say who holds the channel; a line being
// written or left by an old holder is only a hint, and reads as unknown when
// it cannot be parsed.
//
// Thread safety: an object belongs to its owner (the channel, under its
// lock); different objects, in one process or several, may claim at once.
#pragma once

#include <optional>
#include <string>

#include "platform/kernel/UniqueFd.h"

class CChannelClaim {
public:
    // Who held the channel when a claim was refused.
    struct Holder {
        int pid = 0;              // 0 when not known
        std::string process;      // the holder's program name, "" when not known
        std::string application;  // the application that opened the channel
    };

    CChannelClaim() = default;
    ~CChannelClaim() { Release(); }
    CChannelClaim(const CChannelClaim&) = delete;
    CChannelClaim& operator=(const CChannelClaim&) = delete;

    // Claims channelIndex for application. true when this object holds it
    // now (also when it already did). false when another holder has it
    // (Busy(), and GetHolder() says who as far as known) or when the claim
    // file could not be made (Error() is the errno).
    bool Claim(int channelIndex, const std::string& application);
    void Release();

    bool Held() const { return m_fd.has_value(); }
    bool Busy() const { return m_busy; }
    int Error() const { return m_error; }
    const Holder& GetHolder() const { return m_holder; }
    // "process 1234 (tmsctl, application 'automation')", or "another
    // process" when the holder did not say.
    std::string HolderText() const;

    // The claim file of a channel in the current runtime folder.
    static std::string PathFor(int channelIndex);

private:
    std::optional<CUniqueFd> m_fd;  // the locked claim file while held
    int m_channelIndex = -1;
    bool m_busy = false;
    int m_error = 0;
    Holder m_holder;
};
