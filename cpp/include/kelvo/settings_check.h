// The check of a reader's settings, made before anything of the reader is built.
#ifndef KELVO_SETTINGS_CHECK_H_
#define KELVO_SETTINGS_CHECK_H_

#include "kelvo/stream_reader.h"

namespace kelvo {

// Refuses settings that cannot work, naming what is wrong:
// - std::invalid_argument for a NUL character in `url` or `pipeline_str` (C strings would cut
//   the text there), for back-off seconds that are NaN, infinite or negative and for a frame
//   size limit of 0;
// - StreamSetupError, with the URL masked, for an rtsp, http or https URL (without a custom
//   pipeline, whose URL is only a label) that has no host, an invalid host or a port that is
//   not a number from 1 to 65535.
// An unsupported scheme is left to the reader, which names it.
void validate_reader_settings(const ReaderSettings& settings);

}  // namespace kelvo

#endif  // KELVO_SETTINGS_CHECK_H_
