// CComRegistry, the class registry of in-process COM servers: which library
// serves a CLSID, with what threading model, and which CLSID a ProgID names.
// It lives in one text file in the runtime folder (RuntimePath
// "registry/com.reg" by default), one entry per line:
//
//   # comment
//   CLSID {96C46B5D-...} Name="TmsChannel Class" InprocServer32=/opt/lib/libx.so
//       ThreadingModel=Free ProgID=A.B.1 VersionIndependentProgID=A.B TypeLib={...}
//   ProgID A.B.1 CLSID={96C46B5D-...} Name="TmsChannel Class"
//   ProgID A.B CLSID={96C46B5D-...} Name="TmsChannel Class" CurVer=A.B.1
//
// (a CLSID entry is one line; it is wrapped here). Fields are Key=Value;
// a value with spaces, quotes or backslashes is written in double quotes
// with \" and \\ escapes. Optional fields are left out when empty.
//
// Every change is a read-modify-write under an exclusive flock on
// "<file>.lock", and the new file replaces the old by rename, so readers
// never see half a file and two processes registering at once lose nothing.
// Lookups take the lock shared.
//
// Errors: a line that is not a valid entry fails every call with
// REGDB_E_INVALIDVALUE (a change never rewrites such a file); unreadable or
// unwritable files give REGDB_E_READREGDB / REGDB_E_WRITEREGDB. On every
// failure the calling thread's error info (GetErrorInfo) holds a message
// naming the file, and the line for a malformed one. A missing file is an
// empty registry.
//
// Thread safety: one object may be used from several threads at once; it
// holds only its file path, and the file lock orders threads as it orders
// processes.
#pragma once

#include "platform/com/ClassEntry.h"
#include "platform/com/HResult.h"

#include <string>
#include <vector>

class CComRegistry {
public:
    // The registry of the current runtime folder (read when constructed).
    CComRegistry();
    explicit CComRegistry(std::string path);

    const std::string& Path() const { return m_path; }
    static std::string DefaultPath();

    // Adds or replaces the class entry. libraryPath must be absolute;
    // threadingModel one of "Free", "Both", "Apartment", "Neutral" or empty
    // (E_INVALIDARG otherwise, and for a value with control characters).
    HRESULT RegisterClass(const CLSID& clsid, const std::string& libraryPath,
                          const std::string& threadingModel, const std::string& name);
    HRESULT RegisterClass(const ClassEntry& entry);
    // Adds or replaces a ProgID (1 to 39 letters, digits, '.', '_' or '-',
    // not starting with a digit). curVer names the version-dependent ProgID
    // that a version-independent one stands for.
    HRESULT RegisterProgId(const std::string& progId, const CLSID& clsid,
                           const std::string& name = {}, const std::string& curVer = {});
    // Remove the entry; UnregisterClass also removes every ProgID naming the
    // class. S_FALSE when there was nothing to remove.
    HRESULT UnregisterClass(const CLSID& clsid);
    HRESULT UnregisterProgId(const std::string& progId);

    // REGDB_E_CLASSNOTREG for an unknown class, CO_E_CLASSSTRING for an
    // unknown or ill-formed ProgID.
    HRESULT LookupClass(const CLSID& clsid, ClassEntry* entry) const;
    HRESULT LookupProgId(const std::string& progId, CLSID* clsid) const;
    // Every class entry, in file order.
    HRESULT EnumerateClasses(std::vector<ClassEntry>* entries) const;

private:
    std::string m_path;
};

// The body of a server's DllRegisterServer: registers clsid as served by the
// library that contains addressInside (one of the server's own functions),
// with its ProgID (and a version-independent one naming it, when given).
HRESULT RegisterInprocServer(const CLSID& clsid, const std::string& name, const void* addressInside,
                             const std::string& threadingModel, const std::string& progId,
                             const std::string& versionIndependentProgId = {},
                             const GUID& typeLib = GUID{});
