#include "platform/com/ComRegistry.h"
#include "platform/com/CoCreateInstance.h"
#include "platform/kernel/PrivateFiles.h"

#include "platform/com/ComActivationCodes.h"
#include "platform/com/ErrorInfo.h"
#include "platform/kernel/RuntimeDir.h"
#include "platform/kernel/UniqueFd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kSource = "ComRegistry";

struct ProgIdEntry {
    std::string progId;
    CLSID clsid{};
    std::string name;
    std::string curVer;
};

struct Contents {
    std::vector<ClassEntry> classes;
    std::vector<ProgIdEntry> progIds;
};

// Internal failure: carried to the public edge, which stores the message as
// the thread's error info and returns the code.
struct RegistryError {
    HRESULT hr;
    std::string message;
};

std::string Errno(int err) {
    return std::strerror(err);
}

// Holds flock on the registry's lock file for a scope. The lock file is never
// replaced, so every process locks the same inode; the registry file itself
// is renamed over and cannot carry the lock.
class CRegistryFileLock {
public:
    CRegistryFileLock(const std::string& registryPath, bool exclusive) {
        const std::string lockPath = registryPath + ".lock";
        m_fd = OpenPrivateFile(lockPath, O_RDWR);
        if (m_fd < 0) {
            const int err = errno;
            throw RegistryError{exclusive ? REGDB_E_WRITEREGDB : REGDB_E_READREGDB,
                                "cannot open the lock file " + lockPath + ": " + Errno(err)};
        }
        int rc = 0;
        do {
            rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            ::close(m_fd);
            throw RegistryError{exclusive ? REGDB_E_WRITEREGDB : REGDB_E_READREGDB,
                                "cannot lock " + lockPath + ": " + Errno(err)};
        }
    }
    ~CRegistryFileLock() { ::close(m_fd); }  // closing drops the flock
    CRegistryFileLock(const CRegistryFileLock&) = delete;
    CRegistryFileLock& operator=(const CRegistryFileLock&) = delete;

private:
    int m_fd = -1;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool HasControlCharacter(std::string_view value) {
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

bool IsValidProgId(std::string_view progId) {
    if (progId.empty() || progId.size() > 39 || (progId[0] >= '0' && progId[0] <= '9')) {
        return false;
    }
    return std::all_of(progId.begin(), progId.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '-';
    });
}

bool IsValidThreadingModel(std::string_view model) {
    return model.empty() || model == "Free" || model == "Both" || model == "Apartment" ||
           model == "Neutral";
}

// ---- reading -------------------------------------------------------------

class CParser {
public:
    CParser(const std::string& path, std::string_view text) : m_path(path), m_text(text) {}

    Contents Parse() {
        Contents contents;
        std::map<CLSID, int> classLines;
        std::map<std::string, int> progIdLines;
        std::size_t start = 0;
        while (start < m_text.size()) {
            std::size_t end = m_text.find('\n', start);
            if (end == std::string_view::npos) {
                end = m_text.size();
            }
            ++m_line;
            ParseLine(m_text.substr(start, end - start), &contents, &classLines, &progIdLines);
            start = end + 1;
        }
        return contents;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, " line %d: ", m_line);
        throw RegistryError{REGDB_E_INVALIDVALUE,
                            "malformed COM registry " + m_path + prefix + what};
    }

    // Splits a line into tokens at blanks; double quotes group blanks into a
    // token and \" or \\ inside them stand for the character.
    std::vector<std::string> Tokenize(std::string_view line) const {
        std::vector<std::string> tokens;
        std::size_t i = 0;
        while (true) {
            while (i < line.size() && IsBlank(line[i])) {
                ++i;
            }
            if (i == line.size()) {
                return tokens;
            }
            std::string token;
            while (i < line.size() && !IsBlank(line[i])) {
                if (line[i] != '"') {
                    token += line[i++];
                    continue;
                }
                ++i;
                while (true) {
                    if (i == line.size()) {
                        Fail("unterminated quoted value");
                    }
                    const char c = line[i++];
                    if (c == '"') {
                        break;
                    }
                    if (c == '\\') {
                        if (i == line.size() || (line[i] != '"' && line[i] != '\\')) {
                            Fail("bad escape in quoted value (only \\\" and \\\\ are allowed)");
                        }
                        token += line[i++];
                    } else {
                        token += c;
                    }
                }
            }
            tokens.push_back(std::move(token));
        }
    }

    GUID ParseGuid(const std::string& text, const char* what) const {
        GUID guid{};
        if (!GuidFromString(text, &guid)) {
            Fail(std::string("bad ") + what + " '" + text + "'");
        }
        return guid;
    }

