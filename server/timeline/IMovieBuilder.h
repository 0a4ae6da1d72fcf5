// IMovieBuilder, the timeline component's entry object: the channel creates
// one when it opens and keeps it until it closes. The suite names the group
// of movies (the client's working set) that the builder works in.
//
// Thread safety: an object may be used by several threads at once.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"

struct IMovieBuilder : IUnknown {
    static constexpr IID kIid = MakeGuid("{81076782-1A7C-11D4-8C00-00A0CC5FFE93}");

    // Any text, empty included; a null BSTR is the empty suite.
    virtual HRESULT SetSuite(BSTR suite) = 0;
    // The suite last set ("" before the first SetSuite).
    virtual HRESULT GetSuite(BSTR* suite) = 0;

protected:
    ~IMovieBuilder() override = default;
};

inline constexpr CLSID CLSID_MovieBuilder = MakeGuid("{44C6A854-22D7-11D5-A8BE-00104B7916FC}");
inline constexpr IID IID_IMovieBuilder = IMovieBuilder::kIid;
inline constexpr const char kMovieBuilderProgId[] = "Vandrel.MovieBuilder.1";
