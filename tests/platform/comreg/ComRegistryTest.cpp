#include "platform/com/ComActivationCodes.h"
#include "platform/com/ComRegistry.h"
#include "tests/platform/comreg/ErrorText.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

constexpr CLSID kClassA = MakeGuid("{11111111-2222-3333-4444-555555555555}");
constexpr CLSID kClassB = MakeGuid("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(ComRegistry, RoundTripKeepsEveryFieldAndUnregisterRemovesItsProgIds) {
    tmstest::TestRuntimeDir dir;
    CComRegistry registry;
    ClassEntry a;
    a.clsid = kClassA;
    a.name = R"(Odd "quoted" \ name # not a comment)";
    a.inprocServer32 = "/opt/my libs/liba.so";
    a.threadingModel = "Free";
    a.progId = "Test.A.1";
    a.versionIndependentProgId = "Test.A";
    a.typeLib = kClassB;
    ASSERT_EQ(S_OK, registry.RegisterClass(a));
    ASSERT_EQ(S_OK, registry.RegisterClass(kClassB, "/lib/b.so", "", ""));
    ASSERT_EQ(S_OK, registry.RegisterProgId("Test.A.1", kClassA, a.name));
    ASSERT_EQ(S_OK, registry.RegisterProgId("Test.A", kClassA, a.name, "Test.A.1"));
    ASSERT_EQ(S_OK, registry.RegisterProgId("Test.B", kClassB));

    // A second object reads what the first wrote.
    CComRegistry reader(registry.Path());
    ClassEntry got;
    ASSERT_EQ(S_OK, reader.LookupClass(kClassA, &got));
    EXPECT_EQ(a.name, got.name);
    EXPECT_EQ(a.inprocServer32, got.inprocServer32);
    EXPECT_EQ("Free", got.threadingModel);
    EXPECT_EQ("Test.A.1", got.progId);
    EXPECT_EQ("Test.A", got.versionIndependentProgId);
    EXPECT_EQ(kClassB, got.typeLib);
    CLSID clsid{};
    ASSERT_EQ(S_OK, reader.LookupProgId("Test.A", &clsid));
    EXPECT_EQ(kClassA, clsid);

    // Registering again replaces the entry rather than adding a second one.
    ASSERT_EQ(S_OK, registry.RegisterClass(kClassA, "/lib/a2.so", "Both", "A"));
    std::vector<ClassEntry> all;
    ASSERT_EQ(S_OK, reader.EnumerateClasses(&all));
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ("/lib/a2.so", all[0].inprocServer32);

    EXPECT_EQ(S_OK, registry.UnregisterClass(kClassA));
    EXPECT_EQ(S_FALSE, registry.UnregisterClass(kClassA));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, reader.LookupClass(kClassA, &got));
    EXPECT_NE(std::string::npos, TakeErrorText().find(GuidToString(kClassA)));
    EXPECT_EQ(CO_E_CLASSSTRING, reader.LookupProgId("Test.A.1", &clsid));
    EXPECT_EQ(CO_E_CLASSSTRING, reader.LookupProgId("Test.A", &clsid));
    EXPECT_EQ(CLSID_NULL, clsid);
    ASSERT_EQ(S_OK, reader.LookupProgId("Test.B", &clsid));
    EXPECT_EQ(kClassB, clsid);
    EXPECT_EQ(S_OK, registry.UnregisterProgId("Test.B"));
    EXPECT_EQ(S_FALSE, registry.UnregisterProgId("Test.B"));
    EXPECT_EQ(S_OK, reader.LookupClass(kClassB, &got));
}

TEST(ComRegistry, RejectsEntriesItCouldNotReadBack) {
    tmstest::TestRuntimeDir dir;
    CComRegistry registry;
    EXPECT_EQ(E_INVALIDARG, registry.RegisterClass(kClassA, "relative/lib.so", "Free", ""));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterClass(kClassA, "/lib/a.so", "Single", ""));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterClass(kClassA, "/lib/a.so", "Free", "two\nlines"));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterProgId("1Starts.With.Digit", kClassA));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterProgId("Has Space", kClassA));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterProgId(std::string(40, 'x'), kClassA));
    EXPECT_EQ(E_INVALIDARG, registry.RegisterProgId("", kClassA));
    EXPECT_EQ(S_OK, registry.RegisterProgId(std::string(39, 'x'), kClassA));
}

