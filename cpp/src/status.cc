#include "kelvo/status.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kelvo {

StreamStatus checked_status(StreamStatus status) {
  if (std::find(kAllStreamStatuses.begin(), kAllStreamStatuses.end(), status) ==
      kAllStreamStatuses.end()) {
    throw std::invalid_argument(std::to_string(static_cast<int>(status)) +
                                " is not a valid StreamStatus");
  }
  return status;
}

const char* status_name(StreamStatus status) {
  switch (status) {
    case StreamStatus::kInitializing:
      return "INITIALIZING";
    case StreamStatus::kStreaming:
      return "STREAMING";
    case StreamStatus::kHalted:
      return "HALTED";
    case StreamStatus::kClosed:
      return "CLOSED";
  }
  return "UNKNOWN";
}

const char* to_string(StreamStatus status) {
  switch (status) {
    case StreamStatus::kInitializing:
      return "StreamStatus.INITIALIZING";
    case StreamStatus::kStreaming:
      return "StreamStatus.STREAMING";
    case StreamStatus::kHalted:
      return "StreamStatus.HALTED";
    case StreamStatus::kClosed:
      return "StreamStatus.CLOSED";
  }
  return "StreamStatus.UNKNOWN";
}

}  // namespace kelvo
