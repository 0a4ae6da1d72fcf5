// Movie files: what another process reads back, what a damaged file or a
// failed write does, and the listing of stored movies.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/com/VariantArray.h"
#include "server/timeline/MovieError.h"
#include "server/timeline/MovieFile.h"
#include "server/timeline/StoredMovies.h"
#include "server/timeline/TimelineErrors.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using TimelineStorageTest = TimelineTest;

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// What the child process stores: tracks, segments, marks, media data.
int StoreInChild(IMovieBuilder* builder) {
    Bstr d("ds"), g("grp"), m("persist"), format("Format625_50Hz_2To1"), name("Intro");
    CComPtr<IMovie> movie;
    unsigned short code = 0;
    if (builder->CreateTimeline(d.b, g.b, m.b, &code, IID_IMovie,
                                reinterpret_cast<void**>(&movie)) != S_OK) {
        return 10;
    }
    unsigned short a = 0, b = 0, v = 0, removed = 0;
    unsigned char block[48];
    for (int i = 0; i < 48; ++i) {
        block[i] = static_cast<unsigned char>(0xA0 + i);
    }
    BSTR uuid = nullptr;
    const bool ok = movie->SetVideoFormat(format.b) == S_OK &&
                    movie->AppendSegment(2, 0, 0, 100, 2, name.b, &a) == S_OK &&
                    movie->AppendSegment(2, 1, 0, 40, 0, nullptr, &removed) == S_OK &&
                    movie->RemoveSegment(2, 1, removed) == S_OK &&
                    movie->AppendSegment(2, 1, 0, 60, 2, nullptr, &b) == S_OK &&
                    movie->AppendSegment(10, 0, 0, 160, 5, nullptr, &v) == S_OK &&
                    movie->SetSegmentMediaData(10, 0, v, 1, 48, block) == S_OK &&
                    movie->UpdateSegment(10, 0, v, 7, 150, 3) == S_OK &&
                    movie->SetMarks(10, 90, 3, TRUE) == S_OK &&
                    movie->AddEdit(0, 80, name.b, TRUE, 2, &uuid) == S_OK;
    SysFreeString(uuid);
    return ok ? 0 : 11;
}

TEST_F(TimelineStorageTest, AnotherProcessReadsBackWhatWasStored) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(StoreInChild(m_builder));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    CComPtr<IMovie> movie = Open("persist");
    long count = 0;
    movie->GetTrackCount(2, &count);
    EXPECT_EQ(count, 2);
    movie->GetTrackCount(10, &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(IntProperty(movie, "markIn"), 10);
    EXPECT_EQ(IntProperty(movie, "markOut"), 90);
    EXPECT_EQ(IntProperty(movie, "maxLength"), 80);
    EXPECT_EQ(IntProperty(movie, "length"), 160);
    EXPECT_EQ(TextProperty(movie, "videoFormat"), "Format625_50Hz_2To1");

    // Codes 1 to 4 were used (2 was removed); the next one is 5.
    unsigned short code = 0;
    EXPECT_EQ(movie->GetLastSegment(2, 1, 0, -1, &code), S_OK);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(movie->GetLastSegment(10, 0, 0, -1, &code), S_OK);
    EXPECT_EQ(code, 4);
    EXPECT_EQ(Append(movie, 2, 0, 10), 5);

    unsigned char block[48] = {};
    ASSERT_EQ(movie->GetSegmentMediaData(10, 0, 4, 0, 48, block), S_OK);
    for (int i = 0; i < 48; ++i) {
        EXPECT_EQ(block[i], 0xA0 + i) << "byte " << i;
    }
    long fileType = 0, in = 0, out = 0, duration = 0;
    BSTR media = nullptr;
    ASSERT_EQ(movie->GetSegmentDescription(10, 0, 4, &fileType, &media, &in, &out, &duration),
              S_OK);
    EXPECT_EQ(tmstest::TakeBstr(media), "ds/grp/persist/t10n0s4");
    EXPECT_EQ(fileType, 5);
    EXPECT_EQ(in, 7);
    EXPECT_EQ(out, 150);
    EXPECT_EQ(duration, 160);

    BSTR segmentUuid = nullptr, editUuid = nullptr, name = nullptr;
    ASSERT_EQ(movie->GetSegmentNames(2, 0, 1, &segmentUuid, &editUuid, &name), S_OK);
    EXPECT_EQ(tmstest::TakeBstr(segmentUuid).size(), 38u);
    BSTR atStart = nullptr;
    ASSERT_EQ(movie->GetEditAtPosition(0, &atStart), S_OK);
    EXPECT_EQ(tmstest::TakeBstr(editUuid), tmstest::TakeBstr(atStart));
    EXPECT_EQ(tmstest::TakeBstr(name), "Intro");
}

