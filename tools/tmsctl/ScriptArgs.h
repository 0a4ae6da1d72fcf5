// The words of a tmsctl script line: numbers checked against the range of
// the value they become, and lines refused that hold control characters (a
// NUL would cut the line short for the component, which reads C strings).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tmsctl {

// A line the script cannot run; what() is one line naming the argument.
class CScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// False when text is not a whole number (decimal, or hex after "0x", with an
// optional '-'); a number outside [low, high] throws CScriptError naming
// argument and the range.
bool ScriptInteger(const std::string& text, const char* argument, std::int64_t low,
                   std::int64_t high, std::int64_t* value);

// False when text is not a number; one that is not finite or lies outside
// [low, high] throws CScriptError naming argument.
bool ScriptReal(const std::string& text, const char* argument, double low, double high,
                double* value);

// Drops the CR of a CRLF line ending; throws CScriptError when the line
// holds any other control character (a tab separates words like a blank).
void CheckScriptLine(std::string& line);

}  // namespace tmsctl
