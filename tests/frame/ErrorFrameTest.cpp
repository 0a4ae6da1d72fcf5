#include "tmschannel/frame/ErrorFrame.h"

#include "tests/frame/LogLines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include <string>

namespace {

using tmstest::LogRecord;
using tmstest::ReadLog;

constexpr HRESULT kNoRtsShmem = HR(0x80043015);

std::vector<LogRecord> OfKind(const std::vector<LogRecord>& all, const std::string& kind) {
    std::vector<LogRecord> out;
    for (const auto& r : all) {
        if (r.kind == kind) {
            out.push_back(r);
        }
    }
    return out;
}

class ErrorFrameTest : public ::testing::Test {
protected:
    tmstest::TestRuntimeDir m_dir;
};

TEST_F(ErrorFrameTest, MessageIsCutIntoPiecesOf127AndAt511) {
    struct Row {
        std::size_t length;
        std::vector<std::size_t> pieces;
    } rows[] = {
        {0, {}},
        {1, {1}},
        {127, {127}},
        {128, {127, 1}},
        {254, {127, 127}},
        {255, {127, 127, 1}},
        {511, {127, 127, 127, 127, 3}},
        {700, {127, 127, 127, 127, 3}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("length " + std::to_string(row.length));
        std::remove(ErrorLogPath().c_str());
        CTmsEntryPoint trace("CTest::Cut %zu", row.length);
        std::string message(row.length, 'x');
        HRESULT hr =
            TMS_ERROR_FRAME(trace, [&] { TMS_RAISE(trace, kNoRtsShmem, "%s", message.c_str()); });
        EXPECT_EQ(hr, kNoRtsShmem);
        auto all = ReadLog();
        auto errors = OfKind(all, "ERROR");
        ASSERT_EQ(errors.size(), row.pieces.size());
        for (std::size_t i = 0; i < errors.size(); ++i) {
            EXPECT_EQ(errors[i].text.size(), row.pieces[i]);
            EXPECT_EQ(errors[i].hr, "0x80043015");
            EXPECT_EQ(errors[i].chain, all.back().chain);
        }
        // The chain always closes with the operation's entry-point record.
        ASSERT_EQ(OfKind(all, "ENTRY").size(), 1u);
        EXPECT_EQ(all.back().kind, "ENTRY");
        EXPECT_EQ(all.back().text, "CTest::Cut " + std::to_string(row.length));
    }
}

TEST_F(ErrorFrameTest, RaiseLogsOnceAtItsOwnLocation) {
    CTmsEntryPoint trace("CChannel::Open %d", 1);
    int raiseLine = 0;
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        raiseLine = __LINE__ + 1;
        TMS_RAISE(trace, kNoRtsShmem, "Could not open RTS shared memory");
    });
    EXPECT_EQ(hr, kNoRtsShmem);
    auto all = ReadLog();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].kind, "ERROR");
    EXPECT_EQ(all[0].text, "Could not open RTS shared memory");
    EXPECT_EQ(all[0].where, "ErrorFrameTest.cpp:" + std::to_string(raiseLine));
    EXPECT_EQ(all[1].kind, "ENTRY");
    EXPECT_EQ(all[1].text, "CChannel::Open 1");
    EXPECT_EQ(all[1].hr, "0x80043015");
}

TEST_F(ErrorFrameTest, HresultCheckWritesOnlyTheEntryRecordAndKeepsTheCode) {
    CTmsEntryPoint trace("CChannel::Close");
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        CheckHr(trace, S_FALSE);  // success codes pass
        CheckHr(trace, HR(0x80043012));
        ADD_FAILURE() << "check did not throw";
    });
    EXPECT_EQ(hr, HR(0x80043012));
    auto all = ReadLog();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].kind, "ENTRY");
    EXPECT_EQ(all[0].hr, "0x80043012");
}

