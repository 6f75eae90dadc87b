// The ordered record of every driver call the host made, with its arguments
// and result, so one run serves a test, orahost's output and a bug report.
#pragma once

#include <string>
#include <vector>

#include "asio/asio_types.h"

namespace ora::host {

struct CallRecord {
  std::string method;  // IAsio method name, or "host" for the host's own findings
  std::string args;    // "name=value, ..." as passed in and as answered
  std::string result;  // "ASE_OK", "ASIOTrue", "2", ...
  bool ok;             // the host accepted the answer
};

// Names the ASIO result codes; other values print as numbers.
std::string AsioErrorName(ASIOError code);

class CallLog {
 public:
  void Add(std::string method, std::string args, std::string result, bool ok);
  const std::vector<CallRecord>& records() const { return records_; }
  // Method names in call order.
  std::vector<std::string> Methods() const;
  // One line per record: "GetChannels(inputs=2, outputs=4) -> ASE_OK".
  std::string Text() const;
  void Clear() { records_.clear(); }

 private:
  std::vector<CallRecord> records_;
};

}  // namespace ora::host
