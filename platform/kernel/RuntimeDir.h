// The runtime folder: where this system keeps its logs, sockets and the names
// of its shared-memory objects. Each test points it at a folder of its own.
//
// Thread safety: all functions may be called from any thread. They read the
// environment on every call, so a change of TMS_RUNTIME_DIR (made before
// other threads start, as tests do) takes effect at once.
//
// Contract:
// - GetRuntimeDir(): $TMS_RUNTIME_DIR when set and not empty, else
//   $XDG_RUNTIME_DIR + "/tms", else "/tmp/tms-<uid>". The folder and its
//   parents are created (mode 0700) when missing. Creation is best effort:
//   the path is returned either way, and a later open in it reports the
//   failure.
// - RuntimePath(relative): the runtime folder + "/" + relative, with the
//   folders up to the file's parent created.
// - RuntimeObjectName(name): the POSIX shared-memory name under which a named
//   kernel object of this runtime folder lives: "/tms." + 16 hex digits of the
//   64-bit FNV-1a hash of the runtime folder's canonical path + "." + name,
//   with '/', '\\' and every byte outside printable ASCII replaced by '_'.
//   The whole stays shorter than NAME_MAX; a name that has to be cut keeps its
//   first part and ends in "~" + 16 hex digits of the whole name's hash, so
//   two long names that differ only at the end still differ. Two runtime
//   folders never share names.
#pragma once

#include <string>
#include <string_view>

std::string GetRuntimeDir();
std::string RuntimePath(std::string_view relative);
// The path RuntimePath would give, without making any folder: for callers
// that only compare it with one they made before.
std::string PlannedRuntimePath(std::string_view relative);
std::string RuntimeObjectName(std::string_view name);

// The "/tms.<hash>." start that every object name of the current runtime
// folder has (used to find and remove them all).
std::string RuntimeObjectPrefix();
