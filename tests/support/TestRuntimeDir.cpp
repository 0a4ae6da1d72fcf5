#include "tests/support/TestRuntimeDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tmstest {

TestRuntimeDir::TestRuntimeDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "tms-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + templ);
    }
    m_path = templ;
    if (const char* prev = std::getenv("TMS_RUNTIME_DIR")) {
        m_hadPrevious = true;
        m_previous = prev;
    }
    ::setenv("TMS_RUNTIME_DIR", m_path.c_str(), 1);
}

TestRuntimeDir::~TestRuntimeDir() {
    if (m_hadPrevious) {
        ::setenv("TMS_RUNTIME_DIR", m_previous.c_str(), 1);
    } else {
        ::unsetenv("TMS_RUNTIME_DIR");
    }
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tmstest
