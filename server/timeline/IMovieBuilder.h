// IMovieBuilder, the timeline component's entry object: the channel creates
// one when it opens and keeps it until it closes. It creates, opens and
// closes timelines: a timeline is one stored movie (dataset, group, movie
// name) opened under a timeline code, 1 to 255, unique among the builder's
// open timelines and reused after close.
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

    // Closes the timeline opened under code for (dataset, group, movie);
    // reserved is 0. The movie stays stored. Unknown code, or a code opened
    // for another movie: failure, nothing closed.
    virtual HRESULT CloseTimeline(BSTR dataset, BSTR group, BSTR movie, long reserved,
                                  unsigned short code) = 0;
    // Creates a new empty movie (no tracks, marks 0, maxLength 0), stores it,
    // opens a timeline on it and hands out its interface iid. A movie of that
    // name already stored: failure, the stored movie untouched.
    virtual HRESULT CreateTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code,
                                   const IID& iid, void** timeline) = 0;
    // Opens a timeline on the stored movie; reserved is 0. A movie not
    // stored, or a stored file that does not read back whole: failure naming
    // the file.
    virtual HRESULT OpenTimeline(BSTR dataset, BSTR group, BSTR movie, unsigned short* code,
                                 long reserved, const IID& iid, void** timeline) = 0;

protected:
    ~IMovieBuilder() override = default;
};

inline constexpr CLSID CLSID_MovieBuilder = MakeGuid("{44C6A854-22D7-11D5-A8BE-00104B7916FC}");
inline constexpr IID IID_IMovieBuilder = IMovieBuilder::kIid;
inline constexpr const char kMovieBuilderProgId[] = "Vandrel.MovieBuilder.1";
