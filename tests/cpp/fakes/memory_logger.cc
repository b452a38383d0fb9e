#include "fakes/memory_logger.h"

namespace kelvo::testing {

void MemoryLogger::log(LogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({level, text, false, ""});
}

void MemoryLogger::log_exception(const std::string& text, std::exception_ptr error) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({LogLevel::kError, text, true, describe_exception(error)});
}

std::vector<LogLine> MemoryLogger::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> MemoryLogger::texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const LogLine& line : lines_) out.push_back(line.text);
  return out;
}

std::vector<std::string> MemoryLogger::texts(LogLevel level) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const LogLine& line : lines_) {
    if (line.level == level) out.push_back(line.text);
  }
  return out;
}

int MemoryLogger::count_containing(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int count = 0;
  for (const LogLine& line : lines_) count += line.text.find(fragment) != std::string::npos;
  return count;
}

void MemoryLogger::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace kelvo::testing