TEST_F(TimelineStorageTest, DamagedFilesAreRefusedNamingTheFileAndNotLoadedHalf) {
    CComPtr<IMovie> movie = Create("damaged");
    Append(movie, 2, 0, 100, 2);
    Append(movie, 2, 0, 50, 2);
    movie = nullptr;  // the next open reads the file
    const std::string path = MoviePath("damaged");
    const std::string good = tmstest::ReadFileText(path);
    ASSERT_NE(good.find("code=\"2\""), std::string::npos);

    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    struct Case {
        const char* name;
        std::string text;
        const char* says;
    } cases[] = {
        {"empty", "", "No document element"},
        {"cut in half", good.substr(0, good.size() / 2), "at byte"},
        {"closing tag lost", good.substr(0, good.rfind("</movie>")), "at byte"},
        {"garbage", "\x01\x02 not xml", "at byte"},
        {"other top element", "<?xml version=\"1.0\"?>\n<film version=\"1\"/>", "not <movie>"},
        {"code repeated", replace("code=\"2\"", "code=\"1\""), "repeats the segment code 1"},
        {"code above counter", replace("code=\"2\"", "code=\"9\""), "not below the next code 3"},
        {"number garbled", replace("duration=\"50\"", "duration=\"5O\""), "is not a number"},
        {"media data cut", replace("mediaData=\"00", "mediaData=\""), "47 bytes, not 48"},
        {"track gap", replace("number=\"0\"", "number=\"1\""), "follows no track 0"},
        {"attribute lost", replace("markIn=\"0\" ", ""), "has no attribute 'markIn'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, c.text);
        unsigned short code = 0;
        CComPtr<IMovie> none;
        EXPECT_EQ(OpenHr(m_builder, "damaged", &code, &none), TIMELINE_E_MOVIE_CORRUPT);
        const std::string error = LastError();
        EXPECT_NE(error.find("Movie file '" + path + "' is corrupt: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_FALSE(none);
    }
    WriteFile(path, good);
    unsigned short code = 0;
    CComPtr<IMovie> whole = Open("damaged", &code);
    EXPECT_EQ(code, 2);  // 1 is still open; the failed opens took none
    EXPECT_EQ(IntProperty(whole, "length"), 150);
}

TEST_F(TimelineStorageTest, UnknownVideoFormatsAndNumbersOutOfRangeAreRefusedAsCorrupt) {
    CComPtr<IMovie> movie = Create("ranges");
    Bstr format("Format625_50Hz_2To1");
    ASSERT_EQ(movie->SetVideoFormat(format.b), S_OK);
    ASSERT_EQ(movie->SetEndTimecode(0x01020304), S_OK);  // 01:02:03:04
    Append(movie, 2, 0, 100, 2);
    Append(movie, 2, 0, 50, 2);
    movie = nullptr;
    const std::string path = MoviePath("ranges");
    const std::string good = tmstest::ReadFileText(path);

    const auto replace = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        const std::size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    struct Case {
        const char* name;
        std::string text;
        const char* says;
    } cases[] = {
        {"unknown video format", replace("\"Format625_50Hz_2To1\"", "\"Format9999\""),
         "'videoFormat' is 'Format9999'"},
        {"negative max length", replace("maxLength=\"0\"", "maxLength=\"-1\""),
         "'maxLength' is -1, outside 0"},
        {"mark out overflows", replace("markOut=\"0\"", "markOut=\"4294967296\""),
         "'markOut' is 4294967296, outside 0 to 2147483647"},
        {"number past 64 bits", replace("duration=\"50\"", "duration=\"99999999999999999999\""),
         "'duration' is 99999999999999999999, outside 0 to 50"},
        {"negative duration", replace(" duration=\"50\"", " duration=\"-50\""),
         "'duration' is -50, outside 0 to 50"},
        {"duration past the natural one", replace(" duration=\"50\"", " duration=\"51\""),
         "'duration' is 51, outside 0 to 50"},
        {"negative media in", replace("mediaIn=\"0\"", "mediaIn=\"-3\""),
         "'mediaIn' is -3, outside 0"},
        {"media out before media in", replace("mediaOut=\"49\"", "mediaOut=\"-7\""),
         "'mediaOut' is -7, outside -1"},
        {"segments past the last position",
         replace("naturalDuration=\"100\" duration=\"100\"",
                 "naturalDuration=\"2147483600\" duration=\"2147483600\""),
         "ends past the last position"},
        {"timecode frames past the rate", replace("\"16909060\"", "\"16909081\""),
         "has frames above 24"},
        {"negative timecode other than none", replace("\"16909060\"", "\"-5\""),
         "neither a timecode nor"},
        {"timecode hours past 23", replace("\"16909060\"", "\"402653184\""), "has hours above 23"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, c.text);
        unsigned short code = 0;
        CComPtr<IMovie> none;
        EXPECT_EQ(OpenHr(m_builder, "ranges", &code, &none), TIMELINE_E_MOVIE_CORRUPT);
        EXPECT_EQ(static_cast<unsigned>(TIMELINE_E_MOVIE_CORRUPT), 0x80070570u);
        const std::string error = LastError();
        EXPECT_NE(error.find("Movie file '" + path + "' is corrupt: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_FALSE(none);
    }
    WriteFile(path, good);
    CComPtr<IMovie> whole = Open("ranges");
    EXPECT_EQ(TextProperty(whole, "videoFormat"), "Format625_50Hz_2To1");

    // What could not be read back is not stored in the first place.
    Bstr unknown("Format9999"), ntsc("Format525_60Hz_2To1");
    EXPECT_EQ(whole->SetVideoFormat(unknown.b), E_INVALIDARG);
    EXPECT_NE(LastError().find("'Format9999' is not a video format"), std::string::npos);
    ASSERT_EQ(whole->SetVideoFormat(ntsc.b), S_OK);
    ASSERT_EQ(whole->SetEndTimecode(0x0102031D), S_OK);  // frame 29: a 30-frame timecode
    EXPECT_EQ(whole->SetVideoFormat(format.b), E_INVALIDARG);
    EXPECT_EQ(TextProperty(whole, "videoFormat"), "Format525_60Hz_2To1");
}

// Fails the n-th disk call with EIO; counts them.
class CCountdownDisk : public IMovieDisk {
public:
    explicit CCountdownDisk(int failAt) : m_failAt(failAt) {}
    int MakeTemp(std::string& t) override { return Fail() ? -1 : SystemMovieDisk().MakeTemp(t); }
    ssize_t Write(int fd, const void* d, std::size_t n) override {
        return Fail() ? -1 : SystemMovieDisk().Write(fd, d, n);
    }
    int Fsync(int fd) override { return Fail() ? -1 : SystemMovieDisk().Fsync(fd); }
    int Rename(const std::string& a, const std::string& b) override {
        return Fail() ? -1 : SystemMovieDisk().Rename(a, b);
    }
    int Link(const std::string& a, const std::string& b) override {
        return Fail() ? -1 : SystemMovieDisk().Link(a, b);
    }
    bool Failed() const { return m_calls >= m_failAt; }

private:
    bool Fail() {
        if (++m_calls != m_failAt) {
            return false;
        }
        errno = EIO;
        return true;
    }
    int m_failAt;
    int m_calls = 0;
};

TEST(TimelineFileTest, AWriteFailingAtAnyStepLeavesTheOldFileAndNoTemporaryFile) {
    tmstest::TestRuntimeDir dir;
    const std::string path = dir.Path() + "/m/old.movie";
    MovieState old;
    old.markOut = 5;
    CMovieFile(path).Create(old);
    const std::string oldText = tmstest::ReadFileText(path);
    MovieState next = old;
    next.markOut = 9;
    next.nextSegmentCode = 4;
    for (std::uint16_t code = 1; code < 4; ++code) {
        MovieSegment segment{};
        segment.code = code;
        next.tracks[{2, 0}].segments.push_back(segment);
    }
    for (int failAt = 1;; ++failAt) {
        SCOPED_TRACE(failAt);
        CCountdownDisk disk(failAt);
        try {
            CMovieFile(path, disk).Replace(next);
        } catch (const CMovieError& e) {
            EXPECT_TRUE(disk.Failed());
            EXPECT_EQ(e.Error(), TIMELINE_E_WRITE_FAULT);
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
            EXPECT_EQ(tmstest::ReadFileText(path), oldText);
            EXPECT_EQ(FolderEntries(dir.Path() + "/m"), std::vector<std::string>{"old.movie"});
            continue;
        }
        EXPECT_FALSE(disk.Failed());
        EXPECT_GE(failAt, 5);  // temp, write, sync, rename at least
        break;
    }
    EXPECT_EQ(CMovieFile(path).Read().markOut, 9);
}

TEST_F(TimelineStorageTest, TimelinesOfOneMovieShareItAndTheListingShowsIt) {
    CComPtr<IMovie> first = Create("shared");
    CComPtr<IMovieBuilder> other = NewBuilder();
    CComPtr<IMovie> second;
    unsigned short code = 0;
    ASSERT_EQ(OpenHr(other, "shared", &code, &second), S_OK);
    Append(first, 10, 0, 300, 5);
    Append(second, 2, 0, 120);
    EXPECT_EQ(IntProperty(first, "numA"), 1);
    EXPECT_EQ(IntProperty(second, "numV"), 1);

    Create("b-empty");
    WriteFile(MoviePath("a-broken"), "<movie");
    const std::vector<StoredMovie> listed = ListStoredMovies(m_dir.Path());
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].movie, "a-broken");
    EXPECT_NE(listed[0].problem.find("is corrupt"), std::string::npos);
    EXPECT_EQ(listed[1].movie, "b-empty");
    EXPECT_EQ(listed[1].trackCount, 0);
    EXPECT_EQ(listed[2].dataset + "/" + listed[2].group + "/" + listed[2].movie, "ds/grp/shared");
    EXPECT_EQ(listed[2].trackCount, 2);
    EXPECT_EQ(listed[2].length, 300);
    EXPECT_EQ(listed[2].problem, "");
}

}  // namespace
}  // namespace tltest
