// Records against a tms-rtssim process with its clock held and stepped, so
// that every field compared was recorded on purpose: a record from its
// start to its end, the movie and media files it leaves, its playback to the
// mark out where auto stop holds it, and a record cut off by a full volume.
// Channel 1 (Chan2) records MPEG at 15 Mbit/s, 60000/1001 fields a second:
// 31281.25 bytes a field. Waits poll against a deadline; none is a timing.
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "tests/e2e/RecordFixture.h"
#include "tests/frame/LogLines.h"

namespace {

using namespace context_record;

using E2eRecordTest = tmstest::RecordFixture;
using tmstest::kCapacity;

TEST_F(E2eRecordTest, ARecordFromStartToEndLeavesAFinalMovieAndItsBytes) {
    const unsigned token = StartRecord("recorded");
    ASSERT_EQ(tmstest::SimControl("clock step 299"), "ok");
    EXPECT_EQ(Port(token).position, 299) << "fields 0 to 299 recorded";
    EXPECT_TRUE(UnderConstruction());

    Apply(token, Change(kPortState, TmsIdle, 0.0f, 0, kCapacity));
    // The status pass runs on the RTS's tick: one field, idle, records
    // nothing more.
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    // Regression: the RTS reported an idle context with trigger status 0,
    // which no context acts on, so the record was never ended.
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 5000), S_OK) << LastErrorText();
    EXPECT_TRUE(tmstest::Eventually([&] { return !UnderConstruction(); }));
    EXPECT_EQ(MovieI4("markOut"), 300);
    EXPECT_EQ(MovieI4("maxLength"), 300);
    // 300 fields of 31281.25 bytes.
    EXPECT_EQ(std::filesystem::file_size(VideoFile()), 9384375u);
    EXPECT_EQ(m_channel->FreeContext(token), S_OK) << LastErrorText();
}

TEST_F(E2eRecordTest, ARecordingPlaysBackToItsMarkOutWhereAutoStopHoldsIt) {
    unsigned token = 0;
    PlayRecordingToItsMarkOut(&token);
    ASSERT_FALSE(HasFatalFailure());
    const std::string status = tmstest::SimControl("status 1");
    EXPECT_NE(status.find("past-end 0 "), std::string::npos) << status;
    EXPECT_EQ(m_channel->FreeContext(token), S_OK);
}

TEST_F(E2eRecordTest, APlayResumedFromItsMarkOutInTheSamePortStateIsNotStoppedAgain) {
    unsigned token = 0;
    PlayRecordingToItsMarkOut(&token);
    ASSERT_FALSE(HasFatalFailure());
    // Back to 0 at 1x, still in play: no port state goes with it. The RTS
    // reported the port ended at the limit; moved on, it runs again, and the
    // channel's status pass leaves it playing.
    Apply(token, Change(kPosition | kSpeed, TmsShuttlePlay, 1.0f, 0, 240));
    ASSERT_EQ(tmstest::SimControl("clock step 10"), "ok");
    // Once the channel's status pass has seen the port at 10 it would have
    // stopped it there; a further field still moves it.
    EXPECT_TRUE(tmstest::Eventually([&] { return Status(token, "position") == 10; }));
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    EXPECT_TRUE(tmstest::Eventually([&] { return Port(token).position == 11; }))
        << "at " << Port(token).position;
    EXPECT_EQ(Port(token).speed, 1.0f);
    EXPECT_EQ(Port(token).triggerStatus, TmsTriggerRunning);
    EXPECT_EQ(m_channel->FreeContext(token), S_OK);
}

TEST_F(E2eRecordTest, AFullVolumeInterruptsTheRecordAndLeavesAFinalMovie) {
    // 4000000 bytes less the 5 % reserve hold 121 fields; the channel calls
    // the volume full once less than a second of its data rate is free, and
    // looks at its volumes once a second of its status passes, which run on
    // the RTS's tick: the record goes on a field at a time until it is cut.
    ::setenv("TMS_VOLUME_QUOTA", "V:=4000000", 1);
    const unsigned token = StartRecord("filled");
    ASSERT_EQ(tmstest::SimControl("clock step 149"), "ok");
    EXPECT_TRUE(tmstest::Eventually([&] {
        EXPECT_EQ(tmstest::SimControl("clock step 1"), "ok");
        return Port(token).portState == TmsIdle;
    })) << "the record was not interrupted";
    bool logged = false;
    for (const auto& r : tmstest::ReadLog()) {
        logged = logged ||
                 r.text.find("Volume 'V:' is full. Interrupting record for '") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
    EXPECT_EQ(m_channel->WaitForPortState(token, TmsIdle, 5000), S_OK);
    EXPECT_TRUE(tmstest::Eventually([&] { return !UnderConstruction(); }));
    EXPECT_EQ(MovieI4("markOut"), Port(token).position + 1) << "everything recorded";
}

// A record only cued writes nothing: a full volume cuts nothing then, and
// cuts the record once it runs.
TEST_F(E2eRecordTest, AFullVolumeCutsNothingWhileTheRecordIsOnlyCued) {
    ::setenv("TMS_VOLUME_QUOTA", "V:=100000", 1);  // under a second of video
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("cuedfull", true, kCapacity, &timeline);
    m_movie = MovieOf(timeline);
    const unsigned token = Alloc(code);
    Apply(token, Change(kPortState | kPosition, TmsCueRecord, 0.0f, 0, kCapacity));
    // The channel finds the volume full on one of its status passes, which
    // run on the RTS's tick.
    auto storageFull = [&] {
        EXPECT_EQ(tmstest::SimControl("clock step 1"), "ok");
        CVariant state;
        EXPECT_EQ(m_channel->GetStatus(0, CBstr("storagestatusstr"), state.GetAddress()), S_OK);
        return state.ToString() == "StorageFull";
    };
    ASSERT_TRUE(tmstest::Eventually(storageFull));
    // More passes with the volume full and the record still cued.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    EXPECT_EQ(Port(token).portState, TmsCueRecord);
    for (const auto& r : tmstest::ReadLog()) {
        EXPECT_EQ(r.text.find("is full. Interrupting record"), std::string::npos) << r.text;
    }
    // Recording, it is cut at once.
    Apply(token, Change(kPortState, TmsShuttleRecord, 0.0f, 0, kCapacity));
    EXPECT_TRUE(tmstest::Eventually([&] {
        EXPECT_EQ(tmstest::SimControl("clock step 1"), "ok");
        return Port(token).portState == TmsIdle;
    })) << "the record was not interrupted";
}

}  // namespace
