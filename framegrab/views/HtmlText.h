#pragma once

#include <string>

namespace fp {

// Text made safe for HTML and SVG, between tags and in quoted attributes.
std::string EscapeHtml(const std::string& text);

// `data` in base64 (RFC 4648, with padding), as a data: URI carries it.
std::string Base64(const std::string& data);

}  // namespace fp