    // Key=Value fields after the first two tokens; each key at most once.
    std::map<std::string, std::string> Fields(const std::vector<std::string>& tokens,
                                              std::initializer_list<const char*> known) const {
        std::map<std::string, std::string> fields;
        for (std::size_t i = 2; i < tokens.size(); ++i) {
            const std::size_t eq = tokens[i].find('=');
            if (eq == std::string::npos || eq == 0) {
                Fail("expected Key=Value, found '" + tokens[i] + "'");
            }
            std::string key = tokens[i].substr(0, eq);
            if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
                Fail("unknown field '" + key + "'");
            }
            if (HasControlCharacter(tokens[i])) {
                Fail("control character in field '" + key + "'");
            }
            if (!fields.emplace(key, tokens[i].substr(eq + 1)).second) {
                Fail("field '" + key + "' given twice");
            }
        }
        return fields;
    }

    void ParseLine(std::string_view line, Contents* contents, std::map<CLSID, int>* classLines,
                   std::map<std::string, int>* progIdLines) const {
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::size_t first = 0;
        while (first < line.size() && IsBlank(line[first])) {
            ++first;
        }
        if (first == line.size() || line[first] == '#') {
            return;
        }
        const std::vector<std::string> tokens = Tokenize(line);
        const std::string& kind = tokens[0];
        if (kind != "CLSID" && kind != "ProgID") {
            Fail("unknown entry kind '" + kind + "' (expected CLSID or ProgID)");
        }
        if (tokens.size() < 2) {
            Fail(kind + " entry without its " + (kind == "CLSID" ? "class id" : "name"));
        }
        char seen[48];
        if (kind == "CLSID") {
            ClassEntry entry;
            entry.clsid = ParseGuid(tokens[1], "class id");
            auto fields = Fields(tokens, {"Name", "InprocServer32", "ThreadingModel", "ProgID",
                                          "VersionIndependentProgID", "TypeLib"});
            entry.name = fields["Name"];
            entry.inprocServer32 = fields["InprocServer32"];
            entry.threadingModel = fields["ThreadingModel"];
            entry.progId = fields["ProgID"];
            entry.versionIndependentProgId = fields["VersionIndependentProgID"];
            if (!fields["TypeLib"].empty()) {
                entry.typeLib = ParseGuid(fields["TypeLib"], "TypeLib");
            }
            if (!IsValidThreadingModel(entry.threadingModel)) {
                Fail("unknown ThreadingModel '" + entry.threadingModel + "'");
            }
            const auto [it, added] = classLines->emplace(entry.clsid, m_line);
            if (!added) {
                std::snprintf(seen, sizeof seen, "%d", it->second);
                Fail("class " + tokens[1] + " is already registered on line " + seen);
            }
            contents->classes.push_back(std::move(entry));
        } else {
            ProgIdEntry entry;
            entry.progId = tokens[1];
            if (!IsValidProgId(entry.progId)) {
                Fail("bad ProgID '" + entry.progId + "'");
            }
            auto fields = Fields(tokens, {"CLSID", "Name", "CurVer"});
            if (fields.count("CLSID") == 0) {
                Fail("ProgID " + entry.progId + " without CLSID=");
            }
            entry.clsid = ParseGuid(fields["CLSID"], "class id");
            entry.name = fields["Name"];
            entry.curVer = fields["CurVer"];
            const auto [it, added] = progIdLines->emplace(entry.progId, m_line);
            if (!added) {
                std::snprintf(seen, sizeof seen, "%d", it->second);
                Fail("ProgID " + entry.progId + " is already registered on line " + seen);
            }
            contents->progIds.push_back(std::move(entry));
        }
    }

    const std::string& m_path;
    std::string_view m_text;
    int m_line = 0;
};

Contents ReadContents(const std::string& path) {
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int err = errno;
        if (err == ENOENT) {
            return {};
        }
        throw RegistryError{REGDB_E_READREGDB,
                            "cannot open the COM registry " + path + ": " + Errno(err)};
    }
    std::string text;
    char buffer[8192];
    while (true) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            throw RegistryError{REGDB_E_READREGDB,
                                "cannot read the COM registry " + path + ": " + Errno(err)};
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return CParser(path, text).Parse();
}

// ---- writing -------------------------------------------------------------

std::string Quote(const std::string& value) {
    const bool plain = !value.empty() && std::none_of(value.begin(), value.end(), [](char c) {
        return IsBlank(c) || c == '"' || c == '\\' || c == '#';
    });
    if (plain) {
        return value;
    }
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + '"';
}

void AddField(std::string* line, const char* key, const std::string& value) {
    if (!value.empty()) {
        *line += ' ';
        *line += key;
        *line += '=';
        *line += Quote(value);
    }
}

