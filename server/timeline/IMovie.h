// IMovie, the movie a timeline holds: properties, construction, tracks of
// segments, marks, and the play-list structure (sections, edits, pauses).
//
// Positions and lengths are in video fields. A track is addressed by
// (track type, track number); tracks of one type are numbered from 0 with no
// gaps. A segment is addressed by (track type, track number, segment code):
// codes are 16-bit, never 0, unique within the movie and never reused in it.
// Segments of a track follow each other without gaps: a segment's start
// position is the sum of the durations before it. Every segment stores a
// 48-byte media data block; a new segment's block is zero except the encode
// file type at offset 32. A segment with a file type other than 0 names a
// media file (its complex media name, unique in the movie); file type 0 is an
// empty pad.
//
// Every change is stored before the call returns; a change that cannot be
// stored fails and leaves the movie as it was. S_FALSE means "not found"
// where a method says so. Unknown track or segment: E_INVALIDARG with error
// info naming it.
//
// Thread safety: an object may be used by several threads at once; the
// timelines that hold one stored movie share it and see each other's changes.
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/IUnknown.h"
#include "platform/com/Variant.h"

struct IMovie : IUnknown {
    static constexpr IID kIid = MakeGuid("{FC354223-730C-4C12-A16D-45BB90BF01C8}");

    // Properties, by name, case-insensitive:
    //   moviename, datasetname, groupname (VT_BSTR); uri (VT_BSTR,
    //   "movie:///dataset/group/movie"); assetType (VT_BSTR, "" by default);
    //   markIn, markOut, minMarkIn, maxMarkOut, maxLength, length (VT_I4);
    //   markInStr, markOutStr, starttimecodestr (VT_BSTR timecode texts);
    //   starttimecode, firstTimecodeMask (VT_I4, packed timecode; bit 31 set
    //   when none); numA, numT, numV, numAncData (VT_I4 track counts; numV
    //   counts types 4 to 7 and 10); underConstruction, locked, readOnly,
    //   repeat, continuousRecord (VT_BOOL); thumbnailMark (VT_I4, -1 when
    //   none); thumbnailImage (VT_ARRAY|VT_UI1, empty when none); videoFormat
    //   (VT_BSTR); endTimecode (VT_I4).
    // An unknown name: E_INVALIDARG naming it.
    virtual HRESULT GetProperty(BSTR name, VARIANT* value) = 0;
    // names joined by "+": value becomes VT_ARRAY|VT_VARIANT, lower bound 0,
    // one element per name in order. Any unknown name fails the whole read.
    virtual HRESULT GetProperties(BSTR names, VARIANT* values) = 0;
    // Writable: assetType, locked, readOnly, repeat, continuousRecord,
    // starttimecode, thumbnailMark, thumbnailImage. Others: E_INVALIDARG.
    virtual HRESULT SetProperty(BSTR name, VARIANT value) = 0;

    // Construction (a record in progress) on or off; flags are kept with it.
    virtual HRESULT SetConstruction(long flags, long gangFlags, BOOL on) = 0;
    virtual HRESULT SetVideoFormat(BSTR formatName) = 0;
    // The end timecode of the last record, packed.
    virtual HRESULT SetEndTimecode(long packedTimecode) = 0;
    // Marks: -1 leaves a mark as it is. mode is kept (the caller's meaning).
    // With final set, maxLength becomes markOut - markIn.
    virtual HRESULT SetMarks(long markIn, long markOut, long mode, BOOL final) = 0;

