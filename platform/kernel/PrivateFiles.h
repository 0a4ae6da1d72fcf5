// Private files and folders: everything this system makes under its runtime
// folder (logs, registry, claims, movies, volumes, sockets' folders) belongs
// to the user who runs it alone, whatever the process's umask. Folders it
// makes are 0700 and files it creates 0600; what exists already keeps its
// mode, so an operator's choice is never undone.
//
// Thread safety: all functions may be called from any thread.
//
// Contract:
// - MakePrivateFolders(path): creates path and its missing parents; each
//   folder made here is set to 0700 (the umask cannot widen or narrow it).
//   True when path is a folder afterwards.
// - OpenPrivateFile(path, flags): open(2) of path with flags plus O_CREAT
//   and O_CLOEXEC; a file this call creates is set to 0600. With O_EXCL an
//   existing file fails with EEXIST, as open does. -1 with errno on failure.
// - MakePrivate(fd): sets the file of fd to 0600 (for files made by mkstemp
//   and the like, whose mode the umask narrows); false with errno.
#pragma once

#include <string>

inline constexpr unsigned kPrivateFolderMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;

bool MakePrivateFolders(const std::string& path);
int OpenPrivateFile(const std::string& path, int flags);
bool MakePrivate(int fd);
