// Where the system configuration of a runtime folder lives, and its first
// set-up: "system.xml" in the runtime folder, copied from the sample
// configuration the first time anyone asks for it.
//
// The sample is $TMS_SAMPLE_CONFIG when set, else the installed copy's
// share/tmschannel/system.xml, else the config/system.xml this build was
// made from. The copy is made under a temporary name and linked
// into place, so two processes setting up one folder at once never see a
// half-copied file and never overwrite each other's (or a user's) file.
//
// Thread safety: any thread, any process.
#pragma once

#include <string>

// RuntimePath("system.xml").
std::string SystemConfigPath();

// The path of the sample configuration.
std::string SampleConfigPath();

// Makes sure SystemConfigPath() exists, copying the sample when it does not.
// Returns the path; on failure returns "" and sets *error (when given) to a
// message naming the files and the reason.
std::string EnsureSystemConfig(std::string* error = nullptr);
