#include "host/call_log.h"

namespace ora::host {

std::string AsioErrorName(ASIOError code) {
  static constexpr struct {
    ASIOError code;
    const char* name;
  } kNames[] = {
      {ASE_OK, "ASE_OK"},
      {ASE_SUCCESS, "ASE_SUCCESS"},
      {ASE_NotPresent, "ASE_NotPresent"},
      {ASE_HWMalfunction, "ASE_HWMalfunction"},
      {ASE_InvalidParameter, "ASE_InvalidParameter"},
      {ASE_InvalidMode, "ASE_InvalidMode"},
      {ASE_SPNotAdvancing, "ASE_SPNotAdvancing"},
      {ASE_NoClock, "ASE_NoClock"},
      {ASE_NoMemory, "ASE_NoMemory"},
  };
  for (const auto& n : kNames)
    if (n.code == code) return n.name;
  return std::to_string(code);
}

void CallLog::Add(std::string method, std::string args, std::string result, bool ok) {
  records_.push_back({std::move(method), std::move(args), std::move(result), ok});
}

std::vector<std::string> CallLog::Methods() const {
  std::vector<std::string> out;
  out.reserve(records_.size());
  for (const auto& r : records_) out.push_back(r.method);
  return out;
}

std::string CallLog::Text() const {
  std::string out;
  for (const auto& r : records_) {
    out += r.method + "(" + r.args + ") -> " + r.result;
    if (!r.ok) out += "  [rejected]";
    out += "\n";
  }
  return out;
}

}  // namespace ora::host
