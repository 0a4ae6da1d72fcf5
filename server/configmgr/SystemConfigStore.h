// CSystemConfigStore: the system configuration file of the runtime folder,
// read and changed under a lock that every process of the folder shares (an
// flock on "<file>.lock": shared to read, exclusive to change).
//
// A change re-reads the file under the exclusive lock, applies itself and
// saves the whole document atomically (temporary file, fsync, rename), so
// two processes changing different attributes at once lose neither, and a
// crash leaves the old file or the new one, never a part.
//
// Errors are thrown as CConfigError with the HRESULT and a message naming
// the file (and line and column for a parse error).
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

#include "platform/com/HResult.h"
#include "platform/xml/XmlDocument.h"

class CConfigError : public std::runtime_error {
public:
    CConfigError(HRESULT hr, const std::string& message) : std::runtime_error(message), m_hr(hr) {}
    HRESULT Error() const { return m_hr; }

private:
    HRESULT m_hr;
};

class CSystemConfigStore {
public:
    // The runtime folder's system.xml (set up from the sample when missing).
    CSystemConfigStore();
    explicit CSystemConfigStore(std::string path);

    const std::string& Path() const { return m_path; }
    CXmlDocument Load() const;
    // Runs change on the current file content and saves the result.
    void Update(const std::function<void(CXmlDocument&)>& change) const;

private:
    CXmlDocument Read() const;

    std::string m_path;  // constant
};
