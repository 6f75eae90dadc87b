// Codec identification through the HD Audio bus interface, the link to the
// card's bus component \Device\KVLNK, codec verbs and the DSD coefficients.
#include <cstring>

#include "filter/codec_filter.h"
#include "platform/kvlnk.h"
#include "platform/hda_codec.h"

using namespace hda;

COEFFICIENT_ENTRY g_DsdCoefficients[5] = {
    {0x15, 0, 0x0660, 0x1860, 0x1860, 0x1860}, {0x41, 0, 0x5757, 0x5757, 0x5757, 0x5757},
    {0x43, 0, 0x3005, 0x3C05, 0x7C05, 0xBC05}, {0x44, 0, 0xFA00, 0xFA18, 0xFA18, 0xFA18},
    {0x45, 0, 0xC080, 0xC080, 0xD080, 0xE080},
};

namespace {

constexpr WCHAR kKvlnkName[] = u"\\Device\\KVLNK";

// Command words, without the codec address bits.
constexpr ULONG kGetVendorId = 0xF0000;
constexpr ULONG kGetSubordinateNodeCount = 0xF0004;
constexpr ULONG kGetFunctionGroupType = 0xF0005;
constexpr ULONG kGetSubsystemId = 0xF2000;
constexpr ULONG k0899PinWidgetControl = 0x11A70722;  // node 0x1A of the codec at address 1: control 0x22
constexpr ULONG kCaptureAmpVerb = 0x837027;          // node 0x08 input amplifier, gain 0x27, not muted
constexpr ULONG kSetCoefficientIndex = 0x2050000;
constexpr ULONG kSetProcessingCoefficient = 0x2040000;
constexpr ULONG kGetProcessingCoefficient = 0x20C0000;
constexpr ULONG kMuteDsdAmp = 0xD37080;    // node 0x0D input amplifier muted, gain 0
constexpr ULONG kUnmuteDsdAmp = 0xD37000;  // node 0x0D input amplifier not muted, gain 0

static_assert(kGetVendorId == ((kRootNode << kNodeIdShift) | (kVerbGetParameter << kVerb12Shift) | kParamVendorId));
static_assert(kGetSubordinateNodeCount == ((kVerbGetParameter << kVerb12Shift) | kParamSubordinateNodeCount));
static_assert(kGetFunctionGroupType == ((kVerbGetParameter << kVerb12Shift) | kParamFunctionGroupType));
static_assert(kGetSubsystemId == (kVerbGetSubsystemId << kVerb12Shift));

constexpr ULONG kRegister1C = 0x1C;
constexpr ULONG kRegister1CBits = 0x00880000;

// Frees the bus-interface request wherever it completes; nobody waits for it.
NTSTATUS NTAPI FreeBusInterfaceRequest(PDEVICE_OBJECT, PIRP irp, PVOID) {
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG CodecBits(ULONG address) { return address << kCodecAddressShift; }

NTSTATUS Transfer(PVOID context, PTRANSFER_CODEC_VERBS transfer, ULONG count, HDAUDIO_CODEC_TRANSFER* transfers) {
  if (!transfer) return STATUS_NOT_SUPPORTED;
  return transfer(context, count, transfers, nullptr, nullptr);
}

HDAUDIO_CODEC_TRANSFER MakeTransfer(ULONG command) {
  HDAUDIO_CODEC_TRANSFER t{};
  t.Output.Command = command;
  return t;
}

}  // namespace

NTSTATUS CCodecFilter::QueryBusInterface(const GUID& type, USHORT size, PVOID buffer) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(m_pPhysicalDeviceObject->StackSize + 1), FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &type;
  next->Parameters.QueryInterface.Size = size;
  next->Parameters.QueryInterface.Version = ORA_HDAUDIO_INTERFACE_VERSION;
  next->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(buffer);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(irp, FreeBusInterfaceRequest, nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(m_pPhysicalDeviceObject, irp);
}

VOID CCodecFilter::EnsureBusInterface() {
  if (m_bBusInterfaceValid) return;
  if (NT_SUCCESS(QueryBusInterface(GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(m_BusInterface), &m_BusInterface)))
    m_bBusInterfaceValid = TRUE;
}

NTSTATUS CCodecFilter::IdentifyThrough(PVOID context, PTRANSFER_CODEC_VERBS transfer,
                                       PGET_RESOURCE_INFORMATION resources, BOOLEAN configure) {
  UCHAR address = 0;
  UCHAR startNode = 0;
  if (resources) resources(context, &address, &startNode);
  const ULONG ca = CodecBits(address);

  HDAUDIO_CODEC_TRANSFER root[2] = {MakeTransfer(ca | kGetVendorId), MakeTransfer(ca | kGetSubordinateNodeCount)};
  NTSTATUS status = Transfer(context, transfer, 2, root);
  if (!NT_SUCCESS(status)) return status;
  const ULONG count = ResponseNodeCount(root[1].Input.Response);
  const ULONG first = ResponseStartNode(root[1].Input.Response);

  for (ULONG i = 0; i < count; ++i) {
    const ULONG node = first + i;
    HDAUDIO_CODEC_TRANSFER group[2] = {MakeTransfer(ca | (node << kNodeIdShift) | kGetFunctionGroupType),
                                       MakeTransfer(ca | (node << kNodeIdShift) | kGetSubsystemId)};
    status = Transfer(context, transfer, 2, group);
    if (NT_SUCCESS(status) && ResponseFunctionGroupType(group[0].Input.Response) == kFunctionGroupAudio) {
      m_lBusType = 2;
      m_ulFunctionGroupNode = node;
      m_ulVendorId = ResponseVendorId(root[0].Input.Response);
      m_ulDeviceId = ResponseDeviceId(root[0].Input.Response);
      break;
    }
  }
  if (configure) ConfigureBusLink();
  return status;
}

NTSTATUS CCodecFilter::IdentifyCodec() {
  HDAUDIO_BUS_INTERFACE v1{};
  if (NT_SUCCESS(QueryBusInterface(GUID_HDAUDIO_BUS_INTERFACE, sizeof(v1), &v1))) {
    const NTSTATUS status = IdentifyThrough(v1.Context, v1.TransferCodecVerbs, v1.GetResourceInformation, TRUE);
    if (NT_SUCCESS(status)) return status;
  }
  // The bus refused the first version, or talking through it failed: try the second.
  HDAUDIO_BUS_INTERFACE_V2 v2{};
  const NTSTATUS status = QueryBusInterface(GUID_HDAUDIO_BUS_INTERFACE_V2, sizeof(v2), &v2);
  if (!NT_SUCCESS(status)) return status;
  return IdentifyThrough(v2.Context, v2.TransferCodecVerbs, v2.GetResourceInformation, FALSE);
}

BOOLEAN CCodecFilter::OpenKvlnk(const GUID& iid, PVOID* object, PFILE_OBJECT* file) {
  *object = nullptr;
  *file = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kKvlnkName);
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, file, &device))) {
    *file = nullptr;
    return FALSE;
  }

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PVOID entry = nullptr;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_KVLNK_GET_ENTRY, device, nullptr, 0, &entry, sizeof(entry), TRUE,
                                           &done, &iosb);
  if (!irp) return FALSE;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (!NT_SUCCESS(status) || !entry) return FALSE;

  auto create = reinterpret_cast<PKVLNK_CREATE_OBJECT>(entry);
  PVOID unknown = nullptr;
  if (!NT_SUCCESS(create(&CLSID_KvlnkBus, &IID_IUnknown_Kernel, &unknown)) || !unknown) return FALSE;
  PVOID wanted = nullptr;
  if (!NT_SUCCESS(static_cast<IKvlnkUnknown*>(unknown)->QueryInterface(&iid, &wanted)) || !wanted) return FALSE;
  *object = wanted;
  return TRUE;
}

