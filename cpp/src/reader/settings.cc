#include <cmath>
#include <stdexcept>
#include <string>

#include "kelvo/errors.h"
#include "kelvo/restarter.h"
#include "kelvo/settings_check.h"
#include "kelvo/url.h"

namespace kelvo {

namespace {

void require_no_nul(const std::string& text, const char* argument) {
  if (text.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string("Argument '") + argument +
                                "' must not contain a NUL character");
  }
}

void require_seconds(double seconds, const char* argument) {
  if (!std::isfinite(seconds) || seconds < 0) {
    throw std::invalid_argument(std::string("Argument '") + argument +
                                "' must be a finite number of seconds, 0 or more, not " +
                                shortest_double(seconds));
  }
}

bool valid_port(const std::string& port) {
  if (port.empty()) return true;  // "host:" is the default port
  if (port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  const int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

}  // namespace

void validate_reader_settings(const ReaderSettings& settings) {
  require_no_nul(settings.url, "url");
  if (settings.pipeline_str) require_no_nul(*settings.pipeline_str, "pipeline_str");
  require_seconds(settings.backoff.base_seconds, "base_backoff_seconds");
  require_seconds(settings.backoff.max_seconds, "max_backoff_seconds");
  require_seconds(settings.backoff.randomness_seconds, "backoff_randomness_seconds");
  if (settings.max_frame_pixels == 0) {
    throw std::invalid_argument("The frame size limit must be 1 pixel or more, not 0");
  }
  if (settings.pipeline_str) return;

  const ParsedUrl url = parse_url(settings.url);
  if (url.scheme != "rtsp" && url.scheme != "http" && url.scheme != "https") return;
  std::string problem;
  if (!url.has_authority || url.host.empty()) {
    problem = "has no host";
  } else if (!url.host_valid) {
    problem = "has an invalid host";
  } else if (url.has_port && !valid_port(url.port)) {
    problem = "has an invalid port '" + url.port + "' (a number from 1 to 65535 expected)";
  }
  if (!problem.empty()) {
    throw StreamSetupError(mask_password("The stream URL " + problem + ": " + settings.url));
  }
}

}  // namespace kelvo
