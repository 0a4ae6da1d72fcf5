// Where an installed copy of the system keeps its files, so that programs
// and libraries find each other wherever the copy was installed:
//
//   PREFIX/bin/                      tmsctl, tms-rtssim
//   PREFIX/lib/tmschannel/           every library, the servers that
//                                    activation loads included
//   PREFIX/share/tmschannel/         the sample configuration
//
// A module (a program or a library) learns PREFIX from its own folder: bin/
// or lib/tmschannel/. A module in the build tree is in neither and keeps the
// paths the build gave it.
//
// Thread safety: any thread; reads only the loader's tables and the file
// system.
#pragma once

#include <optional>
#include <string>

// PREFIX of the module that holds addressInModule (any function of it),
// "" for the root; empty when that module is not in an installed layout.
std::optional<std::string> InstallPrefixOf(const void* addressInModule);

// The file of a module the loader reported as reported: itself when it is
// an absolute path, else (the main program, by the name it was started
// with: "tmsctl", "./tmsctl") selfExe, the program's own file.
std::string ModuleFileOf(const std::string& reported, const std::string& selfExe);

// PREFIX of a module in folder (no trailing slash): the folder less /bin
// or /lib/tmschannel; empty for any other folder.
std::optional<std::string> InstallPrefixOfFolder(const std::string& folder);

// PREFIX/relative when the module is installed and that file exists, else
// builtPath.
std::string InstalledPathOr(const void* addressInModule, const std::string& relative,
                            const std::string& builtPath);
