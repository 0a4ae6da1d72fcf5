// Fault switches of the RTS simulator, for tests of how clients survive a
// misbehaving RTS. Set from the command line or the control port; read by
// every port thread for each message.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct RtsFaults {
    std::atomic<int> delayMs{0};              // wait before each reply
    std::atomic<bool> noReply{false};         // read requests, never answer
    std::atomic<std::int64_t> ackStatus{-1};  // >= 0: answer every request with this status
    std::atomic<bool> malformed{false};       // answer with bytes that are not a valid reply
    // > 0: a valid reply grown to this many bytes by a trailing filler chunk,
    // for clients whose reply buffer is smaller.
    std::atomic<int> replySize{0};
    std::atomic<int> closeAfter{0};         // > 0: close a client's port after N messages
    std::atomic<bool> exitAbruptly{false};  // _exit at the next message, leaving everything

    void Clear();
    // "none", "delay N", "noreply", "ack N", "malformed", "replysize N",
    // "closeafter N", "exit". Returns "" or what was wrong with the words.
    std::string Set(const std::string& words);
    std::string Describe() const;

    // The sizes "replysize" takes: a filler chunk's header beyond the plain
    // reply, up to the largest message an IPM port carries; RIFF keeps sizes
    // even.
    static constexpr int kMinReplySize = 36;
    static constexpr int kMaxReplySize = 65536;
};
