// Error types of the core. The Python layer maps each to the type the host expects, with the
// message unchanged.
#ifndef KELVO_ERRORS_H_
#define KELVO_ERRORS_H_

#include <stdexcept>
#include <string>

namespace kelvo {

// A stream could not be set up: unsupported URL, a pipeline description that does not parse,
// a pipeline that does not start playing. Python: kelvo.errors.StreamSetupError.
class StreamSetupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A sample could not be turned into a frame. Python:
// kelvo.utils.gstreamer.SampleConversionError.
class SampleConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An argument of the wrong type. Python: TypeError.
class ArgumentTypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Any other failure is a std::runtime_error (Python: RuntimeError) or std::invalid_argument
// (Python: ValueError).

}  // namespace kelvo

#endif  // KELVO_ERRORS_H_
