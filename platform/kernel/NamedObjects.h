// Removing the named objects (mutexes, mappings) of a runtime folder.
//
// Thread safety: any thread may call these. Removing a name does not disturb
// those who have the object open or mapped: they keep it, and the next create
// of the name makes a new object.
//
// Named objects are POSIX shared-memory objects and outlive the processes that
// made them; tests remove theirs at the end, and a tool may clear a runtime
// folder's objects after a crash.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/WinTypes.h"

// Removes the object of this name in the current runtime folder. FALSE with
// ERROR_FILE_NOT_FOUND when there is none.
BOOL UnlinkNamedObject(const char* name);

// Removes every named object of the current runtime folder; returns how many.
DWORD UnlinkAllNamedObjects();

// A process that has a named object of the current runtime folder open or
// mapped.
struct NamedObjectUser {
    int pid;
    std::string program;  // its name as the kernel shows it ("tms-rtssim")
};

// Every process, this one included, that has one of the current runtime
// folder's named objects open or mapped, in pid order; found through /proc, so
// processes of other users (who cannot open the 0600 objects anyway) are not
// seen. A process that opens an object after this call is not counted.
std::vector<NamedObjectUser> NamedObjectUsers();
