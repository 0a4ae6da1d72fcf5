// Movies for the resource tests: a new one of the timeline component (its
// library registered by the test), and one that hands every call on to
// another, for tests that override the calls they watch or change.
#pragma once

#include <gtest/gtest.h>

#include "platform/com/CoCreateInstance.h"
#include "platform/com/ComObjectBase.h"
#include "platform/com/ComPtr.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "server/timeline/ITimeline.h"

namespace tmstest {

// A new empty movie "ds/grp/NAME"; its timeline lives as long as the movie.
inline CComPtr<IMovie> NewMovie(const char* name) {
    CComPtr<IMovieBuilder> builder;
    EXPECT_EQ(CoCreateInstance(CLSID_MovieBuilder, nullptr, CLSCTX_INPROC_SERVER, IID_IMovieBuilder,
                               reinterpret_cast<void**>(&builder)),
              S_OK);
    CComPtr<IMovie> movie;
    if (builder == nullptr) {
        return movie;
    }
    unsigned short code = 0;
    CComPtr<ITimeline> timeline;
    EXPECT_EQ(builder->CreateTimeline(CBstr("ds"), CBstr("grp"), CBstr(name), &code, IID_ITimeline,
                                      reinterpret_cast<void**>(&timeline)),
              S_OK);
    if (timeline != nullptr) {
        EXPECT_EQ(timeline->QueryInterface(IID_IMovie, reinterpret_cast<void**>(&movie)), S_OK);
    }
    return movie;
}

class CForwardingMovie : public CComObjectBase<IMovie> {
public:
    CComPtr<IMovie> movie;

    HRESULT GetSegmentAtPosition(long t, long n, long p, unsigned short* c) override {
        return movie->GetSegmentAtPosition(t, n, p, c);
    }
    HRESULT GetProperty(BSTR a, VARIANT* b) override { return movie->GetProperty(a, b); }
    HRESULT GetProperties(BSTR a, VARIANT* b) override { return movie->GetProperties(a, b); }
    HRESULT SetProperty(BSTR a, VARIANT b) override { return movie->SetProperty(a, b); }
    HRESULT SetConstruction(long a, long b, BOOL c) override {
        return movie->SetConstruction(a, b, c);
    }
    HRESULT SetVideoFormat(BSTR a) override { return movie->SetVideoFormat(a); }
    HRESULT SetEndTimecode(long a) override { return movie->SetEndTimecode(a); }
    HRESULT SetMarks(long a, long b, long c, BOOL d) override {
        return movie->SetMarks(a, b, c, d);
    }
    HRESULT GetTrackCount(long a, long* b) override { return movie->GetTrackCount(a, b); }
    HRESULT AppendSegment(long a, long b, long c, long d, long e, BSTR f,
                          unsigned short* g) override {
        return movie->AppendSegment(a, b, c, d, e, f, g);
    }
    HRESULT RemoveSegment(long a, long b, unsigned short c) override {
        return movie->RemoveSegment(a, b, c);
    }
    HRESULT TrimSegment(long a, long b, unsigned short c, long d) override {
        return movie->TrimSegment(a, b, c, d);
    }
    HRESULT GetLastSegment(long a, long b, long c, long d, unsigned short* e) override {
        return movie->GetLastSegment(a, b, c, d, e);
    }
    HRESULT GetSegmentDescription(long a, long b, unsigned short c, long* d, BSTR* e, long* f,
                                  long* g, long* h) override {
        return movie->GetSegmentDescription(a, b, c, d, e, f, g, h);
    }
    HRESULT GetSegmentPositions(long a, long b, unsigned short c, long* d, long* e, long* f,
                                unsigned short* g, unsigned long* h) override {
        return movie->GetSegmentPositions(a, b, c, d, e, f, g, h);
    }
    HRESULT GetSegmentNames(long a, long b, unsigned short c, BSTR* d, BSTR* e, BSTR* f) override {
        return movie->GetSegmentNames(a, b, c, d, e, f);
    }
    HRESULT GetSegmentMediaData(long a, long b, unsigned short c, long d, long e,
                                unsigned char* f) override {
        return movie->GetSegmentMediaData(a, b, c, d, e, f);
    }
    HRESULT SetSegmentMediaData(long a, long b, unsigned short c, long d, long e,
                                const unsigned char* f) override {
        return movie->SetSegmentMediaData(a, b, c, d, e, f);
    }
    HRESULT UpdateSegment(long a, long b, unsigned short c, long d, long e, long f) override {
        return movie->UpdateSegment(a, b, c, d, e, f);
    }
    HRESULT SetTrackLabel(long a, long b, BSTR c) override { return movie->SetTrackLabel(a, b, c); }
    HRESULT GetTrackByLabel(long a, long b, BSTR c, long d, long* e) override {
        return movie->GetTrackByLabel(a, b, c, d, e);
    }
    HRESULT AddEdit(long a, long b, BSTR c, BOOL d, long e, BSTR* f) override {
        return movie->AddEdit(a, b, c, d, e, f);
    }
    HRESULT AddSection(long a, long b, BSTR c, BSTR* d) override {
        return movie->AddSection(a, b, c, d);
    }
    HRESULT GetSectionAndEdit(long a, long b, BOOL* c, BSTR* d, BSTR* e) override {
        return movie->GetSectionAndEdit(a, b, c, d, e);
    }
    HRESULT GetSectionProperties(BSTR a, BSTR b, VARIANT* c) override {
        return movie->GetSectionProperties(a, b, c);
    }
    HRESULT GetEditProperties(BSTR a, BSTR b, VARIANT* c) override {
        return movie->GetEditProperties(a, b, c);
    }
    HRESULT GetEditAtPosition(long a, BSTR* b) override { return movie->GetEditAtPosition(a, b); }
    HRESULT GetNextPause(long a, long b, long* c, long* d) override {
        return movie->GetNextPause(a, b, c, d);
    }
};

}  // namespace tmstest
