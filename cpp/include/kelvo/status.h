// The stream status, shared by the core and the Python package.
#ifndef KELVO_STATUS_H_
#define KELVO_STATUS_H_

#include <array>

namespace kelvo {

enum class StreamStatus { kInitializing = 0, kStreaming = 1, kHalted = 2, kClosed = 3 };

inline constexpr std::array<StreamStatus, 4> kAllStreamStatuses = {
    StreamStatus::kInitializing, StreamStatus::kStreaming, StreamStatus::kHalted,
    StreamStatus::kClosed};

// `status` itself; std::invalid_argument when it is not a member (an integer cast to the type).
StreamStatus checked_status(StreamStatus status);

// The member's name as Python spells it: "INITIALIZING", "STREAMING", "HALTED", "CLOSED".
const char* status_name(StreamStatus status);

// The text form used in every log line and by `str()` in Python: "StreamStatus.STREAMING".
const char* to_string(StreamStatus status);

}  // namespace kelvo

#endif  // KELVO_STATUS_H_
