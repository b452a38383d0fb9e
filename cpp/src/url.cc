#include "kelvo/url.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace kelvo {

namespace {

constexpr char kMask[] = "***";

bool is_scheme_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool all_digits(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// As urlsplit: C0 controls and spaces before the URL are stripped, and tab, CR and LF are
// removed wherever they stand.
std::string clean_url(std::string_view url) {
  size_t start = 0;
  while (start < url.size() && static_cast<unsigned char>(url[start]) <= 0x20) ++start;
  std::string cleaned;
  cleaned.reserve(url.size() - start);
  for (char c : url.substr(start)) {
    if (c != '\t' && c != '\r' && c != '\n') cleaned.push_back(c);
  }
  return cleaned;
}

// The last `c` in [begin, end) of `text`, or npos.
size_t last_in(std::string_view text, char c, size_t begin, size_t end) {
  if (end <= begin) return std::string_view::npos;
  const size_t found = text.substr(begin, end - begin).rfind(c);
  return found == std::string_view::npos ? found : begin + found;
}

// The host and port part as written: from `begin` to the first '/', '?' or '#'.
size_t host_end(std::string_view text, size_t begin) {
  const size_t end = text.find_first_of("/?#", begin);
  return end == std::string_view::npos ? text.size() : end;
}

// The '@' that ends the user info of the URL whose authority starts at `authority` (just after
// "://") in `text`, or npos when the URL has no user info. The one rule of this file; see url.h.
size_t user_info_end(std::string_view text, size_t authority) {
  size_t slash = text.find('/', authority);
  if (slash == std::string_view::npos) slash = text.size();
  const size_t at = last_in(text, '@', authority, slash);
  if (at != std::string_view::npos) return at;
  // No '@' before the first '/'. A host whose "port" is not a number is no host: most likely a
  // password with a raw '/'. Its user info then reaches the last '@' of this URL, which ends at
  // a space or where the next URL starts.
  const std::string_view host = text.substr(authority, host_end(text, authority) - authority);
  const size_t colon = host.find(':');
  if (host.empty() || host[0] == '[' || colon == std::string_view::npos) return std::string_view::npos;
  const std::string_view port = host.substr(colon + 1);
  if (port.empty() || all_digits(port)) return std::string_view::npos;
  size_t limit = authority;
  while (limit < text.size() && !is_space(text[limit])) ++limit;
  limit = std::min(limit, text.find("://", authority));
  return last_in(text, '@', authority, limit);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Every "%XX" decoded, except "%00"; a '%' that starts no escape stays as written.
std::string unescape(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0 && (high | low) != 0) {
        plain.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    plain.push_back(text[i]);
  }
  return plain;
}

// Splits "host", "host:port", "[v6]" or "[v6]:port" into `url`.
void read_host_port(std::string_view hostport, ParsedUrl* url) {
  std::string_view host = hostport;
  if (!hostport.empty() && hostport[0] == '[') {
    const size_t close = hostport.find(']');
    if (close == std::string_view::npos) {
      url->host_valid = false;
    } else {
      host = hostport.substr(0, close + 1);
      const std::string_view rest = hostport.substr(close + 1);
      if (!rest.empty() && rest[0] == ':') {
        url->has_port = true;
        url->port = std::string(rest.substr(1));
      } else if (!rest.empty()) {
        url->host_valid = false;
      }
      if (close == 1) url->host_valid = false;  // "[]"
    }
  } else if (const size_t colon = hostport.find(':'); colon != std::string_view::npos) {
    host = hostport.substr(0, colon);
    url->has_port = true;
    url->port = std::string(hostport.substr(colon + 1));
  }
  url->host = std::string(host);
  for (char c : url->host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) url->host_valid = false;
  }
}

// Word of a name that marks its value as secret.
bool is_secret_word(std::string_view word) {
  static constexpr std::string_view kWords[] = {"pw",         "pwd",    "pass",  "passwd",
                                                "password",   "passphrase", "secret", "token"};
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
}

// Whether a property or parameter called `name` holds a secret: one of its words (split at
// '-', '_' and '.') is a secret word, or it contains "password" or "passwd" anywhere.
bool is_secret_name(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("password") != std::string::npos || lower.find("passwd") != std::string::npos) {
    return true;
  }
  size_t begin = 0;
  while (begin <= lower.size()) {
    size_t end = lower.find_first_of("-_.", begin);
    if (end == std::string::npos) end = lower.size();
    if (is_secret_word(std::string_view(lower).substr(begin, end - begin))) return true;
    begin = end + 1;
  }
  return false;
}

