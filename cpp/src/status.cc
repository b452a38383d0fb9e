#include "kelvo/status.h"

namespace kelvo {

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
