// Wall clock, sleeping and randomness, injectable so that tests never wait.
#ifndef KELVO_TIME_H_
#define KELVO_TIME_H_

namespace kelvo {

// Wall-clock time as seconds since the Unix epoch. Thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual double now() = 0;
};

// Blocks the calling thread. Thread-safe.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  // Sleeps `seconds`; zero or a negative value returns at once.
  virtual void sleep_for(double seconds) = 0;
};

// Uniform pseudo-random numbers. Thread-safe.
class Random {
 public:
  virtual ~Random() = default;
  // A fresh draw from [0, 1): 0 possible, 1 never.
  virtual double uniform01() = 0;
};

// Process-wide production implementations; they live until the process exits.
Clock& system_clock();
Sleeper& system_sleeper();
Random& process_random();

// The three together, as the engine takes them. Lifetime of the referenced objects must
// enclose the lifetime of whatever holds this.
struct TimeSources {
  Clock* clock = &system_clock();      // Not owned.
  Sleeper* sleeper = &system_sleeper();  // Not owned.
  Random* random = &process_random();  // Not owned.
};

}  // namespace kelvo

#endif  // KELVO_TIME_H_
