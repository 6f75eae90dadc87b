// The simulated kernel's registry handles, for tests and the machine.
#pragma once

#include <cstddef>

namespace sim::kernel {

// Kernel key handles opened by ZwOpenKey/ZwCreateKey and not yet closed.
std::size_t OpenKernelKeyHandles();
// Forgets every kernel key handle (a new machine).
void CloseKernelKeyHandles();

}  // namespace sim::kernel