TEST(ComRegistry, TwoProcessesRegisteringAtOnceLoseNothing) {
    tmstest::TestRuntimeDir dir;
    constexpr int kPerProcess = 40;
    auto classId = [](int process, int i) {
        CLSID c = kClassA;
        c.Data1 = static_cast<std::uint32_t>(process * 1000 + i);
        return c;
    };
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            CComRegistry registry;
            int failures = 0;
            for (int i = 0; i < kPerProcess; ++i) {
                failures += FAILED(registry.RegisterClass(classId(p, i), "/lib/x.so", "Free", ""));
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<ClassEntry> all;
    ASSERT_EQ(S_OK, CComRegistry().EnumerateClasses(&all));
    EXPECT_EQ(2u * kPerProcess, all.size());
    ClassEntry got;
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < kPerProcess; ++i) {
            EXPECT_EQ(S_OK, CComRegistry().LookupClass(classId(p, i), &got)) << p << " " << i;
        }
    }
}

TEST(ComRegistry, MalformedFileFailsNamingFileAndLine) {
    const std::string good = "CLSID {11111111-2222-3333-4444-555555555555} Name=A\n";
    struct Row {
        const char* what;
        std::string text;
        const char* line;
        const char* message;
    };
    const Row rows[] = {
        {"unknown kind", good + "CLASS {11111111-2222-3333-4444-555555555555}\n", "line 2",
         "unknown entry kind 'CLASS'"},
        {"bad guid", "# c\n\nCLSID {1111-2222}\n", "line 3", "bad class id '{1111-2222}'"},
        {"no guid", "CLSID\n", "line 1", "without its class id"},
        {"unterminated quote", "CLSID {11111111-2222-3333-4444-555555555555} Name=\"abc\n",
         "line 1", "unterminated"},
        {"bad escape", "CLSID {11111111-2222-3333-4444-555555555555} Name=\"a\\nb\"\n", "line 1",
         "bad escape"},
        {"not key=value", good + good.substr(0, good.size() - 1) + " stray\n", "line 2",
         "expected Key=Value, found 'stray'"},
        {"unknown field", "CLSID {11111111-2222-3333-4444-555555555555} Colour=red\n", "line 1",
         "unknown field 'Colour'"},
        {"field twice", "CLSID {11111111-2222-3333-4444-555555555555} Name=a Name=b\n", "line 1",
         "given twice"},
        {"bad threading", "CLSID {11111111-2222-3333-4444-555555555555} ThreadingModel=x\n",
         "line 1", "ThreadingModel 'x'"},
        {"duplicate class", good + good, "line 2", "already registered on line 1"},
        {"progid without clsid", "ProgID A.B Name=x\n", "line 1", "without CLSID="},
        {"bad progid", "ProgID 9A CLSID={11111111-2222-3333-4444-555555555555}\n", "line 1",
         "bad ProgID '9A'"},
        {"bad typelib", "CLSID {11111111-2222-3333-4444-555555555555} TypeLib=zz\n", "line 1",
         "bad TypeLib 'zz'"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        tmstest::TestRuntimeDir dir;
        CComRegistry registry;
        WriteFile(registry.Path(), row.text);
        ClassEntry entry;
        EXPECT_EQ(REGDB_E_INVALIDVALUE, registry.LookupClass(kClassB, &entry));
        const std::string message = TakeErrorText();
        EXPECT_NE(std::string::npos, message.find(registry.Path() + " " + row.line + ":"))
            << message;
        EXPECT_NE(std::string::npos, message.find(row.message)) << message;
        // A change must not rewrite (and so drop) what it could not read.
        EXPECT_EQ(REGDB_E_INVALIDVALUE, registry.RegisterClass(kClassB, "/lib/b.so", "", ""));
        EXPECT_EQ(row.text, tmstest::ReadFileText(registry.Path()));
    }
}

}  // namespace
