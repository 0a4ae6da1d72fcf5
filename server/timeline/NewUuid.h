// A new random (version 4) uuid as text, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// for segments, sections and edits.
//
// Thread safety: call from any thread.
#pragma once

#include <string>

std::string NewUuidText();
