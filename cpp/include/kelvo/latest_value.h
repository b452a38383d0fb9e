// LatestValue: one writer replaces a value that readers load without a lock.
#ifndef KELVO_LATEST_VALUE_H_
#define KELVO_LATEST_VALUE_H_

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace kelvo {

// Holds the newest of a stream of values published by a single writer thread. Readers load the
// current value without taking a lock and without ever waiting for the writer; the writer
// never waits for readers either (a value a reader is still copying is freed on a later
// publish).
//
// `publish` must be called from one thread at a time. `load` may be called from any number of
// threads; up to kReaders at once never wait (more spin briefly for a free slot).
template <typename T>
class LatestValue {
 public:
  static constexpr int kReaders = 8;

  explicit LatestValue(std::shared_ptr<const T> initial)
      : current_(new Node{std::move(initial)}) {}
  LatestValue(const LatestValue&) = delete;
  LatestValue& operator=(const LatestValue&) = delete;

  ~LatestValue() {
    delete current_.load();
    for (Node* node : retired_) delete node;
  }

  std::shared_ptr<const T> load() const {
    Slot& slot = claim_slot();
    Node* node = current_.load();
    for (;;) {
      slot.hazard.store(node);
      Node* again = current_.load();
      if (again == node) break;
      node = again;
    }
    std::shared_ptr<const T> value = node->value;
    slot.hazard.store(nullptr);
    slot.claimed.store(false, std::memory_order_release);
    return value;
  }

  void publish(std::shared_ptr<const T> value) {
    Node* old = current_.exchange(new Node{std::move(value)});
    retired_.push_back(old);
    reclaim();
  }

 private:
  struct Node {
    std::shared_ptr<const T> value;
  };
  struct alignas(64) Slot {
    std::atomic<bool> claimed{false};
    std::atomic<Node*> hazard{nullptr};
  };

  Slot& claim_slot() const {
    for (;;) {
      for (Slot& slot : slots_) {
        bool expected = false;
        if (!slot.claimed.load(std::memory_order_relaxed) &&
            slot.claimed.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
          return slot;
        }
      }
      std::this_thread::yield();
    }
  }

  // Frees every retired node that no reader protects.
  void reclaim() {
    std::array<Node*, kReaders> protected_nodes;
    for (int i = 0; i < kReaders; ++i) protected_nodes[i] = slots_[i].hazard.load();
    size_t kept = 0;
    for (Node* node : retired_) {
      bool in_use = false;
      for (Node* p : protected_nodes) in_use = in_use || p == node;
      if (in_use) {
        retired_[kept++] = node;
      } else {
        delete node;
      }
    }
    retired_.resize(kept);
  }

  std::atomic<Node*> current_;
  mutable std::array<Slot, kReaders> slots_;
  std::vector<Node*> retired_;  // writer only
};

}  // namespace kelvo

#endif  // KELVO_LATEST_VALUE_H_
