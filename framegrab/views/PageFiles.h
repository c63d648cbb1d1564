#pragma once

#include <string_view>

namespace fp {

// The live page's files (framegrab/views/page/), built into the program.
extern const std::string_view kLivePageHtml;    // live.html, with a place for each of the others
extern const std::string_view kLivePanelHtml;   // panel.html, one camera's parts; {k} in the ids
extern const std::string_view kPageCss;         // page.css, also the report's style
extern const std::string_view kLivePageScript;  // live.js

}  // namespace fp
