#include "kelvo/rank_override.h"

#include <gst/gst.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "kelvo/int_parse.h"

namespace kelvo {

namespace {

struct PluginFeatureListFree {
  void operator()(GList* list) const { gst_plugin_feature_list_free(list); }
};
using FactoryList = std::unique_ptr<GList, PluginFeatureListFree>;

FactoryList decoder_factories() {
  return FactoryList(gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DECODER,
                                                           GST_RANK_MARGINAL));
}

// The largest rank that GstPluginFeature can store.
constexpr uint64_t kMaxRank = std::numeric_limits<guint>::max();

}  // namespace

std::optional<std::string> process_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string rank_variable_name(const std::string& plugin_name) {
  std::string name = "KELVO_";
  for (char c : plugin_name) name.push_back(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  name += "_RANK";
  return name;
}

void override_ranks(Logger& logger, const EnvLookup& env) {
  FactoryList factories = decoder_factories();
  for (GList* item = factories.get(); item != nullptr; item = item->next) {
    GstElementFactory* factory = GST_ELEMENT_FACTORY(item->data);
    const gchar* plugin = gst_plugin_feature_get_plugin_name(GST_PLUGIN_FEATURE(factory));
    if (plugin == nullptr) continue;  // not loaded from a plugin: nothing to name it by
    const std::string variable = rank_variable_name(plugin);
    const std::optional<std::string> value = env(variable);
    if (!value) continue;

    const std::optional<ParsedInt> parsed = parse_python_int(*value);
    if (!parsed || parsed->negative) {
      logger.error("Invalid rank value for " + variable + ": '" + *value +
                   "'. The value must be an unsigned integer. The plugin's rank will not be "
                   "changed.");
      continue;
    }
    if (parsed->overflow || parsed->magnitude > kMaxRank) {
      logger.error("Invalid rank value for " + variable + ": '" + *value +
                   "'. The value must be an unsigned integer no greater than " +
                   std::to_string(kMaxRank) + ". The plugin's rank will not be changed.");
      continue;
    }
    logger.info("Setting rank for element factory " +
                std::string(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory))) + " to " +
                std::to_string(parsed->magnitude));
    gst_plugin_feature_set_rank(GST_PLUGIN_FEATURE(factory), static_cast<guint>(parsed->magnitude));
  }
}

std::vector<DecoderInfo> list_decoders() {
  std::vector<DecoderInfo> decoders;
  FactoryList factories = decoder_factories();
  for (GList* item = factories.get(); item != nullptr; item = item->next) {
    GstElementFactory* factory = GST_ELEMENT_FACTORY(item->data);
    GstPluginFeature* feature = GST_PLUGIN_FEATURE(factory);
    DecoderInfo info;
    const gchar* plugin = gst_plugin_feature_get_plugin_name(feature);
    info.plugin = plugin ? plugin : "";
    info.factory = gst_plugin_feature_get_name(feature);
    const gchar* long_name = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME);
    info.long_name = long_name ? long_name : "";
    const gchar* klass = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    info.klass = klass ? klass : "";
    info.rank = gst_plugin_feature_get_rank(feature);
    info.variable = plugin ? rank_variable_name(plugin) : "";
    decoders.push_back(std::move(info));
  }
  std::stable_sort(decoders.begin(), decoders.end(), [](const DecoderInfo& a, const DecoderInfo& b) {
    if (a.plugin != b.plugin) return a.plugin < b.plugin;
    return a.rank > b.rank;
  });
  return decoders;
}

}  // namespace kelvo
