// Timeline codes, create and open failures, and what a builder's release
// leaves alive.
#include <functional>
#include <vector>

#include "server/timeline/ITimeline.h"
#include "server/timeline/ITimelineControl.h"
#include "server/timeline/ITimelineNames.h"
#include "server/timeline/TimelineErrors.h"
#include "tests/server/timeline/TimelineTestSupport.h"

namespace tltest {
namespace {

using TimelineBuilderTest = TimelineTest;

TEST_F(TimelineBuilderTest, CodesRunFromOneTo255AndTheLowestFreeIsReused) {
    std::vector<CComPtr<IMovie>> open;
    unsigned short code = 0;
    open.push_back(Create("codes", &code));
    EXPECT_EQ(code, 1);
    for (unsigned short expected = 2; expected <= 255; ++expected) {
        open.push_back(Open("codes", &code));
        ASSERT_EQ(code, expected);
    }
    CComPtr<IMovie> none;
    EXPECT_EQ(OpenHr(m_builder, "codes", &code, &none), TIMELINE_E_NO_FREE_CODE);
    EXPECT_EQ(LastError(), "No free timeline code: 255 timelines are open");
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(none);

    Bstr d("ds"), g("grp"), m("codes"), other("other");
    EXPECT_EQ(m_builder->CloseTimeline(d.b, g.b, other.b, 0, 17), E_INVALIDARG);
    EXPECT_NE(LastError().find("open for movie 'ds/grp/codes'"), std::string::npos);
    ASSERT_EQ(m_builder->CloseTimeline(d.b, g.b, m.b, 0, 17), S_OK);
    ASSERT_EQ(m_builder->CloseTimeline(d.b, g.b, m.b, 0, 3), S_OK);
    EXPECT_EQ(m_builder->CloseTimeline(d.b, g.b, m.b, 0, 3), E_INVALIDARG);
    EXPECT_EQ(m_builder->CloseTimeline(d.b, g.b, m.b, 0, 0), E_INVALIDARG);
    open.push_back(Open("codes", &code));
    EXPECT_EQ(code, 3);
    open.push_back(Open("codes", &code));
    EXPECT_EQ(code, 17);

    // Another builder (another channel) has codes of its own.
    CComPtr<IMovieBuilder> second = NewBuilder();
    CComPtr<IMovie> again;
    ASSERT_EQ(OpenHr(second, "codes", &code, &again), S_OK);
    EXPECT_EQ(code, 1);
}

TEST_F(TimelineBuilderTest, FailuresNameTheMovieAndTakeNoCode) {
    unsigned short storedCode = 0;
    CComPtr<IMovie> stored = Create("stored", &storedCode);
    Append(stored, 2, 0, 100);
    stored = nullptr;
    Bstr sd("ds"), sg("grp"), sm("stored");
    ASSERT_EQ(m_builder->CloseTimeline(sd.b, sg.b, sm.b, 0, storedCode), S_OK);

    struct Case {
        const char* name;
        std::function<HRESULT(unsigned short*, void**)> call;
        HRESULT hr;
        std::string mentions;
    };
    const auto create = [&](const char* d, const char* g, const char* m, const IID& iid) {
        return [=, this](unsigned short* code, void** out) {
            Bstr bd(d), bg(g), bm(m);
            return m_builder->CreateTimeline(bd.b, bg.b, bm.b, code, iid, out);
        };
    };
    const std::string longName(201, 'x');
    const Case cases[] = {
        {"stored already", create("ds", "grp", "stored", IID_IMovie), TIMELINE_E_MOVIE_EXISTS,
         "Movie 'ds/grp/stored' is stored already"},
        {"not stored",
         [&](unsigned short* code, void** out) {
             Bstr d("ds"), g("grp"), m("missing");
             return m_builder->OpenTimeline(d.b, g.b, m.b, code, 0, IID_IMovie, out);
         },
         TIMELINE_E_MOVIE_NOT_FOUND, MoviePath("missing")},
        {"reserved not 0",
         [&](unsigned short* code, void** out) {
             Bstr d("ds"), g("grp"), m("stored");
             return m_builder->OpenTimeline(d.b, g.b, m.b, code, 7, IID_IMovie, out);
         },
         E_INVALIDARG, "reserved"},
        {"interface not offered", create("ds", "grp", "new", IID_IMovieBuilder), E_NOINTERFACE,
         "does not offer"},
        {"empty movie", create("ds", "grp", "", IID_IMovie), E_INVALIDARG,
         "movie name '' is empty"},
        {"slash", create("ds", "a/b", "m", IID_IMovie), E_INVALIDARG, "group name 'a/b' has a '/'"},
        {"backslash", create("a\\b", "grp", "m", IID_IMovie), E_INVALIDARG, "has a '\\'"},
        {"dot", create("ds", "grp", ".", IID_IMovie), E_INVALIDARG, "is not a name"},
        {"dot dot", create("..", "grp", "m", IID_IMovie), E_INVALIDARG, "is not a name"},
        {"control", create("ds", "grp", "tab\there", IID_IMovie), E_INVALIDARG,
         "control character 0x09"},
        {"too long", create("ds", "grp", longName.c_str(), IID_IMovie), E_INVALIDARG,
         "longer than 200 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned short code = 99;
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.call(&code, &out), c.hr);
        EXPECT_NE(LastError().find(c.mentions), std::string::npos);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(out, nullptr);
    }
    // Nothing was taken: the stored movie is as it was and code 1 is free.
    unsigned short code = 0;
    CComPtr<IMovie> reopened = Open("stored", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(IntProperty(reopened, "length"), 100);
}

}  // namespace
}  // namespace tltest
