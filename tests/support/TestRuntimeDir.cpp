#include "tests/support/TestRuntimeDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/kernel/NamedObjects.h"
#include "platform/kernel/RuntimeDir.h"

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
    // Whoever stood for the server of this folder (a simulator, the fixture)
    // has removed its named objects by now; anything left would outlive the
    // test in /dev/shm. It fails the test, and is removed all the same.
    ::setenv("TMS_RUNTIME_DIR", m_path.c_str(), 1);
    for (const std::string& name : NamedObjectsLeft()) {
        ADD_FAILURE() << "left in /dev/shm by the test: " << name;
    }
    UnlinkAllNamedObjects();
    if (m_hadPrevious) {
        ::setenv("TMS_RUNTIME_DIR", m_previous.c_str(), 1);
    } else {
        ::unsetenv("TMS_RUNTIME_DIR");
    }
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::vector<std::string> NamedObjectsLeft() {
    // RuntimeObjectPrefix() is "/tms.<hash>."; glibc keeps the objects in /dev/shm.
    const std::string prefix = RuntimeObjectPrefix().substr(1);
    std::vector<std::string> left;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) {
            left.push_back(name);
        }
    }
    return left;
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace tmstest
