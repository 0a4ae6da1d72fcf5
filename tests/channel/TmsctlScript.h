// tmsctl run in another process, for what a second client of the server sees.
#pragma once

#include <string>

namespace tmstest {

// Runs tmsctl on a script of channel calls written into folder; its output,
// stdout and stderr.
std::string RunTmsctlScript(const std::string& folder, const std::string& script);

}  // namespace tmstest
