// CFilterDevice: request counting, claiming, pass-through, removal and power.
#include <atomic>

#include "filter/codec_filter.h"

CFilterDevice::CFilterDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
    : m_pPhysicalDeviceObject(pdo),
      m_pDeviceObject(device),
      m_pLowerDeviceObject(lower),
      m_lIoCount(1),
      m_bRemoved(FALSE) {
  KeInitializeEvent(&m_evRemove, NotificationEvent, FALSE);
}

CFilterDevice::~CFilterDevice() {
  if (m_pLowerDeviceObject) IoDetachDevice(m_pLowerDeviceObject);
  if (m_pDeviceObject) IoDeleteDevice(m_pDeviceObject);
}

NTSTATUS CFilterDevice::Dispatch(UCHAR major, PIRP irp) {
  // Slot order: 0x00-0x14, then IRP_MJ_POWER before IRP_MJ_SET_SECURITY, then 0x17-0x1B.
  using Handler = NTSTATUS (CFilterDevice::*)(PIRP);
  static constexpr Handler kBySlot[] = {
      &CFilterDevice::DispatchCreate,
      &CFilterDevice::DispatchCreateNamedPipe,
      &CFilterDevice::DispatchClose,
      &CFilterDevice::DispatchRead,
      &CFilterDevice::DispatchWrite,
      &CFilterDevice::DispatchQueryInformation,
      &CFilterDevice::DispatchSetInformation,
      &CFilterDevice::DispatchQueryEa,
      &CFilterDevice::DispatchSetEa,
      &CFilterDevice::DispatchFlushBuffers,
      &CFilterDevice::DispatchQueryVolumeInformation,
      &CFilterDevice::DispatchSetVolumeInformation,
      &CFilterDevice::DispatchDirectoryControl,
      &CFilterDevice::DispatchFileSystemControl,
      &CFilterDevice::DispatchDeviceControl,
      &CFilterDevice::DispatchInternalDeviceControl,
      &CFilterDevice::DispatchShutdown,
      &CFilterDevice::DispatchLockControl,
      &CFilterDevice::DispatchCleanup,
      &CFilterDevice::DispatchCreateMailslot,
      &CFilterDevice::DispatchQuerySecurity,
      &CFilterDevice::DispatchPower,
      &CFilterDevice::DispatchSetSecurity,
      &CFilterDevice::DispatchSystemControl,
      &CFilterDevice::DispatchDeviceChange,
      &CFilterDevice::DispatchQueryQuota,
      &CFilterDevice::DispatchSetQuota,
      &CFilterDevice::DispatchPnp,
  };
  static_assert(sizeof(kBySlot) / sizeof(kBySlot[0]) == IRP_MJ_MAXIMUM_FUNCTION + 1);
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    // No driver below knows such a request either.
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    CompleteLocally(irp);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::size_t slot = major;
  if (major == IRP_MJ_POWER)
    slot = IRP_MJ_SET_SECURITY;
  else if (major == IRP_MJ_SET_SECURITY)
    slot = IRP_MJ_POWER;
  return (this->*kBySlot[slot])(irp);
}

// The removal flag is set on the PnP thread and read by every dispatch: atomic.
BOOLEAN CFilterDevice::Removed() const {
  return std::atomic_ref<BOOLEAN>(const_cast<BOOLEAN&>(m_bRemoved)).load(std::memory_order_acquire);
}

BOOLEAN CFilterDevice::AcquireIoCount() {
  InterlockedIncrement(&m_lIoCount);
  if (!Removed()) return TRUE;
  ReleaseIoCount();
  return FALSE;
}

VOID CFilterDevice::ReleaseIoCount() {
  if (InterlockedDecrement(&m_lIoCount) == 0) KeSetEvent(&m_evRemove, IO_NO_INCREMENT, FALSE);
}

BOOLEAN CFilterDevice::Claim(PIRP irp) { return IoSetCancelRoutine(irp, nullptr) != nullptr; }

VOID CFilterDevice::CompleteLocally(PIRP irp) {
  if (!Claim(irp)) return;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseIoCount();
}

NTSTATUS CFilterDevice::PassDown(PIRP irp) {
  if (!Claim(irp)) return STATUS_CANCELLED;
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = IoCallDriver(m_pLowerDeviceObject, irp);
  ReleaseIoCount();
  return status;
}

NTSTATUS CFilterDevice::HandleRemoval(PIRP irp, NTSTATUS (CFilterDevice::*others)(PIRP)) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return (this->*others)(irp);
  const NTSTATUS status = PassDown(irp);
  std::atomic_ref<BOOLEAN>(m_bRemoved).store(TRUE, std::memory_order_release);
  ReleaseIoCount();
  KeWaitForSingleObject(&m_evRemove, Executive, KernelMode, FALSE, nullptr);
  Unknown()->Release();
  return status;
}

VOID CFilterDevice::OnCancel(PIRP irp) {
  irp->Cancel = TRUE;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ReleaseIoCount();
}

NTSTATUS CFilterDevice::DispatchPower(PIRP irp) {
  if (!Claim(irp)) return STATUS_CANCELLED;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = PoCallDriver(m_pLowerDeviceObject, irp);
  ReleaseIoCount();
  return status;
}

NTSTATUS CFilterDevice::DispatchPnp(PIRP irp) { return HandleRemoval(irp, &CFilterDevice::PassDown); }

#define ORA_PASS_DOWN(method) \
  NTSTATUS CFilterDevice::method(PIRP irp) { return PassDown(irp); }
ORA_PASS_DOWN(DispatchCreate)
ORA_PASS_DOWN(DispatchCreateNamedPipe)
ORA_PASS_DOWN(DispatchClose)
ORA_PASS_DOWN(DispatchRead)
ORA_PASS_DOWN(DispatchWrite)
ORA_PASS_DOWN(DispatchQueryInformation)
ORA_PASS_DOWN(DispatchSetInformation)
ORA_PASS_DOWN(DispatchQueryEa)
ORA_PASS_DOWN(DispatchSetEa)
ORA_PASS_DOWN(DispatchFlushBuffers)
ORA_PASS_DOWN(DispatchQueryVolumeInformation)
ORA_PASS_DOWN(DispatchSetVolumeInformation)
ORA_PASS_DOWN(DispatchDirectoryControl)
ORA_PASS_DOWN(DispatchFileSystemControl)
ORA_PASS_DOWN(DispatchDeviceControl)
ORA_PASS_DOWN(DispatchInternalDeviceControl)
ORA_PASS_DOWN(DispatchShutdown)
ORA_PASS_DOWN(DispatchLockControl)
ORA_PASS_DOWN(DispatchCleanup)
ORA_PASS_DOWN(DispatchCreateMailslot)
ORA_PASS_DOWN(DispatchQuerySecurity)
ORA_PASS_DOWN(DispatchSetSecurity)
ORA_PASS_DOWN(DispatchSystemControl)
ORA_PASS_DOWN(DispatchDeviceChange)
ORA_PASS_DOWN(DispatchQueryQuota)
ORA_PASS_DOWN(DispatchSetQuota)
#undef ORA_PASS_DOWN