NTSTATUS CCodecFilter::ConfigureBusLink() {
  PVOID object = nullptr;
  PFILE_OBJECT file = nullptr;
  if (OpenKvlnk(IID_IKvlnkRegisters, &object, &file)) {
    auto* registers = static_cast<IKvlnkRegisters*>(object);
    ULONG v = registers->ReadRegister(kRegister1C);
    if ((v >> 16) != (kRegister1CBits >> 16)) {
      v = (v & 0xFF88FFFF) | kRegister1CBits;
      registers->WriteRegister(kRegister1C, v);
    }
    registers->WriteRegister(kRegister1C, v);
  }
  if (file) ObDereferenceObject(file);

  if (IsCodec0899()) {
    HDAUDIO_BUS_INTERFACE v1{};
    if (NT_SUCCESS(QueryBusInterface(GUID_HDAUDIO_BUS_INTERFACE, sizeof(v1), &v1))) {
      HDAUDIO_CODEC_TRANSFER t = MakeTransfer(k0899PinWidgetControl);
      Transfer(v1.Context, v1.TransferCodecVerbs, 1, &t);
    }
  }

  if (m_bBusInterfaceValid && m_BusInterface.GetResourceInformation) {
    UCHAR address = 0xFF;
    UCHAR startNode = 0;
    m_BusInterface.GetResourceInformation(m_BusInterface.Context, &address, &startNode);
    if (address != 0xFF) m_ucCodecAddress = address;
  }

  if (IsCodec1220() && m_bBusInterfaceValid) {
    ULONG response = 0;
    SendCodecVerb(CodecBits(m_ucCodecAddress) | kCaptureAmpVerb, &response);
  }
  return STATUS_SUCCESS;
}

