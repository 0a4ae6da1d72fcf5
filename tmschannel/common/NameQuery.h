// Status and property queries by name: several lower-case names may be joined
// with '+', '|' or ','; blanks around each name do not count.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The names of a query in order; empty pieces ("a++b", "  ") are dropped.
std::vector<std::string> SplitNameQuery(std::string_view query);
// The piece of query from start to the next separator (or the end), without
// its blanks; *next is where the piece after it starts (past the end: none).
std::string_view NextNamePiece(std::string_view query, std::size_t start, std::size_t* next);
// How many names SplitNameQuery would give, without making them.
std::size_t CountNames(std::string_view query);
// Calls each(name) with the lower-case names of the query in order, as
// SplitNameQuery and LowerName give them; one buffer serves every name,
// so a query of short names allocates nothing.
template <class Each>
void ForEachName(std::string_view query, Each&& each) {
    std::string name;
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::string_view piece = NextNamePiece(query, start, &start);
        if (piece.empty()) {
            continue;
        }
        name.assign(piece);
        for (char& c : name) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c + ('a' - 'A'));
            }
        }
        each(static_cast<const std::string&>(name));
    }
}
// ASCII lower case (names are ASCII words).
std::string LowerName(std::string_view name);
// ASCII comparison ignoring letter case.
bool EqualsNoCase(std::string_view a, std::string_view b);
