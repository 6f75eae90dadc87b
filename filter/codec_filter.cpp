// CCodecFilter: construction, forwarding with a completion routine, the shadow
// request, the first-create hook and the return to D0.
#include "filter/codec_filter.h"

namespace {

// The capture filter whose input amplifier is opened on every create.
constexpr WCHAR kMixedCaptureWave[] = u"\\eMixedCaptureWave";
// Node 0x08, Set Amplifier Gain/Mute: input, left and right, index 0, not muted, gain 0x27.
constexpr ULONG kCaptureAmpVerb = 0x837027;

}  // namespace

CCodecFilter::CCodecFilter(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
    : CFilterDevice(pdo, device, lower),
      m_ulDsdCapable(0),
      m_bBusInterfaceValid(FALSE),
      m_BusInterface(),
      m_ucCodecAddress(0),
      m_lBusType(-1),
      m_ulVendorId(0),
      m_ulDeviceId(0),
      m_ulFunctionGroupNode(0),
      m_ulIdentified(0) {
  EnsureBusInterface();
}

CCodecFilter::~CCodecFilter() = default;

NTSTATUS CCodecFilter::ForwardWithCompletion(PIRP irp) {
  if (!Claim(irp)) return STATUS_CANCELLED;
  if (static_cast<signed char>(irp->StackCount) >= m_pLowerDeviceObject->StackSize) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(m_pLowerDeviceObject, irp);
  }

  // The sender gave too few stack locations for the stack below: carry the
  // request down in a shadow of the right size.
  PIRP shadow = IoAllocateIrp(static_cast<CCHAR>(m_pLowerDeviceObject->StackSize + 1), FALSE);
  if (!shadow) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseIoCount();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoSetNextIrpStackLocation(shadow);
  IoGetCurrentIrpStackLocation(shadow)->DeviceObject = m_pDeviceObject;
  shadow->MdlAddress = irp->MdlAddress;
  shadow->AssociatedIrp.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
  shadow->RequestorMode = irp->RequestorMode;
  shadow->UserBuffer = irp->UserBuffer;
  // The buffering flags tell the driver below where the buffers are.
  shadow->Flags = irp->Flags & (IRP_BUFFERED_IO | IRP_INPUT_OPERATION);
  PIO_STACK_LOCATION from = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION to = IoGetNextIrpStackLocation(shadow);
  to->MajorFunction = from->MajorFunction;
  to->MinorFunction = from->MinorFunction;
  to->Flags = from->Flags;
  to->Parameters = from->Parameters;
  to->DeviceObject = from->DeviceObject;
  to->FileObject = from->FileObject;
  IoSetCompletionRoutine(shadow, FilterCompletion, irp, TRUE, TRUE, TRUE);
  return IoCallDriver(m_pLowerDeviceObject, shadow);
}

NTSTATUS CCodecFilter::DispatchCreate(PIRP irp) {
  if (m_ulIdentified == 0) {
    IdentifyCodec();
    m_ulDsdCapable = SyncDsdAsioRegistration();
    m_ulIdentified = 1;
  }
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (file && IsCodec1220() && m_bBusInterfaceValid) {
    UNICODE_STRING mixed;
    RtlInitUnicodeString(&mixed, kMixedCaptureWave);
    if (RtlCompareUnicodeString(&file->FileName, &mixed, TRUE) == 0) {
      ULONG response = 0;
      SendCodecVerb((static_cast<ULONG>(m_ucCodecAddress) << 28) | kCaptureAmpVerb, &response);
    }
  }
  return ForwardWithCompletion(irp);
}

NTSTATUS CCodecFilter::DispatchPnp(PIRP irp) {
  return HandleRemoval(irp, static_cast<NTSTATUS (CFilterDevice::*)(PIRP)>(&CCodecFilter::ForwardWithCompletion));
}

VOID CCodecFilter::OnCompletePower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type != DevicePowerState || stack->Parameters.Power.State.DeviceState != PowerDeviceD0)
    return;
  ConfigureBusLink();
  m_ulDsdCapable = SyncDsdAsioRegistration();
}

