// The system's message text for an HRESULT, as the error frame logs it for a
// COM error. Covers the COM and OLE Automation codes the component meets and
// the common Win32 errors, both as HRESULT_FROM_WIN32 values and as plain
// Win32 codes. The component's own codes (0x8004xxxx) have no system text.
//
// Thread safety: the table is constant; call from any thread.
#pragma once

#include "platform/com/HResult.h"

#include <string>

// Writes the message for hr into *text and returns true; returns false and
// leaves *text untouched when the system has no message for hr. text may be
// null to ask only whether there is one.
bool GetSystemErrorText(HRESULT hr, std::string* text);
