// An in-memory Logger for tests.
#ifndef KELVO_TESTS_FAKES_MEMORY_LOGGER_H_
#define KELVO_TESTS_FAKES_MEMORY_LOGGER_H_

#include <mutex>
#include <string>
#include <vector>

#include "kelvo/host.h"

namespace kelvo::testing {

struct LogLine {
  LogLevel level;
  std::string text;
  bool with_exception = false;
  std::string exception;  // describe_exception() of the attached error

  bool operator==(const LogLine& other) const {
    return level == other.level && text == other.text;
  }
};

// This class is thread-safe.
class MemoryLogger final : public Logger {
 public:
  void log(LogLevel level, const std::string& text) override;
  void log_exception(const std::string& text, std::exception_ptr error) override;

  std::vector<LogLine> lines() const;
  std::vector<std::string> texts() const;
  // Texts of the lines at `level`.
  std::vector<std::string> texts(LogLevel level) const;
  // Lines whose text contains `fragment`.
  int count_containing(const std::string& fragment) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;  // with mutex_
};

}  // namespace kelvo::testing

#endif  // KELVO_TESTS_FAKES_MEMORY_LOGGER_H_
