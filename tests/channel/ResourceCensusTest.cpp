// The counts and the continuous-record segment length the channel
// properties answer, worked out by hand from the rule: a ninetieth of the
// length, at least three seconds, rounded down to a multiple of the
// resources' granularity (and never below it).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tmschannel/channel/ResourceCensus.h"
#include "tmschannel/resources/TmsResource.h"

namespace {

class CFakeResource : public CTmsResource {
public:
    CFakeResource(const char16_t* type, bool record, std::int32_t granularity)
        : CTmsResource(0), m_record(record), m_granularity(granularity) {
        m_typeName = type;
    }
    HRESULT PublishStatus(CChanAccess&) override { return S_OK; }
    HRESULT PutStatus(std::uint16_t, const CRtsShmem&, std::int32_t) override { return S_OK; }
    bool IsAssignedForRecord() override { return m_record; }
    std::int32_t GetFieldGranularity() override { return m_granularity; }

private:
    bool m_record;
    std::int32_t m_granularity;
};

std::vector<std::shared_ptr<CTmsResource>> List(
    std::initializer_list<std::tuple<const char16_t*, bool, std::int32_t>> items) {
    std::vector<std::shared_ptr<CTmsResource>> out;
    for (const auto& [type, record, granularity] : items) {
        out.push_back(std::make_shared<CFakeResource>(type, record, granularity));
    }
    return out;
}

TEST(ResourceCensusTest, CountsByTypeAndRecordAssignment) {
    const auto list = List({{u"video", true, 1},
                            {u"audio", true, 1},
                            {u"audio", false, 1},
                            {u"audio", true, 1},
                            {u"timecode", false, 1}});
    const CResourceCensus census(list);
    EXPECT_EQ(census.Count(u"video"), 1);
    EXPECT_EQ(census.Count(u"audio"), 3);
    EXPECT_EQ(census.CountForRecord(u"audio"), 2);
    EXPECT_EQ(census.Count(u"gpi"), 0) << "a kind the channel lacks counts 0";
    EXPECT_EQ(CResourceCensus(List({})).CountForRecord(u"video"), 0);
}

TEST(ResourceCensusTest, GranularityMultipliesWhereItDoesNotDivide) {
    struct Row {
        const char* name;
        std::vector<std::int32_t> granularities;
        std::int32_t expected;
    };
    const Row rows[] = {
        {"no resources", {}, 1},
        {"ones", {1, 1, 1}, 1},
        {"a GOP of 12 fields", {12}, 12},
        {"12 then 4: 4 divides 12", {12, 4}, 12},
        {"4 then 12: 4 < 12", {4, 12}, 48},
        {"12 then 8: 8 does not divide 12", {12, 8}, 96},
        {"a granularity of 0 sets no bound", {6, 0}, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::shared_ptr<CTmsResource>> list;
        for (std::int32_t g : row.granularities) {
            list.push_back(std::make_shared<CFakeResource>(u"video", true, g));
        }
        EXPECT_EQ(CResourceCensus(list).FieldGranularity(), row.expected);
    }
}

TEST(ResourceCensusTest, SegmentLength) {
    struct Row {
        const char* name;
        bool on;
        std::int32_t length, threeSeconds, granularity, expected;
    };
    const Row rows[] = {
        {"off", false, 216000, 180, 1, 0},
        {"one hour at 60 fields: 216000 / 90", true, 216000, 180, 1, 2400},
        {"rounded down to a multiple of 12", true, 216000 + 90 * 5, 180, 12, 2400},
        {"2405 rounds down to 2400 with 12", true, 2405 * 90, 180, 12, 2400},
        {"short: raised to three seconds", true, 900, 180, 1, 180},
        {"zero length: three seconds", true, 0, 150, 1, 150},
        {"three seconds already a multiple", true, 0, 180, 12, 180},
        {"granularity above the segment wins", true, 0, 180, 240, 240},
        {"equal to the granularity", true, 0, 180, 180, 180},
        {"three seconds at 50 fields, granularity 12", true, 0, 150, 12, 144},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ContinuousRecordSegment(row.on, row.length, row.threeSeconds, row.granularity),
                  row.expected);
    }
}

}  // namespace
