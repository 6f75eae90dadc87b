// Shared helpers of the card bus tests: machines with a card, and requests
// sent straight to a device the way a driver sends them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wdm.h"
#include "sim/card/card.h"
#include "sim/card/profile.h"
#include "sim/machine.h"

namespace card_bus_test {

inline sim::card::Profile Shipped(const std::string& name) { return sim::card::LoadShippedProfile(name); }

inline sim::MachineOptions WithProfile(sim::card::Profile profile) {
  sim::MachineOptions options;
  options.profile = std::move(profile);
  return options;
}

inline std::string LeakText(const std::vector<std::string>& leaks) {
  std::string text;
  for (const auto& l : leaks) text += l + "\n";
  return text;
}

// Shuts the machine down and expects nothing left behind.
#define EXPECT_CLEAN_SHUTDOWN(machine)                                     \
  do {                                                                     \
    (machine).Shutdown();                                                  \
    EXPECT_TRUE((machine).Leaks().empty()) << LeakText((machine).Leaks()); \
  } while (0)

struct PnpResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
};

inline NTSTATUS NTAPI RecordAndFree(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* result = static_cast<PnpResult*>(context);
  result->status = irp->IoStatus.Status;
  result->information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An IRP_MJ_PNP request of our own, sent straight to `device` (the PDO) with
// one spare stack location, freed by its completion routine.
template <typename Fill>
PnpResult SendPnp(PDEVICE_OBJECT device, UCHAR minor, Fill fill, NTSTATUS initial = STATUS_NOT_SUPPORTED) {
  PnpResult result;
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  EXPECT_NE(nullptr, irp);
  if (!irp) return result;
  irp->IoStatus.Status = initial;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = minor;
  fill(stack);
  IoSetCompletionRoutine(irp, RecordAndFree, &result, TRUE, TRUE, TRUE);
  const NTSTATUS returned = IoCallDriver(device, irp);
  EXPECT_EQ(result.status, returned);
  return result;
}

inline NTSTATUS QueryInterface(PDEVICE_OBJECT pdo, const GUID* type, USHORT size, USHORT version, void* buffer) {
  return SendPnp(pdo, IRP_MN_QUERY_INTERFACE,
                 [&](PIO_STACK_LOCATION s) {
                   s->Parameters.QueryInterface.InterfaceType = type;
                   s->Parameters.QueryInterface.Size = size;
                   s->Parameters.QueryInterface.Version = version;
                   s->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(buffer);
                   s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
                 })
      .status;
}

}  // namespace card_bus_test