TEST_F(ErrorFrameTest, FailureOfANestedTraceIsChainedAgainAtTheCatchingOperation) {
    auto inner = [] {
        CTmsEntryPoint innerTrace("CInner::Do");
        TMS_RAISE(innerTrace, HR(0x80045224), "Could not find resource %s[%d]", "video", 3);
    };
    CTmsEntryPoint outer("COuter::Run");
    int frameLine = __LINE__ + 1;
    HRESULT hr = TMS_ERROR_FRAME(outer, [&] { inner(); });
    EXPECT_EQ(hr, HR(0x80045224));
    auto all = ReadLog();
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].text, "Could not find resource video[3]");
    EXPECT_EQ(all[1].text, "CInner::Do");
    EXPECT_EQ(all[2].text, "Unknown error");
    EXPECT_EQ(all[2].where, "ErrorFrameTest.cpp:" + std::to_string(frameLine));
    EXPECT_EQ(all[3].text, "COuter::Run");
    EXPECT_NE(all[0].chain, all[2].chain);
    EXPECT_EQ(all[2].chain, all[3].chain);
}

TEST_F(ErrorFrameTest, ComCallFailureLogsTheSystemTextAtTheCheck) {
    CTmsEntryPoint trace("CChannel::RefreshConfig");
    int checkLine = 0;
    HRESULT hr = TMS_ERROR_FRAME(trace, [&] {
        checkLine = __LINE__ + 1;
        TMS_CHECK_COM(trace, E_INVALIDARG);
    });
    EXPECT_EQ(hr, E_INVALIDARG);
    auto all = ReadLog();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].text, "The parameter is incorrect.");
    EXPECT_EQ(all[0].where, "ErrorFrameTest.cpp:" + std::to_string(checkLine));
}

TEST_F(ErrorFrameTest, EveryFailurePathReturnsAFailingCode) {
    struct Row {
        const char* name;
        std::function<void(CEntryPoint&)> body;
        HRESULT expected;
    } rows[] = {
        {"raise", [](CEntryPoint& t) { TMS_RAISE(t, HR(0x80043011), "late"); }, HR(0x80043011)},
        {"check", [](CEntryPoint& t) { CheckHr(t, E_ABORT); }, E_ABORT},
        {"com", [](CEntryPoint& t) { TMS_CHECK_COM(t, HR(0x80040300)); }, HR(0x80040300)},
        {"com error", [](CEntryPoint&) { throw _com_error(E_OUTOFMEMORY); }, E_OUTOFMEMORY},
        {"std exception", [](CEntryPoint&) { throw std::runtime_error("boom"); }, E_FAIL},
        {"anything", [](CEntryPoint&) { throw 3.5; }, E_FAIL},
        // A stray success value thrown as a long must not read as success.
        {"thrown zero", [](CEntryPoint&) { throw static_cast<LONG>(0); }, E_FAIL},
        {"raise with success code", [](CEntryPoint& t) { TMS_RAISE(t, S_FALSE, "odd"); }, E_FAIL},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CTmsEntryPoint trace("CTest::%s", row.name);
        HRESULT hr = TMS_ERROR_FRAME(trace, [&] { row.body(trace); });
        EXPECT_TRUE(FAILED(hr));
        EXPECT_EQ(hr, row.expected);
    }
    auto all = ReadLog();
    EXPECT_EQ(OfKind(all, "ENTRY").size(), std::size(rows));
}

