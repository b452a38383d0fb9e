#include "kelvo/factories.h"
#include "kelvo/stream_reader.h"

namespace kelvo {

std::shared_ptr<PipelineFactory> make_gst_factory(const FactoryRequest& request) {
  switch (request.kind) {
    case FactoryRequest::Kind::kRtsp:
      return std::make_shared<RtspPipelineFactory>(request.url, request.latency, request.watcher,
                                                   request.force_tcp, request.on_complete,
                                                   request.logger, request.max_frame_pixels);
    case FactoryRequest::Kind::kHttp:
      return std::make_shared<HttpPipelineFactory>(request.url, request.watcher,
                                                   request.on_complete, request.logger,
                                                   request.max_frame_pixels);
    case FactoryRequest::Kind::kCustom:
      break;
  }
  return std::make_shared<CustomPipelineFactory>(request.pipeline_str, request.url,
                                                 request.watcher, request.on_complete,
                                                 request.logger);
}

}  // namespace kelvo
