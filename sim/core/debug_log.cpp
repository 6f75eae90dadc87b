#include "sim/core/debug_log.h"

namespace sim {

DebugLog& DebugLog::Get() {
  static DebugLog log;
  return log;
}

void DebugLog::Write(Source source, std::string text) {
  std::function<void(const Line&)> listener;
  Line line{source, std::move(text)};
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
    listener = listener_;
  }
  if (listener) listener(line);
}

std::vector<DebugLog::Line> DebugLog::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::string DebugLog::Text() const {
  std::lock_guard lock(mutex_);
  std::string out;
  for (const auto& line : lines_) out += line.text;
  return out;
}

bool DebugLog::Contains(const std::string& fragment) const { return Text().find(fragment) != std::string::npos; }

void DebugLog::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void DebugLog::SetListener(std::function<void(const Line&)> listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

}  // namespace sim
