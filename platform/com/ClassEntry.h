// One class of the COM class registry, as DllRegisterServer writes it and
// activation reads it.
#pragma once

#include "platform/com/Guid.h"

#include <string>

struct ClassEntry {
    CLSID clsid{};
    // The class's description, e.g. "TmsChannel Class".
    std::string name;
    // Absolute path of the in-process server library.
    std::string inprocServer32;
    // "Free", "Both", "Apartment", "Neutral", or empty.
    std::string threadingModel;
    // Optional: the ProgIDs and type library the class names.
    std::string progId;
    std::string versionIndependentProgId;
    GUID typeLib{};
};
