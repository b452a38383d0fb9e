#include "kelvo/url.h"

#include <cctype>

namespace kelvo {

namespace {

bool is_scheme_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// Characters that end the authority part of a URL inside free text.
bool ends_authority(char c) {
  return c == '/' || c == '?' || c == '#' || c == '"' || c == '\'' || c == '<' || c == '>' ||
         c == ')' || c == ']' || std::isspace(static_cast<unsigned char>(c));
}

}  // namespace

std::string url_scheme(std::string_view url) {
  // As urlsplit: C0 controls and spaces before the URL are stripped, and tab, CR and LF are
  // removed wherever they stand.
  size_t start = 0;
  while (start < url.size() && static_cast<unsigned char>(url[start]) <= 0x20) ++start;
  std::string cleaned;
  for (char c : url.substr(start)) {
    if (c != '\t' && c != '\r' && c != '\n') cleaned.push_back(c);
  }
  const size_t colon = cleaned.find(':');
  if (colon == std::string::npos || colon == 0) return "";
  if (!std::isalpha(static_cast<unsigned char>(cleaned[0]))) return "";
  std::string scheme;
  for (size_t i = 0; i < colon; ++i) {
    if (!is_scheme_char(cleaned[i])) return "";
    scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(cleaned[i]))));
  }
  return scheme;
}

std::string mask_password(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t sep = text.find("://", pos);
    if (sep == std::string_view::npos) break;
    const size_t authority = sep + 3;
    size_t end = authority;
    while (end < text.size() && !ends_authority(text[end])) ++end;
    const std::string_view host_part = text.substr(authority, end - authority);
    const size_t at = host_part.rfind('@');
    const size_t colon = at == std::string_view::npos ? at : host_part.substr(0, at).find(':');
    out.append(text.substr(pos, authority - pos));
    if (colon != std::string_view::npos) {
      out.append(host_part.substr(0, colon + 1));
      out.append("***");
      out.append(host_part.substr(at));
    } else {
      out.append(host_part);
    }
    pos = end;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace kelvo
