// Status and property queries by name: several lower-case names may be joined
// with '+', '|' or ','; blanks around each name do not count.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The names of a query in order; empty pieces ("a++b", "  ") are dropped.
std::vector<std::string> SplitNameQuery(std::string_view query);
// ASCII lower case (names are ASCII words).
std::string LowerName(std::string_view name);
// ASCII comparison ignoring letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);
