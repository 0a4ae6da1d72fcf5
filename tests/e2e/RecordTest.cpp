// Records against a tms-rtssim process with its clock held and stepped, so
// that every field compared was recorded on purpose: a record from its
// start to its end, the movie and media files it leaves, its playback to the
// mark out where auto stop holds it, and a record cut off by a full volume.
// Channel 1 (Chan2) records MPEG at 15 Mbit/s, 60000/1001 fields a second:
// 31281.25 bytes a field. Waits poll against a deadline; none is a timing.
#include <cstdlib>
#include <filesystem>

#include "server/ipmclient/RtsShmem.h"
#include "server/timeline/ITimeline.h"
#include "tests/channel/ContextFixture.h"
#include "tests/frame/LogLines.h"
#include "tmschannel/context/ContextRecord.h"

namespace {

using namespace context_record;

constexpr std::int32_t kCapacity = 2400;  // the record segment of the movie

class E2eRecordTest : public tmstest::ContextFixture {
protected:
    void SetUp() override {
        ContextFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        // Out of its gang: a follower leaves the marks to the gang's leader.
        EditConfig(R"(<Ganging gangIndex="0" gangOrder="1"/>)",
                   R"(<Ganging gangIndex="-1" gangOrder="-1"/>)");
        ASSERT_EQ(m_channel->RefreshConfig(CBstr("")), S_OK) << LastErrorText();
        ASSERT_TRUE(m_shmem.Open());
        ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");
    }
    void TearDown() override {
        ::unsetenv("TMS_VOLUME_QUOTA");
        m_shmem.Close();
        ContextFixture::TearDown();
    }

    void Apply(unsigned token, std::vector<unsigned char> record) {
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, record.data()), S_OK) << LastErrorText();
    }
    TmsPortContextStatus Port(unsigned token) const {
        TmsPortContextStatus s{};
        EXPECT_TRUE(m_shmem.GetContextStatus(kChannel, static_cast<int>(token & 0xFF), &s));
        return s;
    }
    std::int32_t Status(unsigned token, const char* name) {
        CVariant v;
        EXPECT_EQ(m_channel->GetStatus(token, CBstr(name), v.GetAddress()), S_OK)
            << LastErrorText();
        return v.ToInt32();
    }
    std::int32_t MovieI4(const char* name) {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr(name), v.GetAddress()), S_OK);
        return v.ToInt32();
    }
    bool UnderConstruction() {
        CVariant v;
        EXPECT_EQ(m_movie->GetProperty(CBstr("underConstruction"), v.GetAddress()), S_OK);
        return v.ToBool();
    }
    std::string VideoFile() {
        unsigned short code = 0;
        EXPECT_EQ(m_movie->GetSegmentAtPosition(VideoTrackType(), 0, 0, &code), S_OK);
        long type = 0, in = 0, out = 0, duration = 0;
        CBstr name;
        EXPECT_EQ(m_movie->GetSegmentDescription(VideoTrackType(), 0, code, &type, &name, &in, &out,
                                                 &duration),
                  S_OK);
        return m_dir.Path() + "/volumes/V/" + name.ToUtf8();
    }
    // A populated movie of one record segment, cued for record at 0 and
    // recording its first field (a held clock publishes only with a step).
    unsigned StartRecord(const char* name) {
        CComPtr<IUnknown> timeline;
        const std::uint16_t code = Create(name, true, kCapacity, &timeline);
        m_movie = MovieOf(timeline);
        const unsigned token = Alloc(code);
        Apply(token, Change(kPortState | kPosition, TmsCueRecord, 0.0f, 0, kCapacity));
        Apply(token, Change(kPortState, TmsShuttleRecord, 0.0f, 0, kCapacity));
        EXPECT_EQ(tmstest::SimControl("clock step 1"), "ok");
        // The status pass sees the record and construction begins.
        EXPECT_TRUE(tmstest::Eventually([&] { return UnderConstruction(); }));
        return token;
    }

    // Records 240 fields, then plays the recording from 0 at 1x with the
    // clock stepped past its mark out: auto stop holds it at 239. The
    // context of the play in *played.
    void PlayRecordingToItsMarkOut(unsigned* played) {
        unsigned token = StartRecord("played");
        ASSERT_EQ(tmstest::SimControl("clock step 239"), "ok");
        Apply(token, Change(kPortState, TmsIdle, 0.0f, 0, kCapacity));
        ASSERT_EQ(tmstest::SimControl("clock step 1"), "ok");
        ASSERT_EQ(m_channel->WaitForPortState(token, TmsIdle, 5000), S_OK);
        ASSERT_TRUE(tmstest::Eventually([&] { return !UnderConstruction(); }));
        ASSERT_EQ(MovieI4("markOut"), 240);
        ASSERT_EQ(m_channel->FreeContext(token), S_OK);

        // The timeline of the recording, mark in 0 to mark out 240, from 0.
        unsigned short code = 0;
        CComPtr<IUnknown> timeline;
        GUID iid = IID_IUnknown;
        ASSERT_EQ(m_channel->OpenTimeline(CBstr("ds"), CBstr("grp"), CBstr("played"), &code, &iid,
                                          reinterpret_cast<void**>(&timeline)),
                  S_OK)
            << LastErrorText();
        token = Alloc(code);
        Apply(token, Change(kPortState | kPosition, TmsCuePlay, 0.0f, 0, 240));
        Apply(token, Change(kPortState | kSpeed, TmsShuttlePlay, 1.0f, 0, 240));
        ASSERT_EQ(tmstest::SimControl("clock step 400"), "ok");
        // The RTS holds at the maximum (239) and the context stops it there.
        EXPECT_TRUE(tmstest::Eventually([&] { return Port(token).speed == 0.0f; }));
        EXPECT_EQ(Port(token).position, 239);
        EXPECT_EQ(Port(token).portState, TmsShuttlePlay);
        *played = token;
    }

    CRtsShmem m_shmem;
    CComPtr<IMovie> m_movie;
};

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

}  // namespace
