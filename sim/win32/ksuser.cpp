// ksuser.dll, built in: KsCreatePin opens a pin instance on a filter the
// way kernel streaming does, as a create relative to the filter's file
// object whose name carries the connection request.
#include "platform/ksuser.h"

#include <cstring>
#include <string>

#include "platform/wdm.h"
#include "sim/kernel/pnp.h"
#include "sim/win32/device_io.h"
#include "sim/win32/modules.h"

namespace sim::win32 {

namespace {

// KSNAME_Pin as the create dispatch of a filter matches it.
constexpr std::u16string_view kPinCreateName = u"\\{146F1A80-4791-11D0-A5D6-28DB04C10000}";

// KSPIN_CONNECT, the KSDATAFORMAT after it and, when flagged, its attribute
// list (after the format, 8-byte aligned).
std::size_t ConnectionSize(const KSPIN_CONNECT* connect) {
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
  std::size_t size = sizeof(KSPIN_CONNECT) + format->FormatSize;
  if (format->Flags & KSDATAFORMAT_ATTRIBUTES) {
    const std::size_t aligned = (format->FormatSize + 7u) & ~std::size_t{7};
    const auto* attributes =
        reinterpret_cast<const KSMULTIPLE_ITEM*>(reinterpret_cast<const unsigned char*>(format) + aligned);
    size = sizeof(KSPIN_CONNECT) + aligned + attributes->Size;
  }
  return size;
}

}  // namespace

void RegisterKsUserModule() {
  RegisterBuiltinModule("ksuser.dll", {{"KsCreatePin", reinterpret_cast<void*>(&KsCreatePin)}});
}

}  // namespace sim::win32

using namespace sim;
using namespace sim::win32;

extern "C" DWORD WINAPI KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK,
                                    PHANDLE ConnectionHandle) {
  if (!Connect || !ConnectionHandle) return ERROR_INVALID_PARAMETER;
  auto filter = HandleTable::Get().LookupAs<FileObject>(FilterHandle);
  if (!filter) return ERROR_INVALID_HANDLE;
  // The request travels in the file name: the bytes follow the name's text
  // directly, padded to whole UTF-16 units.
  const std::size_t bytes = ConnectionSize(Connect);
  std::u16string name(kPinCreateName);
  const std::size_t text = name.size();
  name.resize(text + (bytes + 1) / 2, u'\0');
  std::memcpy(name.data() + text, Connect, bytes);
  PFILE_OBJECT pin = nullptr;
  const NTSTATUS status = kernel::OpenDevicePath(name, filter->file(), &pin);
  if (!NT_SUCCESS(status)) return NtStatusToWin32Error(status);
  // Pin handles are opened for asynchronous I/O.
  *ConnectionHandle = InsertFileHandle(pin, true, filter->Describe() + " pin");
  return ERROR_SUCCESS;
}
