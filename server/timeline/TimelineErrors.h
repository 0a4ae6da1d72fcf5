// The failure codes of the timeline component beyond the common ones
// (E_INVALIDARG for a bad argument, E_POINTER for a missing out argument,
// E_NOINTERFACE for an interface a timeline does not offer). Every failure
// also leaves error info (ErrorInfo.h) with a message naming what was wrong.
#pragma once

#include "platform/com/HResult.h"

// CreateTimeline: the movie is stored already (ERROR_FILE_EXISTS).
inline constexpr HRESULT TIMELINE_E_MOVIE_EXISTS = HRESULT_FROM_WIN32(80);
// OpenTimeline: no movie of that name is stored (ERROR_FILE_NOT_FOUND).
inline constexpr HRESULT TIMELINE_E_MOVIE_NOT_FOUND = HRESULT_FROM_WIN32(2);
// The stored movie file does not read back whole (ERROR_FILE_CORRUPT).
inline constexpr HRESULT TIMELINE_E_MOVIE_CORRUPT = HRESULT_FROM_WIN32(1392);
// The movie file could not be written; the stored movie is as it was
// (ERROR_WRITE_FAULT; a full disk gives ERROR_DISK_FULL, a folder that may
// not be written E_ACCESSDENIED).
inline constexpr HRESULT TIMELINE_E_WRITE_FAULT = HRESULT_FROM_WIN32(29);
inline constexpr HRESULT TIMELINE_E_DISK_FULL = HRESULT_FROM_WIN32(112);
// The movie file could not be read (ERROR_READ_FAULT).
inline constexpr HRESULT TIMELINE_E_READ_FAULT = HRESULT_FROM_WIN32(30);
// A movie builder has 255 timelines open and no code left to hand out.
inline constexpr HRESULT TIMELINE_E_NO_FREE_CODE = HR(0x80046001);
// A movie has used up its 65535 segment codes (codes are never reused).
inline constexpr HRESULT TIMELINE_E_NO_FREE_SEGMENT_CODE = HR(0x80046002);