BOOLEAN CCodecFilter::IsCodec1220() const {
  return m_lBusType == 2 && m_ulVendorId == 0x10EC && m_ulDeviceId == 0x1220;
}

BOOLEAN CCodecFilter::IsCodec0899() const {
  return m_lBusType == 2 && m_ulVendorId == 0x10EC && m_ulDeviceId == 0x0899;
}

NTSTATUS CCodecFilter::SendCodecVerb(ULONG command, PULONG response) {
  *response = 0;
  if (!m_bBusInterfaceValid || !m_BusInterface.TransferCodecVerbs) return STATUS_DEVICE_NOT_READY;
  HDAUDIO_CODEC_TRANSFER t = MakeTransfer(command);
  const NTSTATUS status = m_BusInterface.TransferCodecVerbs(m_BusInterface.Context, 1, &t, nullptr, nullptr);
  if (!NT_SUCCESS(status)) return status;
  // A command for an address with no codec behind it comes back without a response.
  if (!t.Input.IsValid) return STATUS_IO_TIMEOUT;
  *response = t.Input.Response;
  return STATUS_SUCCESS;
}

VOID CCodecFilter::ApplyDsdCoefficients(ULONG mode) {
  EnsureBusInterface();
  if (!m_bBusInterfaceValid) return;
  const ULONG ca = CodecBits(m_ucCodecAddress);
  for (COEFFICIENT_ENTRY& row : g_DsdCoefficients) {
    USHORT value = row.Default;
    if (mode == 1)
      value = row.Mode1;
    else if (mode == 2)
      value = row.Mode2;
    else if (mode == 3)
      value = row.Mode3;
    ULONG response = 0;
    SendCodecVerb(ca | kSetCoefficientIndex | row.Index, &response);
    SendCodecVerb(ca | kSetProcessingCoefficient | value, &response);
    // The index moves on after a write; set it again to read back what was written.
    SendCodecVerb(ca | kSetCoefficientIndex | row.Index, &response);
    SendCodecVerb(ca | kGetProcessingCoefficient, &response);
    row.Current = static_cast<USHORT>(response & 0xFFFF);
    DbgPrint("Coefficient Index 0x%2X: Default=0x%04X, Curr=0x%04X\n", row.Index, row.Default, row.Current);
    SendCodecVerb(ca | (mode == 3 ? kMuteDsdAmp : kUnmuteDsdAmp), &response);
  }
}

BOOLEAN CCodecFilter::AccessBusBlock(ULONG write, ULONG selector, ULONG offset, ULONG value, PULONG read) {
  PVOID object = nullptr;
  PFILE_OBJECT file = nullptr;
  BOOLEAN done = FALSE;
  if (OpenKvlnk(IID_IKvlnkSharedMemory, &object, &file)) {
    auto* memory = static_cast<IKvlnkSharedMemory*>(object);
    PVOID base = nullptr;
    NTSTATUS status;
    ULONG size;
    if (selector != 0) {
      status = memory->GetAuxBlock(&base);
      size = KVLNK_AUX_BLOCK_SIZE;
    } else {
      status = memory->GetControlBlock(&base);
      size = KVLNK_CONTROL_BLOCK_SIZE;
    }
    // The whole word must lie inside the block; anything else is refused untouched.
    if (NT_SUCCESS(status) && base && size >= sizeof(ULONG) && offset <= size - sizeof(ULONG)) {
      PUCHAR word = static_cast<PUCHAR>(base) + offset;
      if (write) std::memcpy(word, &value, sizeof(value));
      std::memcpy(read, word, sizeof(*read));
      done = TRUE;
    }
  }
  if (file) ObDereferenceObject(file);
  return done;
}
