#include <stdexcept>

#include "kelvo/stream_reader.h"

namespace kelvo {

std::shared_ptr<PipelineFactory> make_gst_factory(const FactoryRequest&) {
  throw std::logic_error("GStreamer factories are not built yet");
}

}  // namespace kelvo