std::string Format(const Contents& contents) {
    std::string text =
        "# COM class registry: in-process servers and ProgIDs, one entry per line.\n";
    for (const ClassEntry& c : contents.classes) {
        std::string line = "CLSID " + GuidToString(c.clsid);
        AddField(&line, "Name", c.name);
        AddField(&line, "InprocServer32", c.inprocServer32);
        AddField(&line, "ThreadingModel", c.threadingModel);
        AddField(&line, "ProgID", c.progId);
        AddField(&line, "VersionIndependentProgID", c.versionIndependentProgId);
        if (c.typeLib != GUID_NULL) {
            AddField(&line, "TypeLib", GuidToString(c.typeLib));
        }
        text += line + '\n';
    }
    for (const ProgIdEntry& p : contents.progIds) {
        std::string line = "ProgID " + p.progId;
        AddField(&line, "CLSID", GuidToString(p.clsid));
        AddField(&line, "Name", p.name);
        AddField(&line, "CurVer", p.curVer);
        text += line + '\n';
    }
    return text;
}

// Writes the whole registry to a temporary file and renames it over the old
// one; the caller holds the exclusive lock, so the temporary name is free.
void WriteContents(const std::string& path, const Contents& contents) {
    const std::string text = Format(contents);
    const std::string temp = path + ".tmp";
    // A temporary file left by a writer that died goes: made anew, it is
    // private whatever mode the old one had.
    ::unlink(temp.c_str());
    CUniqueFd fd(OpenPrivateFile(temp, O_WRONLY | O_EXCL));
    auto fail = [&](const char* what) {
        const int err = errno;
        ::unlink(temp.c_str());
        throw RegistryError{REGDB_E_WRITEREGDB,
                            std::string("cannot ") + what + " " + temp + ": " + Errno(err)};
    };
    if (fd.Get() < 0) {
        fail("create");
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd.Get(), text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.Get()) != 0) {
        fail("flush");
    }
    if (::close(fd.Release()) != 0) {
        fail("close");
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        fail("rename into place");
    }
}

