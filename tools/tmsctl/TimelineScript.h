// The timeline and context commands of tmsctl run: timelines by code,
// contexts by token; "." names the last timeline created or opened, or the
// last context allocated.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/com/ComPtr.h"
#include "platform/com/Variant.h"
#include "server/ipmclient/RtsShmem.h"
#include "tmschannel/tmschannel.h"

namespace tmsctl {

class CTimelineScript {
public:
    explicit CTimelineScript(ITmsChannel* channel) : m_channel(channel) {}

    // False when command is not one of this class's; else the call's
    // HRESULT in *hr, and a value to print in *value when *show is set.
    // A bad line sets *usage to the command's usage text.
    bool Run(const std::string& command, const std::vector<std::string>& args, std::ostream& out,
             HRESULT* hr, CVariant* value, bool* show, const char** usage);

    // The commands, for the list of an unknown command.
    static const char* Names() {
        return "timeline, alloc, free, status, wait, port, change, cue, play, shuttle, stop, "
               "seek, limits, schedule, unschedule";
    }

private:
    HRESULT Timeline(const std::vector<std::string>& a, std::ostream& out, CVariant* value,
                     bool* show, const char** usage);
    HRESULT Show(IUnknown* timeline, std::ostream& out);
    // Appends a segment of length fields to every track that has one.
    HRESULT Append(IUnknown* timeline, long length);
    // The context's port as the RTS publishes it.
    HRESULT Port(std::uint32_t token, std::ostream& out);
    bool Code(const std::string& text, std::uint16_t* code) const;
    bool Token(const std::string& text, std::uint32_t* token) const;
    // A context change from "field=value" words; false with *usage set for
    // a word it does not know.
    HRESULT Change(std::uint32_t token, const std::vector<std::string>& fields, const char** usage);
    // The 124-byte change record of "field=value" words; false with *usage
    // set for a word it does not know.
    bool ChangeRecord(std::uint32_t token, const std::vector<std::string>& fields,
                      const char** usage, unsigned char (&record)[124]) const;
    // The channel's broker; the QueryInterface result in *hr.
    CComPtr<ITmsContextBroker> Broker(HRESULT* hr) const;
    // "schedule TOKEN NAME at=... FIELD=VALUE..." and "unschedule TOKEN NAME".
    HRESULT Schedule(bool cancel, const std::vector<std::string>& a, const char** usage);
    // The length of the movie the token's timeline holds (0 when unknown).
    std::int32_t MovieLength(std::uint32_t token) const;

    ITmsChannel* m_channel;
    std::map<std::uint16_t, CComPtr<IUnknown>> m_timelines;
    std::uint16_t m_lastCode = 0;
    std::uint32_t m_lastToken = 0;
    CRtsShmem m_rts;  // opened by the first port command
};

}  // namespace tmsctl