// The end of a value that starts at `begin`: the closing quote of a quoted value (escapes
// skipped), else the first space or '&'.
size_t value_end(std::string_view text, size_t begin) {
  if (begin < text.size() && (text[begin] == '"' || text[begin] == '\'')) {
    const char quote = text[begin];
    size_t i = begin + 1;
    while (i < text.size() && text[i] != quote) i += text[i] == '\\' ? 2 : 1;
    return std::min(i + 1, text.size());
  }
  size_t i = begin;
  while (i < text.size() && !is_space(text[i]) && text[i] != '&') ++i;
  return i;
}

// The values of secret names in `text` replaced by the mask ("user-pw=***", "pw='***'").
std::string mask_secret_values(std::string_view text) {
  std::string out;
  size_t copied = 0;
  size_t search = 0;
  for (;;) {
    const size_t eq = text.find('=', search);
    if (eq == std::string_view::npos) break;
    size_t name_end = eq;
    while (name_end > copied && is_space(text[name_end - 1])) --name_end;
    size_t name_begin = name_end;
    while (name_begin > copied && is_name_char(text[name_begin - 1])) --name_begin;
    search = eq + 1;
    if (name_begin == name_end || !is_secret_name(text.substr(name_begin, name_end - name_begin))) {
      continue;
    }
    size_t value = eq + 1;
    while (value < text.size() && is_space(text[value]) && text[value] != '\n') ++value;
    const size_t end = value_end(text, value);
    if (end == value) continue;  // nothing given
    const bool quoted = text[value] == '"' || text[value] == '\'';
    out.append(text.substr(copied, value - copied));
    if (quoted) out.push_back(text[value]);
    out.append(kMask);
    if (quoted && end - value >= 2 && text[end - 1] == text[value]) out.push_back(text[value]);
    copied = end;
    search = end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

std::string url_scheme(std::string_view url) {
  const std::string cleaned = clean_url(url);
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

ParsedUrl parse_url(std::string_view raw) {
  ParsedUrl url;
  const std::string text = clean_url(raw);
  url.scheme = url_scheme(text);
  url.location = text;
  if (url.scheme.empty() || text.compare(url.scheme.size(), 3, "://") != 0) return url;
  url.has_authority = true;
  const size_t authority = url.scheme.size() + 3;
  const size_t at = user_info_end(text, authority);
  size_t host_begin = authority;
  if (at != std::string::npos) {
    const std::string_view info = std::string_view(text).substr(authority, at - authority);
    const size_t colon = info.find(':');
    url.has_user = true;
    url.user = unescape(info.substr(0, colon));
    if (colon != std::string_view::npos) {
      url.has_password = true;
      url.password = unescape(info.substr(colon + 1));
    }
    host_begin = at + 1;
    url.location = text.substr(0, authority) + text.substr(host_begin);
  }
  read_host_port(std::string_view(text).substr(host_begin, host_end(text, host_begin) - host_begin),
                 &url);
  return url;
}

std::string mask_password(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    const size_t sep = text.find("://", pos);
    if (sep == std::string_view::npos) break;
    const size_t authority = sep + 3;
    const size_t at = user_info_end(text, authority);
    // The password starts after the first ':' of the user info; without one there is none.
    const size_t colon = at == std::string_view::npos
                             ? at
                             : text.substr(authority, at - authority).find(':');
    if (colon == std::string_view::npos) {
      out.append(text.substr(pos, authority - pos));
      pos = authority;
      continue;
    }
    out.append(text.substr(pos, authority + colon + 1 - pos));
    out.append(kMask);
    pos = at;
  }
  out.append(text.substr(pos));
  return mask_secret_values(out);
}

}  // namespace kelvo
