#include "platform/kernel/RuntimeDir.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// Restores an environment variable at the end of a test.
class EnvRestore {
public:
    explicit EnvRestore(const char* name) : m_name(name) {
        if (const char* v = std::getenv(name)) {
            m_had = true;
            m_value = v;
        }
    }
    ~EnvRestore() {
        if (m_had) {
            ::setenv(m_name, m_value.c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_value;
};

TEST(RuntimeDirTest, TwoFoldersNeverShareNamesOneFolderAlwaysDoes) {
    std::string first, second;
    {
        tmstest::TestRuntimeDir a;
        first = RuntimeObjectName("TmsStatus");
        // Another spelling of the same folder gives the same names.
        ::setenv("TMS_RUNTIME_DIR", (a.Path() + "/./").c_str(), 1);
        EXPECT_EQ(RuntimeObjectName("TmsStatus"), first);
        std::string link = a.Path() + "-link";
        ASSERT_EQ(::symlink(a.Path().c_str(), link.c_str()), 0);
        ::setenv("TMS_RUNTIME_DIR", link.c_str(), 1);
        EXPECT_EQ(RuntimeObjectName("TmsStatus"), first);
        ::unlink(link.c_str());
    }
    {
        tmstest::TestRuntimeDir b;
        second = RuntimeObjectName("TmsStatus");
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind("/tms.", 0), 0u);
    EXPECT_EQ(first.size(), 5 + 16 + 1 + 9u);
    EXPECT_EQ(first.substr(22), "TmsStatus");
}

TEST(RuntimeDirTest, NamesAreCleanedAndCutBelowNameMax) {
    tmstest::TestRuntimeDir dir;
    std::string prefix = RuntimeObjectPrefix();
    EXPECT_EQ(RuntimeObjectName("Global\\a/b\tc\x7f\xc3\xa4"), prefix + "Global_a_b_c___");
    std::string longA(400, 'a'), longB = longA;
    longB.back() = 'b';
    std::string cutA = RuntimeObjectName(longA), cutB = RuntimeObjectName(longB);
    EXPECT_LT(cutA.size(), static_cast<std::size_t>(NAME_MAX));
    EXPECT_NE(cutA, cutB) << "names that differ only past the cut stay apart";
    EXPECT_EQ(cutA.find('/', 1), std::string::npos);
}

TEST(RuntimeDirTest, FolderChoiceAndCreation) {
    EnvRestore own("TMS_RUNTIME_DIR"), xdg("XDG_RUNTIME_DIR");
    tmstest::TestRuntimeDir base;
    std::string nested = base.Path() + "/x/y";
    ::setenv("TMS_RUNTIME_DIR", nested.c_str(), 1);
    EXPECT_EQ(GetRuntimeDir(), nested);
    struct stat st;
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string file = RuntimePath("log/deep/eventlog.log");
    EXPECT_EQ(file, nested + "/log/deep/eventlog.log");
    EXPECT_EQ(::stat((nested + "/log/deep").c_str(), &st), 0);

    ::unsetenv("TMS_RUNTIME_DIR");
    ::setenv("XDG_RUNTIME_DIR", base.Path().c_str(), 1);
    EXPECT_EQ(GetRuntimeDir(), base.Path() + "/tms");
    ::setenv("TMS_RUNTIME_DIR", "", 1);
    EXPECT_EQ(GetRuntimeDir(), base.Path() + "/tms") << "empty counts as unset";
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("TMS_RUNTIME_DIR");
    EXPECT_EQ(GetRuntimeDir(), "/tmp/tms-" + std::to_string(::getuid()));
}

}  // namespace
