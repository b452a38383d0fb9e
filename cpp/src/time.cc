#include "kelvo/time.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <random>
#include <thread>

namespace kelvo {

namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

class SystemSleeper final : public Sleeper {
 public:
  void sleep_for(double seconds) override {
    if (!(seconds > 0) || std::isnan(seconds)) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  }
};

// One Mersenne Twister for the process, seeded from the system's entropy source.
class ProcessRandom final : public Random {
 public:
  ProcessRandom() : engine_(std::random_device{}()) {}

  double uniform01() override {
    std::lock_guard<std::mutex> lock(mutex_);
    // generate_canonical may round up to 1.0 with some standard libraries; keep [0, 1).
    double value = std::generate_canonical<double, 53>(engine_);
    return value < 1.0 ? value : std::nextafter(1.0, 0.0);
  }

 private:
  std::mutex mutex_;
  std::mt19937_64 engine_;  // with mutex_
};

}  // namespace

// Deliberately leaked: background threads may still use them while static destructors run.
Clock& system_clock() {
  static Clock* clock = new SystemClock();
  return *clock;
}

Sleeper& system_sleeper() {
  static Sleeper* sleeper = new SystemSleeper();
  return *sleeper;
}

Random& process_random() {
  static Random* random = new ProcessRandom();
  return *random;
}

}  // namespace kelvo
