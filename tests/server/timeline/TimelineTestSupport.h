// The timeline component as a channel meets it: registered in a private
// runtime folder, a movie builder made by CoCreateInstance, movies created
// and opened through it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/com/ComPtr.h"
#include "server/timeline/IMovie.h"
#include "server/timeline/IMovieBuilder.h"
#include "tests/support/TestBstr.h"
#include "tests/support/TestRuntimeDir.h"

namespace tltest {

using Bstr = tmstest::TestBstr;

// The description of the calling thread's error info ("" when none).
std::string LastError();

class TimelineTest : public ::testing::Test {
protected:
    void SetUp() override;

    static CComPtr<IMovieBuilder> NewBuilder();
    // The movie "ds/grp/<movie>" through m_builder; fails the test unless S_OK.
    CComPtr<IMovie> Create(const std::string& movie, unsigned short* code = nullptr);
    CComPtr<IMovie> Open(const std::string& movie, unsigned short* code = nullptr);
    HRESULT OpenHr(IMovieBuilder* builder, const std::string& movie, unsigned short* code,
                   IMovie** timeline);
    std::string MoviePath(const std::string& movie) const;

    tmstest::TestRuntimeDir m_dir;
    CComPtr<IMovieBuilder> m_builder;
};

// Appends a segment and returns its code (0 on failure, which fails the test).
unsigned short Append(IMovie* movie, long type, long number, long length, long fileType = 0);
long IntProperty(IMovie* movie, const std::string& name);
std::string TextProperty(IMovie* movie, const std::string& name);

}  // namespace tltest
