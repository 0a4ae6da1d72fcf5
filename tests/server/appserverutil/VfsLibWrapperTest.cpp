#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "server/appserverutil/VfsLibWrapper.h"
#include "tests/support/TestRuntimeDir.h"

namespace {

TEST(VfsLibWrapperTest, VolumesNamesAndSpace) {
    tmstest::TestRuntimeDir dir;
    ::setenv("TMS_VOLUMES", "V:,Archive:,bad/one,..", 1);
    CVfsLibWrapper vfs;
    ::unsetenv("TMS_VOLUMES");
    ASSERT_EQ(vfs.GetNumFileSystems(), 2);
    char16_t name[10];
    ASSERT_EQ(vfs.GetFileSystemName(0, name, 10), S_OK);
    EXPECT_EQ(std::u16string(name), u"V:");
    ASSERT_EQ(vfs.GetFileSystemName(1, name, 5), S_OK);
    EXPECT_EQ(std::u16string(name), u"Arch");  // cut to size - 1, terminated
    EXPECT_EQ(vfs.GetFileSystemName(2, name, 10), E_INVALIDARG);
    EXPECT_EQ(name[0], 0);
    ULONGLONG total = 0, free = 0;
    ASSERT_EQ(vfs.QueryFileSystemSpace(1, &total, &free), S_OK);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    struct stat st;
    EXPECT_EQ(::stat((dir.Path() + "/volumes/Archive").c_str(), &st), 0);
}

TEST(VfsLibWrapperTest, MediaNamesNeverLeaveTheirVolume) {
    tmstest::TestRuntimeDir dir;
    CVfsLibWrapper vfs;
    struct Case {
        const char* name;
        const char* path;  // relative to the runtime folder; "" = refused
    } cases[] = {
        {"V:/news/clip1", "volumes/V/news/clip1"},
        {"V:\\news\\clip1", "volumes/V/news/clip1"},
        {"clip2", "volumes/V/clip2"},
        {"V:/../../etc/passwd", ""},
        {"news/../../x", ""},
        {"/etc/passwd", ""},
        {"V:/a//b", ""},
        {"V:/a/", ""},
        {"W:/x", ""},  // an unknown volume is not a path
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        std::string path = vfs.MediaPath(c.name, &error);
        if (*c.path) {
            EXPECT_EQ(path, dir.Path() + "/" + c.path);
        } else {
            EXPECT_EQ(path, "");
            EXPECT_NE(error.find(c.name), std::string::npos) << error;
        }
    }
}

TEST(VfsLibWrapperTest, MediaFileHandlesRoundTrip) {
    tmstest::TestRuntimeDir dir;
    CVfsLibWrapper vfs;
    char handle[33] = {};
    ASSERT_EQ(vfs.CreateMediaFile(u"V:/bin/clip", 1, 2, 0, handle, sizeof handle), S_OK);
    EXPECT_EQ(std::string(handle).size(), 18u);
    EXPECT_NE(vfs.CreateMediaFile(u"V:/bin/clip", 1, 2, 0, handle, sizeof handle), S_OK);
    char again[33] = {};
    ASSERT_EQ(vfs.GetMediaFileHandle(u"V:/bin/clip", 0x80000000, again, sizeof again), S_OK);
    EXPECT_STREQ(again, handle);  // one file, one handle name
    char small[8];
    EXPECT_EQ(vfs.GetMediaFileHandle(u"V:/bin/clip", 0x80000000, small, sizeof small),
              E_INVALIDARG);
    EXPECT_NE(vfs.GetMediaFileHandle(u"V:/bin/none", 0x80000000, again, sizeof again), S_OK);
    const std::string link = dir.Path() + "/media/handles/" + handle;
    char target[512] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), dir.Path() + "/volumes/V/bin/clip");

    HANDLE h = vfs.CreateFileW(u"V:/bin/clip", 0x80000000, 3, 3, 0x80, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    unsigned size = 9;
    PixCoding coding{};
    MpegPixStructure structure{};
    ASSERT_EQ(vfs.GetPictureStatus(h, 0, &size, &coding, &structure), S_OK);
    EXPECT_EQ(coding, PixCodingI);
    EXPECT_TRUE(vfs.CloseHandle(h));
    EXPECT_FALSE(vfs.CloseHandle(h));
    EXPECT_EQ(vfs.GetPictureStatus(h, 0, &size, &coding, &structure), E_INVALIDARG);
    EXPECT_EQ(vfs.CreateFileW(u"V:/../x", 0, 0, 0, 0, nullptr), INVALID_HANDLE_VALUE);

    EXPECT_EQ(vfs.CloseMediaFileHandle(handle), S_OK);
    EXPECT_EQ(vfs.CloseMediaFileHandle(handle), S_FALSE);
    EXPECT_EQ(vfs.CloseMediaFileHandle("../../x"), E_INVALIDARG);
    EXPECT_EQ(vfs.ReportResource(0, static_cast<gfsReportRes_e>(9)), E_INVALIDARG);
    EXPECT_EQ(vfs.ReportResource(0, gfsResAudioCreated), S_OK);
}

}  // namespace
