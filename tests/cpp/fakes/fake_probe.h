// A keyframe probe for tests: records additions and removals, touches no pad.
#ifndef KELVO_TESTS_FAKES_FAKE_PROBE_H_
#define KELVO_TESTS_FAKES_FAKE_PROBE_H_

#include <mutex>
#include <vector>

#include "kelvo/pipeline.h"

namespace kelvo::testing {

struct ProbeCall {
  GstPad* pad;
  gulong id;
  bool operator==(const ProbeCall& other) const { return pad == other.pad && id == other.id; }
};

// Thread-safe. Ids are handed out as 1, 2, 3, ...
class FakeProbe final : public KeyframeProbe {
 public:
  gulong add_keyframes_only_probe(const BufferSrcPad& pad) override;
  void remove_probe(const BufferSrcPad& pad, gulong id) override;

  // The next addition throws std::runtime_error.
  void set_throw_on_add(bool value);

  std::vector<ProbeCall> added() const;
  std::vector<ProbeCall> removed() const;

 private:
  mutable std::mutex mutex_;
  gulong next_id_ = 1;              // with mutex_
  bool throw_on_add_ = false;       // with mutex_
  std::vector<ProbeCall> added_;    // with mutex_
  std::vector<ProbeCall> removed_;  // with mutex_
};

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_FAKE_PROBE_H_