    // Number of tracks of exactly this type.
    virtual HRESULT GetTrackCount(long trackType, long* count) = 0;
    // Appends a segment of length fields to the track; reserved is 0. The
    // track is created when trackNum equals the type's track count; a larger
    // number is E_INVALIDARG. name may be null (no segment name).
    virtual HRESULT AppendSegment(long trackType, long trackNum, long reserved, long length,
                                  long fileType, BSTR name, unsigned short* segmentCode) = 0;
    // Removes the segment; later segments move up by its duration.
    virtual HRESULT RemoveSegment(long trackType, long trackNum, unsigned short segmentCode) = 0;
    // Cuts the segment to duration fields (1 up to its duration); later
    // segments move up.
    virtual HRESULT TrimSegment(long trackType, long trackNum, unsigned short segmentCode,
                                long duration) = 0;
    // The segment counted from the end (fromEnd -1: the last); reserved is 0.
    // S_FALSE with code 0 when the track has none (or does not exist).
    virtual HRESULT GetLastSegment(long trackType, long trackNum, long reserved, long fromEnd,
                                   unsigned short* segmentCode) = 0;
    // The segment covering the position; S_FALSE with code 0 when none.
    virtual HRESULT GetSegmentAtPosition(long trackType, long trackNum, long position,
                                         unsigned short* segmentCode) = 0;
    // File type, complex media name (new BSTR), media mark in and out, duration.
    virtual HRESULT GetSegmentDescription(long trackType, long trackNum, unsigned short segmentCode,
                                          long* fileType, BSTR* complexMediaName, long* markIn,
                                          long* markOut, long* duration) = 0;
    // Start position in the movie, natural duration (the length it was
    // appended with), duration, and two values kept with the segment.
    virtual HRESULT GetSegmentPositions(long trackType, long trackNum, unsigned short segmentCode,
                                        long* start, long* naturalDuration, long* duration,
                                        unsigned short* flags, unsigned long* userData) = 0;
    // Segment uuid, uuid of the edit covering its start ("" when none),
    // segment name; three new BSTRs.
    virtual HRESULT GetSegmentNames(long trackType, long trackNum, unsigned short segmentCode,
                                    BSTR* segmentUuid, BSTR* editUuid, BSTR* segmentName) = 0;
    // mode 0 reads; size must be 48.
    virtual HRESULT GetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                        long mode, long size, unsigned char* block) = 0;
    // mode 1 writes; size must be 48.
    virtual HRESULT SetSegmentMediaData(long trackType, long trackNum, unsigned short segmentCode,
                                        long mode, long size, const unsigned char* block) = 0;
    // Media marks of the segment: mode 1 sets media in, 2 media out, 3 both.
    virtual HRESULT UpdateSegment(long trackType, long trackNum, unsigned short segmentCode,
                                  long mediaIn, long mediaOut, long mode) = 0;
    virtual HRESULT SetTrackLabel(long trackType, long trackNum, BSTR label) = 0;
    // The number of the track of that type whose label is exactly label,
    // counting only such tracks from 0 to occurrence; -1 when there are
    // fewer. reserved must be 0.
    virtual HRESULT GetTrackByLabel(long trackType, long reserved, BSTR label, long occurrence,
                                    long* trackNum) = 0;

    // Play-list structure. A movie without sections or edits is one section
    // and one edit covering it, both with the uuid "" (its name and repeat are
    // the movie's).
    // Adds an edit (start, duration, repeat, pause mode -1 for none) and
    // hands out its new uuid; edits may not overlap.
    virtual HRESULT AddEdit(long start, long duration, BSTR name, BOOL repeat, long pauseMode,
                            BSTR* editUuid) = 0;
    virtual HRESULT AddSection(long start, long duration, BSTR name, BSTR* sectionUuid) = 0;
    // Section and edit at the movie position; changed tells whether the
    // movie's structure or properties changed since this channel last asked.
    // S_FALSE when the position is outside the movie.
    virtual HRESULT GetSectionAndEdit(long channel, long position, BOOL* changed, BSTR* sectionUuid,
                                      BSTR* editUuid) = 0;
    // "name+duration+startPos" (and "repeat" for an edit) by "+"-joined
    // names, as GetProperties.
    virtual HRESULT GetSectionProperties(BSTR sectionUuid, BSTR names, VARIANT* values) = 0;
    virtual HRESULT GetEditProperties(BSTR editUuid, BSTR names, VARIANT* values) = 0;
    // The edit covering the position; S_FALSE when none.
    virtual HRESULT GetEditAtPosition(long position, BSTR* editUuid) = 0;
    // The first pause point (the end of an edit with a pause mode) at or after
    // position and within horizon fields; S_FALSE when none.
    virtual HRESULT GetNextPause(long position, long horizon, long* pausePosition,
                                 long* pauseMode) = 0;

protected:
    ~IMovie() override = default;
};

inline constexpr IID IID_IMovie = IMovie::kIid;
