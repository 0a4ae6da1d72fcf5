#include "platform/kernel/InstallLayout.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

TEST(InstallLayoutTest, PrefixOnlyFromTheInstalledFolders) {
    struct Row {
        const char* folder;
        const char* prefix;  // nullptr: not installed
    } rows[] = {
        {"/usr/bin", "/usr"},
        {"/usr/lib/tmschannel", "/usr"},
        {"/opt/tms/bin", "/opt/tms"},
        {"/bin", ""},
        {"/lib/tmschannel", ""},
        {"/usr/sbin", nullptr},
        {"/usr/lib/mytmschannel", nullptr},
        {"/usr/lib/tmschannel/sub", nullptr},
        {"/usr/lib", nullptr},
        {"/usr/lib/x86_64-linux-gnu", nullptr},
        {"/work/build/tools/tmsctl", nullptr},
        {"/work/build/platform/kernel", nullptr},
        {"bin", nullptr},
        {"", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.folder);
        const std::optional<std::string> prefix = InstallPrefixOfFolder(row.folder);
        ASSERT_EQ(prefix.has_value(), row.prefix != nullptr);
        if (prefix) {
            EXPECT_EQ(*prefix, row.prefix);
        }
    }
}

// A program started as ./tmsctl from PREFIX/bin is reported by that name;
// its folder must come from its own file, not from the working folder.
TEST(InstallLayoutTest, RelativeProgramNamesUseTheProgramsOwnFile) {
    struct Row {
        const char* reported;
        const char* file;
    } rows[] = {
        {"./tmsctl", "/opt/tms/bin/tmsctl"},
        {"tmsctl", "/opt/tms/bin/tmsctl"},
        {"../bin/tmsctl", "/opt/tms/bin/tmsctl"},
        {"bin/tmsctl", "/opt/tms/bin/tmsctl"},
        {"", "/opt/tms/bin/tmsctl"},
        {"/usr/lib/tmschannel/libtmsframe.so", "/usr/lib/tmschannel/libtmsframe.so"},
        {"/work/build/tools/tmsctl/tmsctl", "/work/build/tools/tmsctl/tmsctl"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reported);
        EXPECT_EQ(ModuleFileOf(row.reported, "/opt/tms/bin/tmsctl"), row.file);
    }
}

// The test program lives in the build tree: nothing installed is looked for.
TEST(InstallLayoutTest, BuildTreeModulesKeepTheBuiltPath) {
    const void* here = reinterpret_cast<const void*>(&InstallPrefixOfFolder);
    EXPECT_FALSE(InstallPrefixOf(here).has_value());
    EXPECT_EQ(InstalledPathOr(here, "share/tmschannel/system.xml", "/built/system.xml"),
              "/built/system.xml");
}

}  // namespace
