// Credentials out of a URL, so that they go to the source element and nowhere else.
#include <glib.h>

#include <string>

#include "kelvo/factories.h"
#include "kelvo/gst_ptr.h"

namespace kelvo {

namespace {

std::string unescape(const std::string& text) {
  GCharPtr plain(g_uri_unescape_string(text.c_str(), nullptr));
  return plain ? plain.get() : text;  // invalid escapes: as given
}

}  // namespace

UrlCredentials split_credentials(const std::string& url) {
  UrlCredentials result;
  result.location = url;
  const std::string::size_type scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return result;
  const std::string::size_type authority = scheme_end + 3;
  const std::string::size_type authority_end = url.find_first_of("/?#", authority);
  const std::string host_part =
      url.substr(authority, authority_end == std::string::npos ? std::string::npos
                                                               : authority_end - authority);
  const std::string::size_type at = host_part.rfind('@');
  if (at == std::string::npos) return result;
  const std::string userinfo = host_part.substr(0, at);
  const std::string::size_type colon = userinfo.find(':');
  result.has_user = true;
  result.user = unescape(userinfo.substr(0, colon));
  if (colon != std::string::npos) {
    result.has_password = true;
    result.password = unescape(userinfo.substr(colon + 1));
  }
  result.location = url.substr(0, authority) + host_part.substr(at + 1) +
                    (authority_end == std::string::npos ? "" : url.substr(authority_end));
  return result;
}

}  // namespace kelvo
