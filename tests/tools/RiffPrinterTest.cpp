#include "tools/tmsctl/RiffPrinter.h"

#include "tmschannel/rts/RtsMessages.h"
#include "tests/support/TestRuntimeDir.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace {

std::vector<std::uint8_t> GpiMessage() {
    CMmioMsg msg(rts::kSmallMessageSize);
    rts::BuildScheduleMessage(msg, rts::GpiInputSchedule(3, false), rts::GpiInputContext());
    return std::vector<std::uint8_t>(msg.GetBuffer(), msg.GetBuffer() + msg.GetMsgSize());
}

TEST(RiffPrinterTest, DecodesKnownBodiesByField) {
    tmstest::TestRuntimeDir dir;
    auto bytes = GpiMessage();
    std::ostringstream out;
    tmsctl::CRiffPrinter p(out);
    ASSERT_TRUE(p.Print(bytes.data(), bytes.size())) << p.Error();
    std::string text = out.str();
    for (const char* expected : {"RIFF 'schc' size 124", "  'schc' 48 bytes", "    condition 1",
                                 "    triggerValue 3", "  'ctx ' 56 bytes", "    changeId -2",
                                 "    contextIndex -1"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
    }
}

TEST(RiffPrinterTest, TruncatedAndMalformedInputPrintsWhatItCanThenFails) {
    tmstest::TestRuntimeDir dir;
    auto good = GpiMessage();
    struct Row {
        const char* name;
        std::size_t keep;
        std::size_t patchAt;
        std::uint8_t patch;
        const char* error;
        const char* printed;
    } rows[] = {
        {"short", 7, 0, 0, "shorter than a RIFF header", nullptr},
        {"cut in a body", 40, 0, 0, "claims 132 bytes but there are 40", "RIFF 'schc'"},
        {"chunk past its parent", 132, 16, 0xFF, "claims 255 bytes but only 112 remain", "RIFF 'schc'"},
        {"not riff", 132, 0, 'X', "does not start with 'RIFF'", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::uint8_t> bytes(good.begin(), good.begin() + row.keep);
        if (row.patchAt != 0 || row.patch != 0) {
            bytes[row.patchAt] = row.patch;
        }
        std::ostringstream out;
        tmsctl::CRiffPrinter p(out);
        EXPECT_FALSE(p.Print(bytes.data(), bytes.size()));
        EXPECT_NE(p.Error().find(row.error), std::string::npos) << p.Error();
        if (row.printed != nullptr) {
            EXPECT_NE(out.str().find(row.printed), std::string::npos) << out.str();
        }
    }
}

}  // namespace
