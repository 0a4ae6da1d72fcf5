// The script language of tmsctl run: one call on the channel's public
// interfaces per line, each printed with its HRESULT (name and message on
// failure). README.md lists the commands.
#pragma once

#include <iosfwd>

struct ITmsChannel;

namespace tmsctl {

class CChannelScript {
public:
    // The script drives the given channel, or a TmsChannel it creates.
    explicit CChannelScript(ITmsChannel* channel = nullptr) : m_channel(channel) {}

    // 0 when every call succeeded, 1 when one failed, 2 for a bad line
    // (the script stops there).
    int Run(std::istream& in, std::ostream& out);

private:
    ITmsChannel* m_channel;  // the caller's reference keeps it alive
};

// Registers (or removes) the component and the servers it needs in the
// runtime folder's class registry.
int RegisterServers(bool unregister);

}  // namespace tmsctl
