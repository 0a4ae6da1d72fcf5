// Sections, edits, pause points and the changed flag.
#include "platform/com/VariantArray.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using TimelinePlayListTest = TimelineTest;

struct Place {
    HRESULT hr;
    bool changed;
    std::string section, edit;
};

Place PlaceAt(IMovie* movie, long channel, long position) {
    BOOL changed = FALSE;
    BSTR section = nullptr, edit = nullptr;
    Place p;
    p.hr = movie->GetSectionAndEdit(channel, position, &changed, &section, &edit);
    p.changed = changed != FALSE;
    p.section = tmstest::TakeBstr(section);
    p.edit = tmstest::TakeBstr(edit);
    return p;
}

std::vector<CVariant> EditProperties(IMovie* movie, const std::string& uuid,
                                     const std::string& names) {
    Bstr u(uuid), n(names);
    CVariant values;
    EXPECT_EQ(movie->GetEditProperties(u.b, n.b, values.GetAddress()), S_OK) << LastError();
    return ReadVariantArray(values);
}

TEST_F(TimelinePlayListTest, AMovieWithoutEditsIsOneImplicitSectionAndEdit) {
    CComPtr<IMovie> movie = Create("implicit");
    Append(movie, 10, 0, 300, 5);
    Place p = PlaceAt(movie, 1, 0);
    EXPECT_EQ(p.hr, S_OK);
    EXPECT_TRUE(p.changed);  // the first ask
    EXPECT_EQ(p.section + p.edit, "");
    EXPECT_FALSE(PlaceAt(movie, 1, 299).changed);
    EXPECT_TRUE(PlaceAt(movie, 2, 0).changed);  // per channel
    EXPECT_EQ(PlaceAt(movie, 1, 300).hr, S_FALSE);
    EXPECT_EQ(PlaceAt(movie, 1, -1).hr, S_FALSE);

    Bstr repeat("repeat");
    ASSERT_EQ(movie->SetProperty(repeat.b, CVariant(true)), S_OK);
    EXPECT_TRUE(PlaceAt(movie, 1, 0).changed);
    const std::vector<CVariant> e = EditProperties(movie, "", "name+duration+startPos+repeat");
    EXPECT_EQ(e[0].ToString(), "implicit");
    EXPECT_EQ(e[1].ToInt32(), 300);
    EXPECT_EQ(e[2].ToInt32(), 0);
    EXPECT_TRUE(e[3].ToBool());

    BSTR edit = nullptr;
    EXPECT_EQ(movie->GetEditAtPosition(299, &edit), S_OK);
    EXPECT_EQ(tmstest::TakeBstr(edit), "");
    EXPECT_EQ(movie->GetEditAtPosition(300, &edit), S_FALSE);
    SysFreeString(edit);
    long at = 0, mode = 0;
    EXPECT_EQ(movie->GetNextPause(0, 1000, &at, &mode), S_FALSE);
    EXPECT_EQ(at, -1);
}

TEST_F(TimelinePlayListTest, EditsWithPausesAndTheSearchHorizon) {
    CComPtr<IMovie> movie = Create("edits");
    Append(movie, 10, 0, 400, 5);
    Bstr a("a"), b("b"), c("c"), part("part");
    BSTR uuid = nullptr;
    ASSERT_EQ(movie->AddEdit(0, 100, a.b, FALSE, -1, &uuid), S_OK);
    const std::string first = tmstest::TakeBstr(uuid);
    ASSERT_EQ(movie->AddEdit(100, 100, b.b, TRUE, 2, &uuid), S_OK);
    const std::string second = tmstest::TakeBstr(uuid);
    ASSERT_EQ(movie->AddEdit(300, 50, c.b, FALSE, 4, &uuid), S_OK);
    tmstest::TakeBstr(uuid);
    EXPECT_EQ(movie->AddEdit(150, 10, a.b, FALSE, -1, &uuid), E_INVALIDARG);
    EXPECT_NE(LastError().find("overlaps edit " + second), std::string::npos);
    ASSERT_EQ(movie->AddSection(0, 200, part.b, &uuid), S_OK);
    const std::string section = tmstest::TakeBstr(uuid);

    // Pause points: 199 (mode 2) and 349 (mode 4).
    struct Case {
        long position, horizon;
        HRESULT hr;
        long at, mode;
    } cases[] = {
        {0, 300, S_OK, 199, 2},      {199, 1, S_OK, 199, 2},   {100, 99, S_FALSE, -1, -1},
        {100, 100, S_OK, 199, 2},    {200, 300, S_OK, 349, 4}, {200, 149, S_FALSE, -1, -1},
        {350, 300, S_FALSE, -1, -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.position) + "+" + std::to_string(k.horizon));
        long at = 0, mode = 0;
        EXPECT_EQ(movie->GetNextPause(k.position, k.horizon, &at, &mode), k.hr);
        EXPECT_EQ(at, k.at);
        EXPECT_EQ(mode, k.mode);
    }

    const Place p = PlaceAt(movie, 1, 150);
    EXPECT_EQ(p.section, section);
    EXPECT_EQ(p.edit, second);
    EXPECT_EQ(PlaceAt(movie, 1, 250).edit, "");  // between edits
    BSTR edit = nullptr;
    EXPECT_EQ(movie->GetEditAtPosition(250, &edit), S_FALSE);
    SysFreeString(edit);
    EXPECT_EQ(movie->GetEditAtPosition(99, &edit), S_OK);
    EXPECT_EQ(tmstest::TakeBstr(edit), first);

    const std::vector<CVariant> e =
        EditProperties(movie, second, "NAME+duration+startPos+repeat+pauseMode+sectionUuid");
    EXPECT_EQ(e[0].ToString(), "b");
    EXPECT_EQ(e[1].ToInt32(), 100);
    EXPECT_EQ(e[2].ToInt32(), 100);
    EXPECT_TRUE(e[3].ToBool());
    EXPECT_EQ(e[4].ToInt32(), 2);
    EXPECT_EQ(e[5].ToString(), section);

    Bstr unknown("{00000000-0000-0000-0000-000000000000}"), names("name");
    CVariant values;
    EXPECT_EQ(movie->GetEditProperties(unknown.b, names.b, values.GetAddress()), E_INVALIDARG);
    EXPECT_NE(LastError().find("no edit with the uuid"), std::string::npos);
}

}  // namespace
}  // namespace tltest
