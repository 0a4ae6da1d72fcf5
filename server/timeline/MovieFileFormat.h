// The text of a movie file: XML, UTF-8, one <movie> element.
//
//   <movie version="1" nextSegmentCode="3" markIn="0" markOut="0" ...>
//     <thumbnail>89504E47...</thumbnail>              (hex, only when set)
//     <track type="2" number="0" label="A1">
//       <segment code="1" fileType="2" name="" uuid="{...}" naturalDuration="100"
//                duration="100" mediaIn="0" mediaOut="99" flags="0" userData="0"
//                mediaData="000...000"/>              (48 bytes as 96 hex digits)
//     </track>
//     <section uuid="{...}" name="Opening" start="0" duration="500"/>
//     <edit uuid="{...}" name="Intro" start="0" duration="250" repeat="false" pauseMode="-1"/>
//   </movie>
//
// Every movie attribute and every attribute shown is required; a reader
// checks each value and the rules between them (segment codes unique and
// below the counter, track numbers of a type from 0 without gaps, spans not
// overlapping), so that a file either reads back whole or not at all.
//
// Thread safety: pure functions.
#pragma once

#include <string>

#include "server/timeline/MovieState.h"

std::string MovieFileText(const MovieState& state);

// Throws CMovieError(TIMELINE_E_MOVIE_CORRUPT) saying what is wrong (without
// the file's name, which the caller adds).
MovieState ParseMovieFileText(const std::string& text);
