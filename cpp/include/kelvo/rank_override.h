// Decoder rank overrides taken from KELVO_{PLUGIN}_RANK environment variables.
#ifndef KELVO_RANK_OVERRIDE_H_
#define KELVO_RANK_OVERRIDE_H_

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/host.h"

namespace kelvo {

// Looks a variable up; nullopt when it is not set (set to empty text is set).
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The process environment.
std::optional<std::string> process_env(const std::string& name);

// "KELVO_" + the plugin name in capitals + "_RANK". Only ASCII letters change case.
std::string rank_variable_name(const std::string& plugin_name);

// Overrides the default rank values for the elements of any plugin that has a rank override
// environment variable set. The variables have the form "KELVO_{plugin name}_RANK", the plugin
// name in all capitals, and the value is an integer rank: KELVO_NVCODEC_RANK=257 lifts the
// decoders of the nvcodec plugin one step above PRIMARY.
//
// Looks at every decoder factory of rank MARGINAL or more, in GStreamer's order; logs one info
// line per factory whose rank it sets, one error line per factory whose variable holds no valid
// rank. GStreamer must be initialized.
void override_ranks(Logger& logger, const EnvLookup& env = process_env);

// One decoder factory, for reports.
struct DecoderInfo {
  std::string plugin;
  std::string factory;
  std::string long_name;
  unsigned rank = 0;
  std::string klass;      // e.g. "Codec/Decoder/Video"
  std::string variable;   // the environment variable that would change its rank
};

// Every decoder factory of rank MARGINAL or more, with its current rank, sorted by plugin and
// then by falling rank. GStreamer must be initialized.
std::vector<DecoderInfo> list_decoders();

}  // namespace kelvo

#endif  // KELVO_RANK_OVERRIDE_H_