TEST_F(ErrorFrameTest, SetLocationKeepsTheBaseNameCutTo31) {
    struct Row {
        const char* file;
        const char* expected;
    } rows[] = {
        {"C:\\src\\tms\\Channel.cpp", "Channel.cpp"},
        {"/work/tmschannel/channel/Channel.cpp", "Channel.cpp"},
        {"Channel.cpp", "Channel.cpp"},
        {"dir\\", ""},
        {"a_source_file_name_longer_than_31_characters.cpp", "a_source_file_name_longer_than_"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        CEntryPoint trace;
        trace.SetLocation(row.file, 42);
        EXPECT_STREQ(trace.SourceFile(), row.expected);
        EXPECT_EQ(trace.Line(), 42);
    }
}

TEST_F(ErrorFrameTest, EntryTextIsCutTo127AndArgumentsStayLiteral) {
    std::string longName(300, 'n');
    CTmsEntryPoint trace("CTest::%s", longName.c_str());
    EXPECT_EQ(std::string(trace.EntryText()).size(), 127u);
    CTmsEntryPoint percent("CTest::%s", "100%d");
    EXPECT_STREQ(percent.EntryText(), "CTest::100%d");
    EXPECT_EQ(percent.ComponentCode(), TMS_COMPONENT_CODE);
}

// Regression: a trace kept a pointer to the channel id, which the
// configuration read then replaced; the failed refresh logged
// "chanId=JnvM-d^PV". The text printed is the one the trace opened with.
TEST_F(ErrorFrameTest, TraceTextsStayAsTheyWereWhenTheirStringsChangeOrGo) {
    struct Row {
        const char* name;
        std::string first;
        std::string second;
        const char* expected;
    } rows[] = {
        {"short id (in the string's own room)", "Chan2", "",
         "CTest::Init chanId=Chan2 hint='gpin'"},
        {"id over 15 characters (on the heap)", "a-channel-id-of-30-characters", "",
         "CTest::Init chanId=a-channel-id-of-30-characters hint='gpin'"},
        {"both texts long, the entry cut at 127", std::string(100, 'i'), std::string(100, 'h'),
         nullptr},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto id = std::make_unique<std::string>(row.first);
        auto hint = std::make_unique<std::string>(row.second.empty() ? "gpin" : row.second);
        char immediate[CEntryPoint::kEntryTextSize];
        std::snprintf(immediate, sizeof immediate, "CTest::Init chanId=%s hint='%s'", id->c_str(),
                      hint->c_str());
        CTmsEntryPoint trace("CTest::Init chanId=%s hint='%s'", id->c_str(), hint->c_str());
        // What a configuration read does to the id, then the strings go.
        *id = "replaced-by-a-much-longer-identifier-than-before";
        id.reset();
        hint.reset();
        if (row.expected != nullptr) {
            EXPECT_EQ(std::string(trace.EntryText()), row.expected);
        }
        EXPECT_STREQ(trace.EntryText(), immediate) << "as if formatted when it opened";
    }
    // A copy keeps its own texts.
    std::string name = "copied";
    CTmsEntryPoint original("CTest::%s", name.c_str());
    CTmsEntryPoint copy(original);
    name = "changed";
    EXPECT_STREQ(copy.EntryText(), "CTest::copied");
}

TEST_F(ErrorFrameTest, MessagesAndTracesWriteNoEntryRecord) {
    CTmsEntryPoint trace("CTest::Msg");
    EXPECT_TRUE(trace.LogMsg("lost %d", 1));
    EXPECT_TRUE(trace.Trace("%s", std::string(130, 't').c_str()));
    EXPECT_TRUE(trace.LogMsg("%s", ""));
    EXPECT_FALSE(trace.Logged());
    auto all = ReadLog();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].kind, "MSG");
    EXPECT_EQ(all[1].kind, "TRACE");
    EXPECT_EQ(all[2].text, std::string(3, 't'));
}

TEST_F(ErrorFrameTest, ErrorEventNamesTheOperationAndLocation) {
    CTmsEntryPoint trace("CTest::Event %d", 7);
    EXPECT_EQ(trace.LogEvent("TmsChannel", 1, E_FAIL, "Channel.cpp", 12, "bad %s", "thing"), S_OK);
    EXPECT_TRUE(trace.Logged());
    std::string events = tmstest::ReadFileText(m_dir.Path() + "/log/eventlog.log");
    EXPECT_NE(events.find("bad thing"), std::string::npos);
    EXPECT_NE(events.find("->CTest::Event 7"), std::string::npos);
    EXPECT_NE(events.find("Channel.cpp(12) : Error 0x80004005"), std::string::npos);
}

}  // namespace
