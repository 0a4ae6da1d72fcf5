// Gives a test its own runtime folder so that test processes running in
// parallel never share log files, sockets or shared-memory names.
#pragma once

#include <string>
#include <vector>

namespace tmstest {

// Creates a fresh folder under the system temp folder, points TMS_RUNTIME_DIR
// at it for this process, and removes it again on destruction. A named object
// of the folder still in /dev/shm at that point fails the test (and is
// removed): the fixture must stop what it started and remove what it owns.
class TestRuntimeDir {
public:
    TestRuntimeDir();
    ~TestRuntimeDir();
    TestRuntimeDir(const TestRuntimeDir&) = delete;
    TestRuntimeDir& operator=(const TestRuntimeDir&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// The named kernel objects (/dev/shm entries) of the current runtime folder
// that still exist, so that a fixture can check it left none behind.
std::vector<std::string> NamedObjectsLeft();

// Reads a whole file into a string ("" when it cannot be read).
std::string ReadFileText(const std::string& path);

}  // namespace tmstest
