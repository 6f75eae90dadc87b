// The simulated PC: one object that brings every part of the machine to a
// fresh state, owns its clock mode, and reports what a run left behind.
#pragma once

#include <string>
#include <vector>

#include "sim/core/scheduler.h"

namespace sim {

struct MachineOptions {
  ClockMode clock = ClockMode::Virtual;
  // The constructing thread is counted, so time moves only while it waits.
  bool attach_creator = true;
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine that exists now, or null. There is at most one per process.
  static Machine* Current();

  // Blocks the calling thread while the clock moves on.
  void RunFor(Nanos duration);
  Nanos Now() const;

  // What the run left open that its owner should have closed: handles,
  // and whatever the other parts of the machine report.
  std::vector<std::string> Leaks() const;

 private:
  MachineOptions options_;
};

}  // namespace sim
