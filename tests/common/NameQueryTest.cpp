// The names of a status query as the query path walks them (ForEachName,
// CountNames) against SplitNameQuery and LowerName, which the property
// path still uses: both must read every query the same.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tmschannel/common/NameQuery.h"

namespace {

TEST(NameQueryTest, WalkingTheNamesAgreesWithSplittingAndLowering) {
    const char* const queries[] = {
        "",        " ",          "+",          "position", " Position ", "A+b|C,d",
        "a++b",    "+a+",        "\ta \t+\nb", "a| |b",     "ONE",        "x,",
        ",x",      "a b+c",      "MiXeD_1+2",  "+++",       "a+b+c+d+e+f+g+h+i+j+k+l",
        "verylongstatusnamebeyondsmallbuffers+short"};
    for (const char* query : queries) {
        SCOPED_TRACE(std::string("query '") + query + "'");
        std::vector<std::string> expected;
        for (const std::string& name : SplitNameQuery(query)) {
            expected.push_back(LowerName(name));
        }
        std::vector<std::string> walked;
        ForEachName(query, [&](const std::string& name) { walked.push_back(name); });
        EXPECT_EQ(walked, expected);
        EXPECT_EQ(CountNames(query), expected.size());
    }
}

}  // namespace
