// A driver built as its own image: PnP finds it by ImagePath and calls DriverEntry.
#include "platform/wdm.h"

namespace {

VOID NTAPI ImageUnload(PDRIVER_OBJECT) { DbgPrint("image driver unloaded\n"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driver,
                                                                       PUNICODE_STRING registry_path) {
  driver->DriverUnload = ImageUnload;
  DbgPrint("image driver loaded, %d characters of registry path\n",
           static_cast<int>(registry_path->Length / sizeof(WCHAR)));
  return STATUS_SUCCESS;
}
