// The page tmsctl serve shows at /: HTML, style and script in one text
// built into the program. The script asks /api/channels ten times a second
// and redraws a card per channel; values are set as text, never as markup,
// since any process of the server may write the status memory.
#pragma once

namespace tmsctl {

const char* StatusPageHtml();

}  // namespace tmsctl
