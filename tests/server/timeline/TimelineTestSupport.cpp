#include "tests/server/timeline/TimelineTestSupport.h"

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ErrorInfo.h"
#include "platform/com/Variant.h"

namespace tltest {

std::string LastError() {
    CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) {
        return "";
    }
    BSTR text = nullptr;
    info->GetDescription(&text);
    return tmstest::TakeBstr(text);
}

void TimelineTest::SetUp() {
    ASSERT_EQ(DllRegisterServerAt(TMS_TIMELINE_LIB), S_OK);
    m_builder = NewBuilder();
    ASSERT_TRUE(m_builder);
}

CComPtr<IMovieBuilder> TimelineTest::NewBuilder() {
    CComPtr<IMovieBuilder> builder;
    EXPECT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER, IID_IMovieBuilder,
                               reinterpret_cast<void**>(&builder)),
              S_OK);
    return builder;
}

CComPtr<IMovie> TimelineTest::Create(const std::string& movie, unsigned short* code) {
    Bstr d("ds"), g("grp"), m(movie);
    unsigned short c = 0;
    CComPtr<IMovie> timeline;
    EXPECT_EQ(m_builder->CreateTimeline(d.b, g.b, m.b, &c, IID_IMovie,
                                        reinterpret_cast<void**>(&timeline)),
              S_OK)
        << LastError();
    if (code != nullptr) {
        *code = c;
    }
    return timeline;
}

HRESULT TimelineTest::OpenHr(IMovieBuilder* builder, const std::string& movie, unsigned short* code,
                             IMovie** timeline) {
    Bstr d("ds"), g("grp"), m(movie);
    return builder->OpenTimeline(d.b, g.b, m.b, code, 0, IID_IMovie,
                                 reinterpret_cast<void**>(timeline));
}

CComPtr<IMovie> TimelineTest::Open(const std::string& movie, unsigned short* code) {
    unsigned short c = 0;
    CComPtr<IMovie> timeline;
    EXPECT_EQ(OpenHr(m_builder, movie, &c, &timeline), S_OK) << LastError();
    if (code != nullptr) {
        *code = c;
    }
    return timeline;
}

std::string TimelineTest::MoviePath(const std::string& movie) const {
    return m_dir.Path() + "/movies/ds/grp/" + movie + ".movie";
}

unsigned short Append(IMovie* movie, long type, long number, long length, long fileType) {
    unsigned short code = 0;
    EXPECT_EQ(movie->AppendSegment(type, number, 0, length, fileType, nullptr, &code), S_OK)
        << LastError();
    return code;
}

long IntProperty(IMovie* movie, const std::string& name) {
    Bstr n(name);
    CVariant value;
    EXPECT_EQ(movie->GetProperty(n.b, value.GetAddress()), S_OK) << name << ": " << LastError();
    return value.ToInt32();
}

std::string TextProperty(IMovie* movie, const std::string& name) {
    Bstr n(name);
    CVariant value;
    EXPECT_EQ(movie->GetProperty(n.b, value.GetAddress()), S_OK) << name << ": " << LastError();
    return value.ToString();
}

}  // namespace tltest
