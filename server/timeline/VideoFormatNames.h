// The video format names a movie may carry: the names the server's channels
// read and write for their reference standard, and the empty text of a movie
// whose format was never set. A movie holds nothing else, so that a movie
// file with a name no channel knows is refused rather than played.
//
// Thread safety: pure functions over constant data.
#pragma once

#include <string>

bool IsMovieVideoFormatName(const std::string& name);

// The accepted names, comma-separated, for messages.
std::string MovieVideoFormatNames();
