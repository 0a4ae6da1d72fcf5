#include "server/timeline/PropertyNames.h"

#include "platform/com/HResult.h"
#include "server/timeline/MovieError.h"

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

std::vector<std::string> SplitPropertyNames(const std::string& names) {
    std::vector<std::string> result;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = std::min(names.find('+', begin), names.size());
        std::string name = names.substr(begin, end - begin);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        if (name.empty()) {
            throw CMovieError(E_INVALIDARG, "The property list '" + names + "' has an empty name");
        }
        result.push_back(LowerAscii(std::move(name)));
        if (end == names.size()) {
            return result;
        }
        begin = end + 1;
    }
}
