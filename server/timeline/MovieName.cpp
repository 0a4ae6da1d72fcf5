#include "server/timeline/MovieName.h"

#include <cstdio>

#include "platform/com/HResult.h"
#include "server/timeline/MovieError.h"

namespace {

void Check(const std::string& text, const char* what) {
    const std::string problem = CMovieName::Problem(text);
    if (!problem.empty()) {
        throw CMovieError(E_INVALIDARG,
                          std::string("The ") + what + " name '" + text + "' " + problem);
    }
}

}  // namespace

CMovieName::CMovieName(std::string dataset, std::string group, std::string movie)
    : m_dataset(std::move(dataset)), m_group(std::move(group)), m_movie(std::move(movie)) {
    Check(m_dataset, "dataset");
    Check(m_group, "group");
    Check(m_movie, "movie");
}

std::string CMovieName::Problem(const std::string& text) {
    if (text.empty()) {
        return "is empty";
    }
    if (text == "." || text == "..") {
        return "is not a name";
    }
    if (text.size() > kMaxBytes) {
        return "is longer than " + std::to_string(kMaxBytes) + " bytes";
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '/' || c == '\\') {
            return std::string("has a '") + static_cast<char>(c) + "' at byte " + std::to_string(i);
        }
        if (c < 0x20 || c == 0x7F) {
            char code[8];
            std::snprintf(code, sizeof code, "0x%02X", c);
            return std::string("has the control character ") + code + " at byte " +
                   std::to_string(i);
        }
    }
    return "";
}

std::string CMovieName::Text() const {
    return m_dataset + "/" + m_group + "/" + m_movie;
}

std::string CMovieName::Uri() const {
    return "movie:///" + Text();
}

std::string CMovieName::MoviesFolder(const std::string& runtimeDir) {
    return runtimeDir + "/movies";
}

std::string CMovieName::FilePath(const std::string& runtimeDir) const {
    return MoviesFolder(runtimeDir) + "/" + Text() + ".movie";
}
