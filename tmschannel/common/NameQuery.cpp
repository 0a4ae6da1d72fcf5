#include "tmschannel/common/NameQuery.h"

#include <cctype>

std::string_view NextNamePiece(std::string_view query, std::size_t start, std::size_t* next) {
    std::size_t end = query.find_first_of("+|,", start);
    if (end == std::string_view::npos) {
        end = query.size();
    }
    std::string_view piece = query.substr(start, end - start);
    while (!piece.empty() && std::isspace(static_cast<unsigned char>(piece.front()))) {
        piece.remove_prefix(1);
    }
    while (!piece.empty() && std::isspace(static_cast<unsigned char>(piece.back()))) {
        piece.remove_suffix(1);
    }
    *next = end + 1;
    return piece;
}

std::vector<std::string> SplitNameQuery(std::string_view query) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::string_view piece = NextNamePiece(query, start, &start);
        if (!piece.empty()) {
            names.emplace_back(piece);
        }
    }
    return names;
}

std::size_t CountNames(std::string_view query) {
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= query.size()) {
        count += NextNamePiece(query, start, &start).empty() ? 0 : 1;
    }
    return count;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string LowerName(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}