VOID CCodecFilter::Complete(UCHAR major, PIRP irp) {
  using Handler = VOID (CCodecFilter::*)(PIRP);
  static constexpr Handler kBySlot[] = {
      &CCodecFilter::OnCompleteCreate,
      &CCodecFilter::OnCompleteCreateNamedPipe,
      &CCodecFilter::OnCompleteClose,
      &CCodecFilter::OnCompleteRead,
      &CCodecFilter::OnCompleteWrite,
      &CCodecFilter::OnCompleteQueryInformation,
      &CCodecFilter::OnCompleteSetInformation,
      &CCodecFilter::OnCompleteQueryEa,
      &CCodecFilter::OnCompleteSetEa,
      &CCodecFilter::OnCompleteFlushBuffers,
      &CCodecFilter::OnCompleteQueryVolumeInformation,
      &CCodecFilter::OnCompleteSetVolumeInformation,
      &CCodecFilter::OnCompleteDirectoryControl,
      &CCodecFilter::OnCompleteFileSystemControl,
      &CCodecFilter::OnCompleteDeviceControl,
      &CCodecFilter::OnCompleteInternalDeviceControl,
      &CCodecFilter::OnCompleteShutdown,
      &CCodecFilter::OnCompleteLockControl,
      &CCodecFilter::OnCompleteCleanup,
      &CCodecFilter::OnCompleteCreateMailslot,
      &CCodecFilter::OnCompleteQuerySecurity,
      &CCodecFilter::OnCompletePower,
      &CCodecFilter::OnCompleteSetSecurity,
      &CCodecFilter::OnCompleteSystemControl,
      &CCodecFilter::OnCompleteDeviceChange,
      &CCodecFilter::OnCompleteQueryQuota,
      &CCodecFilter::OnCompleteSetQuota,
      &CCodecFilter::OnCompletePnp,
  };
  static_assert(sizeof(kBySlot) / sizeof(kBySlot[0]) == IRP_MJ_MAXIMUM_FUNCTION + 1);
  if (major > IRP_MJ_MAXIMUM_FUNCTION) return;
  std::size_t slot = major;
  if (major == IRP_MJ_POWER)
    slot = IRP_MJ_SET_SECURITY;
  else if (major == IRP_MJ_SET_SECURITY)
    slot = IRP_MJ_POWER;
  (this->*kBySlot[slot])(irp);
}

#define ORA_FORWARD(method) \
  NTSTATUS CCodecFilter::method(PIRP irp) { return ForwardWithCompletion(irp); }
ORA_FORWARD(DispatchCreateNamedPipe)
ORA_FORWARD(DispatchClose)
ORA_FORWARD(DispatchRead)
ORA_FORWARD(DispatchWrite)
ORA_FORWARD(DispatchQueryInformation)
ORA_FORWARD(DispatchSetInformation)
ORA_FORWARD(DispatchQueryEa)
ORA_FORWARD(DispatchSetEa)
ORA_FORWARD(DispatchFlushBuffers)
ORA_FORWARD(DispatchQueryVolumeInformation)
ORA_FORWARD(DispatchSetVolumeInformation)
ORA_FORWARD(DispatchDirectoryControl)
ORA_FORWARD(DispatchFileSystemControl)
ORA_FORWARD(DispatchInternalDeviceControl)
ORA_FORWARD(DispatchShutdown)
ORA_FORWARD(DispatchLockControl)
ORA_FORWARD(DispatchCleanup)
ORA_FORWARD(DispatchCreateMailslot)
ORA_FORWARD(DispatchQuerySecurity)
ORA_FORWARD(DispatchPower)
ORA_FORWARD(DispatchSetSecurity)
ORA_FORWARD(DispatchSystemControl)
ORA_FORWARD(DispatchDeviceChange)
ORA_FORWARD(DispatchQueryQuota)
ORA_FORWARD(DispatchSetQuota)
#undef ORA_FORWARD

#define ORA_NO_COMPLETION_WORK(method) \
  VOID CCodecFilter::method(PIRP) {}
ORA_NO_COMPLETION_WORK(OnCompleteCreate)
ORA_NO_COMPLETION_WORK(OnCompleteCreateNamedPipe)
ORA_NO_COMPLETION_WORK(OnCompleteClose)
ORA_NO_COMPLETION_WORK(OnCompleteRead)
ORA_NO_COMPLETION_WORK(OnCompleteWrite)
ORA_NO_COMPLETION_WORK(OnCompleteQueryInformation)
ORA_NO_COMPLETION_WORK(OnCompleteSetInformation)
ORA_NO_COMPLETION_WORK(OnCompleteQueryEa)
ORA_NO_COMPLETION_WORK(OnCompleteSetEa)
ORA_NO_COMPLETION_WORK(OnCompleteFlushBuffers)
ORA_NO_COMPLETION_WORK(OnCompleteQueryVolumeInformation)
ORA_NO_COMPLETION_WORK(OnCompleteSetVolumeInformation)
ORA_NO_COMPLETION_WORK(OnCompleteDirectoryControl)
ORA_NO_COMPLETION_WORK(OnCompleteFileSystemControl)
ORA_NO_COMPLETION_WORK(OnCompleteInternalDeviceControl)
ORA_NO_COMPLETION_WORK(OnCompleteShutdown)
ORA_NO_COMPLETION_WORK(OnCompleteLockControl)
ORA_NO_COMPLETION_WORK(OnCompleteCleanup)
ORA_NO_COMPLETION_WORK(OnCompleteCreateMailslot)
ORA_NO_COMPLETION_WORK(OnCompleteQuerySecurity)
ORA_NO_COMPLETION_WORK(OnCompleteSetSecurity)
ORA_NO_COMPLETION_WORK(OnCompleteSystemControl)
ORA_NO_COMPLETION_WORK(OnCompleteDeviceChange)
ORA_NO_COMPLETION_WORK(OnCompleteQueryQuota)
ORA_NO_COMPLETION_WORK(OnCompleteSetQuota)
ORA_NO_COMPLETION_WORK(OnCompletePnp)
#undef ORA_NO_COMPLETION_WORK
