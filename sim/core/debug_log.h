// The machine-wide debug log: OutputDebugStringA and DbgPrint both land here.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class DebugLog {
 public:
  enum class Source { User, Kernel };
  struct Line {
    Source source;
    std::string text;
  };

  static DebugLog& Get();

  void Write(Source source, std::string text);
  std::vector<Line> Lines() const;
  // All text written so far, in order, as one string.
  std::string Text() const;
  bool Contains(const std::string& fragment) const;
  void Clear();
  // Called for every line as it is written (orahost shows the log live).
  void SetListener(std::function<void(const Line&)> listener);

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  std::function<void(const Line&)> listener_;
};

}  // namespace sim
