// Property names as the movie's multi-name queries take them: joined by "+",
// blanks around each name ignored, compared without regard to ASCII case.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <vector>

// The names in order, lower-cased. Throws CMovieError(E_INVALIDARG) for an
// empty list or an empty name between two "+".
std::vector<std::string> SplitPropertyNames(const std::string& names);
std::string LowerAscii(std::string text);
