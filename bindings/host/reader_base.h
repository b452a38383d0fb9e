// The C++ side of kelvo.stream_reader.base.StreamReader, which the GStreamer reader derives from.
#ifndef KELVO_BINDINGS_READER_BASE_H_
#define KELVO_BINDINGS_READER_BASE_H_

namespace kelvo {

class StreamReaderBase {
 public:
  virtual ~StreamReaderBase() = default;
};

}  // namespace kelvo

#endif  // KELVO_BINDINGS_READER_BASE_H_
