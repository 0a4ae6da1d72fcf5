// Ancillary data end to end on Chan2 against a tms-rtssim process with its
// clock held: a record creates the ancillary-data track's media file and
// segment and sends its "ancd" states; the simulator counts packets while
// the record runs and again while the recording plays back.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "server/appserverutil/VfsLibWrapper.h"
#include "server/ipmclient/RtsShmem.h"
#include "tests/channel/ContextFixture.h"
#include "tmschannel/context/ContextRecord.h"

namespace {

using namespace context_record;

constexpr long kAncTrackType = 9;
constexpr std::int32_t kLength = 200;

class E2eAncDataRecordTest : public tmstest::ContextFixture {
protected:
    void SetUp() override {
        ContextFixture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_TRUE(m_shmem.Open());
    }
    void TearDown() override {
        m_shmem.Close();
        ContextFixture::TearDown();
    }

    TmsAncillaryDataStatus Anc() const {
        TmsAncillaryDataStatus s{};
        EXPECT_TRUE(m_shmem.GetAncDataStatus(kChannel, &s));
        return s;
    }

    void Apply(unsigned token, std::vector<unsigned char> record) {
        ASSERT_EQ(m_broker->ApplyContextChange(token, 124, record.data()), S_OK) << LastErrorText();
    }

    // The first "ancd" state of the messages since the last Forget whose
    // file code is not 0; 0 when there is none.
    std::uint16_t AncFileCode() const {
        for (const auto& m : ReceivedForm("sbuf")) {
            for (int n = 0;; ++n) {
                const auto body = m.Chunk(rts::kChunkAncData, n);
                if (body.size() != 20) {
                    break;
                }
                const auto code = static_cast<std::uint16_t>(body[4] | body[5] << 8);
                if (code != 0) {
                    return code;
                }
            }
        }
        return 0;
    }

    CRtsShmem m_shmem;
};

TEST_F(E2eAncDataRecordTest, ARecordMakesTheAncillaryFileAndPlaybackCountsItsPackets) {
    CComPtr<IUnknown> timeline;
    const std::uint16_t code = Create("anc", true, kLength, &timeline);
    CComPtr<IMovie> movie = MovieOf(timeline);
    const unsigned token = Alloc(code);
    ASSERT_EQ(tmstest::SimControl("clock hold"), "ok");

    // The movie's ancillary segment: the record track of a player.
    unsigned short segment = 0;
    ASSERT_EQ(movie->GetLastSegment(kAncTrackType, 0, 0, -1, &segment), S_OK);
    long fileType = 0, in = 0, out = 0, duration = 0;
    CBstr media;
    ASSERT_EQ(movie->GetSegmentDescription(kAncTrackType, 0, segment, &fileType, &media, &in, &out,
                                           &duration),
              S_OK);
    EXPECT_EQ(fileType, 8);
    EXPECT_EQ(duration, kLength);
    ASSERT_FALSE(media.ToUtf8().empty());
    CVfsLibWrapper vfs;
    std::string error;
    const std::string path = vfs.MediaPath(media.ToUtf8(), &error);
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_FALSE(std::filesystem::exists(path));

    // The record creates the file and opens it for writing before the
    // states that name it.
    Forget();
    Apply(token, Change(kPortState | kPosition, TmsCueRecord, 0.0f, 0, kLength));
    Apply(token, Change(kPortState | kSpeed, TmsShuttleRecord, 1.0f, 0, kLength));
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
    const std::uint16_t file = AncFileCode();
    ASSERT_NE(file, 0) << "no ancillary-data state names a file";
    bool opened = false;
    for (const auto& m : ReceivedForm("sbuf")) {
        for (int n = 0;; ++n) {
            const auto body = m.Chunk(rts::kChunkFileWrite, n);
            if (body.size() != 264) {
                break;
            }
            const auto opens = static_cast<std::uint16_t>(body[0] | body[1] << 8);
            if (opens == file) {
                opened = true;
                EXPECT_EQ(body[4], 21) << "media file type of ancillary data";
            }
        }
    }
    EXPECT_TRUE(opened) << "file code " << file << " was never opened for writing";
    // The block written to the segment as the record started.
    BYTE block[48] = {};
    ASSERT_EQ(movie->GetSegmentMediaData(kAncTrackType, 0, segment, 0, sizeof block, block), S_OK);
    EXPECT_EQ(block[32], 8) << "encode file type";
    EXPECT_EQ(block[40], 2) << "fields per RIFF of AncDataCodec2";

    const std::uint32_t before = Anc().packetCount;
    ASSERT_EQ(tmstest::SimControl("clock step 30"), "ok");
    const TmsAncillaryDataStatus recording = Anc();
    EXPECT_EQ(recording.packetCount - before, 30u) << "one packet a field while recording";
    EXPECT_EQ(recording.present, 1);

    // Back to idle, then the recording plays back from its start.
    Apply(token, Change(kPortState, TmsIdle, 0.0f, 0, kLength));
    ASSERT_EQ(tmstest::SimControl("clock step 5"), "ok");
    EXPECT_EQ(Anc().packetCount, recording.packetCount) << "idle: no packets";
    // The status monitor ends the record once it sees the port idle: the
    // movie leaves construction with its marks set.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        CVariant building;
        ASSERT_EQ(movie->GetProperty(CBstr("underConstruction"), building.GetAddress()), S_OK);
        if (!building.ToBool()) {
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the record never ended";
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A context of its own plays it back: the recording one keeps the
    // record's speed after the port went idle and would send no speed.
    ASSERT_EQ(m_channel->FreeContext(token), S_OK) << LastErrorText();
    const unsigned player = Alloc(code);
    Forget();
    Apply(player, Change(kPortState | kPosition, TmsCuePlay, 0.0f, 0, kLength));
    Apply(player, Change(kPortState | kSpeed, TmsShuttlePlay, 1.0f, 0, kLength));
    const std::uint32_t played = Anc().packetCount;
    ASSERT_EQ(tmstest::SimControl("clock step 20"), "ok");
    const TmsAncillaryDataStatus playing = Anc();
    EXPECT_EQ(playing.packetCount - played, 20u);
    EXPECT_EQ(playing.present, 1);
    // The status answers through the channel as well.
    CVariant fields;
    ASSERT_EQ(m_channel->GetResourceStatus(CBstr("ancillaryData"), 0, CBstr("fieldsPerRiff"),
                                           fields.GetAddress()),
              S_OK)
        << LastErrorText();
    EXPECT_EQ(fields.ToInt32(), 2);
}

}  // namespace