template <class Change>
HRESULT Modify(const std::string& path, Change change) {
    try {
        CRegistryFileLock lock(path, true);
        Contents contents = ReadContents(path);
        const bool changed = change(&contents);
        if (changed) {
            WriteContents(path, contents);
        }
        return changed ? S_OK : S_FALSE;
    } catch (const RegistryError& e) {
        return ReportErrorInfo(e.hr, IID_NULL, kSource, e.message);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

template <class Query>
HRESULT Read(const std::string& path, Query query) {
    try {
        Contents contents;
        {
            CRegistryFileLock lock(path, false);
            contents = ReadContents(path);
        }
        return query(contents);
    } catch (const RegistryError& e) {
        return ReportErrorInfo(e.hr, IID_NULL, kSource, e.message);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT InvalidArgument(const std::string& message) {
    return ReportErrorInfo(E_INVALIDARG, IID_NULL, kSource, message);
}

}  // namespace

CComRegistry::CComRegistry() : m_path(DefaultPath()) {}

CComRegistry::CComRegistry(std::string path) : m_path(std::move(path)) {}

std::string CComRegistry::DefaultPath() {
    return RuntimePath("registry/com.reg");
}

HRESULT CComRegistry::RegisterClass(const CLSID& clsid, const std::string& libraryPath,
                                    const std::string& threadingModel, const std::string& name) {
    ClassEntry entry;
    entry.clsid = clsid;
    entry.inprocServer32 = libraryPath;
    entry.threadingModel = threadingModel;
    entry.name = name;
    return RegisterClass(entry);
}

HRESULT CComRegistry::RegisterClass(const ClassEntry& entry) {
    if (entry.inprocServer32.empty() || entry.inprocServer32[0] != '/') {
        return InvalidArgument("the server library path must be absolute, not '" +
                               entry.inprocServer32 + "'");
    }
    if (!IsValidThreadingModel(entry.threadingModel)) {
        return InvalidArgument("unknown threading model '" + entry.threadingModel +
                               "' (expected Free, Both, Apartment or Neutral)");
    }
    for (const std::string* value : {&entry.name, &entry.inprocServer32}) {
        if (HasControlCharacter(*value)) {
            return InvalidArgument("control character in '" + *value + "'");
        }
    }
    for (const std::string* progId : {&entry.progId, &entry.versionIndependentProgId}) {
        if (!progId->empty() && !IsValidProgId(*progId)) {
            return InvalidArgument("bad ProgID '" + *progId + "'");
        }
    }
    return Modify(m_path, [&](Contents* contents) {
        auto it = std::find_if(contents->classes.begin(), contents->classes.end(),
                               [&](const ClassEntry& c) { return c.clsid == entry.clsid; });
        if (it != contents->classes.end()) {
            *it = entry;
        } else {
            contents->classes.push_back(entry);
        }
        return true;
    });
}

HRESULT CComRegistry::RegisterProgId(const std::string& progId, const CLSID& clsid,
                                     const std::string& name, const std::string& curVer) {
    if (!IsValidProgId(progId)) {
        return InvalidArgument("bad ProgID '" + progId +
                               "' (1 to 39 letters, digits, '.', '_' or '-', not starting "
                               "with a digit)");
    }
    if (!curVer.empty() && !IsValidProgId(curVer)) {
        return InvalidArgument("bad current-version ProgID '" + curVer + "'");
    }
    if (HasControlCharacter(name)) {
        return InvalidArgument("control character in '" + name + "'");
    }
    return Modify(m_path, [&](Contents* contents) {
        ProgIdEntry entry{progId, clsid, name, curVer};
        auto it = std::find_if(contents->progIds.begin(), contents->progIds.end(),
                               [&](const ProgIdEntry& p) { return p.progId == progId; });
        if (it != contents->progIds.end()) {
            *it = std::move(entry);
        } else {
            contents->progIds.push_back(std::move(entry));
        }
        return true;
    });
}

HRESULT CComRegistry::UnregisterClass(const CLSID& clsid) {
    return Modify(m_path, [&](Contents* contents) {
        const std::size_t before = contents->classes.size() + contents->progIds.size();
        std::erase_if(contents->classes, [&](const ClassEntry& c) { return c.clsid == clsid; });
        std::erase_if(contents->progIds, [&](const ProgIdEntry& p) { return p.clsid == clsid; });
        return contents->classes.size() + contents->progIds.size() != before;
    });
}

HRESULT CComRegistry::UnregisterProgId(const std::string& progId) {
    return Modify(m_path, [&](Contents* contents) {
        return std::erase_if(contents->progIds,
                             [&](const ProgIdEntry& p) { return p.progId == progId; }) != 0;
    });
}

HRESULT CComRegistry::LookupClass(const CLSID& clsid, ClassEntry* entry) const {
    if (entry == nullptr) {
        return E_POINTER;
    }
    return Read(m_path, [&](const Contents& contents) {
        for (const ClassEntry& c : contents.classes) {
            if (c.clsid == clsid) {
                *entry = c;
                return S_OK;
            }
        }
        return ReportErrorInfo(REGDB_E_CLASSNOTREG, IID_NULL, kSource,
                               "class " + GuidToString(clsid) + " is not registered in " + m_path);
    });
}

HRESULT CComRegistry::LookupProgId(const std::string& progId, CLSID* clsid) const {
    if (clsid == nullptr) {
        return E_POINTER;
    }
    *clsid = CLSID_NULL;
    if (!IsValidProgId(progId)) {
        return ReportErrorInfo(CO_E_CLASSSTRING, IID_NULL, kSource,
                               "'" + progId + "' is not a valid ProgID");
    }
    return Read(m_path, [&](const Contents& contents) {
        for (const ProgIdEntry& p : contents.progIds) {
            if (p.progId == progId) {
                *clsid = p.clsid;
                return S_OK;
            }
        }
        return ReportErrorInfo(CO_E_CLASSSTRING, IID_NULL, kSource,
                               "ProgID " + progId + " is not registered in " + m_path);
    });
}

HRESULT CComRegistry::EnumerateClasses(std::vector<ClassEntry>* entries) const {
    if (entries == nullptr) {
        return E_POINTER;
    }
    return Read(m_path, [&](const Contents& contents) {
        *entries = contents.classes;
        return S_OK;
    });
}

HRESULT RegisterInprocServer(const CLSID& clsid, const std::string& name, const void* addressInside,
                             const std::string& threadingModel, const std::string& progId,
                             const std::string& versionIndependentProgId, const GUID& typeLib) {
    ClassEntry entry;
    entry.typeLib = typeLib;
    entry.clsid = clsid;
    entry.name = name;
    entry.inprocServer32 = GetModulePath(addressInside);
    entry.threadingModel = threadingModel;
    entry.progId = progId;
    entry.versionIndependentProgId = versionIndependentProgId;
    CComRegistry registry;
    HRESULT hr = registry.RegisterClass(entry);
    if (SUCCEEDED(hr) && !progId.empty()) {
        hr = registry.RegisterProgId(progId, clsid, name);
    }
    if (SUCCEEDED(hr) && !versionIndependentProgId.empty()) {
        hr = registry.RegisterProgId(versionIndependentProgId, clsid, name, progId);
    }
    return FAILED(hr) ? hr : S_OK;
}
