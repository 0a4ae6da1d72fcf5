// The page tmsctl serve shows at /: HTML, style and script in one text
// built into the program. The script asks /api/channels ten times a second
// and redraws a card per channel, starting from the channels it was
// served with; values are set as text, never as markup,
// since any process of the server may write the status memory.
#pragma once

#include <string>

namespace tmsctl {

// initialJson: what /api/channels answers now, drawn before the first
// refresh.
std::string StatusPageHtml(const std::string& initialJson);

}  // namespace tmsctl
