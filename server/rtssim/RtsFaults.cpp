#include "server/rtssim/RtsFaults.h"

#include <cstdlib>
#include <sstream>

namespace {

bool ParseNumber(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (*end != 0 || v < low || v > high)
        return false;
    *out = v;
    return true;
}

}  // namespace

void RtsFaults::Clear() {
    delayMs = 0;
    noReply = false;
    ackStatus = -1;
    malformed = false;
    replySize = 0;
    closeAfter = 0;
    exitAbruptly = false;
}

std::string RtsFaults::Set(const std::string& words) {
    std::istringstream in(words);
    std::string name, arg, extra;
    in >> name >> arg >> extra;
    if (!extra.empty())
        return "too many words in fault '" + words + "'";
    long long n = 0;
    const bool wantsArg =
        name == "delay" || name == "ack" || name == "closeafter" || name == "replysize";
    if (wantsArg && arg.empty())
        return "fault '" + name + "' needs a number";
    if (!wantsArg && !arg.empty())
        return "fault '" + name + "' takes no number";
    if (name == "none") {
        Clear();
    } else if (name == "delay") {
        if (!ParseNumber(arg, 0, 600000, &n))
            return "delay '" + arg + "' is not 0 to 600000 ms";
        delayMs = static_cast<int>(n);
    } else if (name == "noreply") {
        noReply = true;
    } else if (name == "ack") {
        if (!ParseNumber(arg, 0, 0xFFFFFFFFll, &n))
            return "ack status '" + arg + "' is not 0 to 4294967295";
        ackStatus = n;
    } else if (name == "malformed") {
        malformed = true;
    } else if (name == "replysize") {
        if (!ParseNumber(arg, kMinReplySize, kMaxReplySize, &n) || n % 2 != 0)
            return "reply size '" + arg + "' is not an even count of " +
                   std::to_string(kMinReplySize) + " to " + std::to_string(kMaxReplySize) +
                   " bytes";
        replySize = static_cast<int>(n);
    } else if (name == "closeafter") {
        if (!ParseNumber(arg, 1, 1000000000, &n))
            return "closeafter '" + arg + "' is not a count from 1";
        closeAfter = static_cast<int>(n);
    } else if (name == "exit") {
        exitAbruptly = true;
    } else {
        return "unknown fault '" + name +
               "' (none, delay N, noreply, ack N, malformed, replysize N, closeafter N, "
               "exit)";
    }
    return {};
}

std::string RtsFaults::Describe() const {
    std::ostringstream out;
    if (delayMs)
        out << " delay " << delayMs;
    if (noReply)
        out << " noreply";
    if (ackStatus >= 0)
        out << " ack " << ackStatus;
    if (malformed)
        out << " malformed";
    if (replySize)
        out << " replysize " << replySize;
    if (closeAfter)
        out << " closeafter " << closeAfter;
    if (exitAbruptly)
        out << " exit";
    std::string s = out.str();
    return s.empty() ? "none" : s.substr(1);
}
