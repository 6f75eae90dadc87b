// The filter object of OraFilt: a reference-counted kernel object
// (CKernelUnknown), a generic filter device that dispatches every request to
// a virtual method (CFilterDevice) and the codec filter that AddDevice makes
// (CCodecFilter).
//
// Virtual slots come in this order: the three non-delegating IUnknown slots,
// the destructor, one Dispatch<Major> per major code (IRP_MJ_POWER before
// IRP_MJ_SET_SECURITY), OnCancel, then in CCodecFilter one OnComplete<Major>
// per major code in the same order.
#pragma once

#include <cstddef>

#include "platform/hdaudio.h"
#include "platform/wdm.h"

class CCodecFilter;

// The filter device object's extension.
struct FILTER_EXTENSION {
  CCodecFilter* Filter;
  PDEVICE_OBJECT LowerDeviceObject;
};
static_assert(sizeof(FILTER_EXTENSION) == 16);
static_assert(offsetof(FILTER_EXTENSION, Filter) == 0 && offsetof(FILTER_EXTENSION, LowerDeviceObject) == 8);

// Pool tags as they read in a dump.
inline constexpr ULONG kTagFilter = 0x774E6350;    // "PcNw": the filter object and path strings
inline constexpr ULONG kTagRegistry = 0x30304641;  // "AF00": registry query buffers

// IID_IUnknown of the kernel object model.
inline constexpr GUID IID_IUnknown_Kernel = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The interface every kernel object hands out.
class IKernelUnknown {
 public:
  virtual NTSTATUS QueryInterface(REFIID iid, PVOID* object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IKernelUnknown() = default;
};

class CKernelUnknown {
 public:
  virtual NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object);  // slot 0
  virtual ULONG NonDelegatingAddRef();                                      // slot 1
  virtual ULONG NonDelegatingRelease();                                     // slot 2
  // Slot 3: destroys the class levels; `delete` also frees the memory.
  virtual ~CKernelUnknown();

  // Kernel objects live in zero-filled non-paged pool under a tag of their own.
  static void* operator new(std::size_t size, POOL_TYPE pool, ULONG tag) noexcept;
  static void operator delete(void* memory) noexcept;
  static void operator delete(void* memory, POOL_TYPE, ULONG) noexcept;

  IKernelUnknown* Unknown() { return &m_Unknown; }

 protected:
  CKernelUnknown();

  LONG m_lRefCount;
  CKernelUnknown* m_pUnknownOuter;

 private:
  // The embedded IUnknown forwards to the non-delegating slots of the outer object.
  class CEmbeddedUnknown final : public IKernelUnknown {
   public:
    explicit CEmbeddedUnknown(CKernelUnknown* owner) : m_pOwner(owner) {}
    NTSTATUS QueryInterface(REFIID iid, PVOID* object) override;
    ULONG AddRef() override;
    ULONG Release() override;

   private:
    CKernelUnknown* m_pOwner;
  };
  CEmbeddedUnknown m_Unknown;
};

class CFilterDevice : public CKernelUnknown {
 public:
  // Slots 4-24: major codes 0x00-0x14.
  virtual NTSTATUS DispatchCreate(PIRP irp);
  virtual NTSTATUS DispatchCreateNamedPipe(PIRP irp);
  virtual NTSTATUS DispatchClose(PIRP irp);
  virtual NTSTATUS DispatchRead(PIRP irp);
  virtual NTSTATUS DispatchWrite(PIRP irp);
  virtual NTSTATUS DispatchQueryInformation(PIRP irp);
  virtual NTSTATUS DispatchSetInformation(PIRP irp);
  virtual NTSTATUS DispatchQueryEa(PIRP irp);
  virtual NTSTATUS DispatchSetEa(PIRP irp);
  virtual NTSTATUS DispatchFlushBuffers(PIRP irp);
  virtual NTSTATUS DispatchQueryVolumeInformation(PIRP irp);
  virtual NTSTATUS DispatchSetVolumeInformation(PIRP irp);
  virtual NTSTATUS DispatchDirectoryControl(PIRP irp);
  virtual NTSTATUS DispatchFileSystemControl(PIRP irp);
  virtual NTSTATUS DispatchDeviceControl(PIRP irp);
  virtual NTSTATUS DispatchInternalDeviceControl(PIRP irp);
  virtual NTSTATUS DispatchShutdown(PIRP irp);
  virtual NTSTATUS DispatchLockControl(PIRP irp);
  virtual NTSTATUS DispatchCleanup(PIRP irp);
  virtual NTSTATUS DispatchCreateMailslot(PIRP irp);
  virtual NTSTATUS DispatchQuerySecurity(PIRP irp);
  virtual NTSTATUS DispatchPower(PIRP irp);        // slot 25, IRP_MJ_POWER
  virtual NTSTATUS DispatchSetSecurity(PIRP irp);  // slot 26, IRP_MJ_SET_SECURITY
  virtual NTSTATUS DispatchSystemControl(PIRP irp);
  virtual NTSTATUS DispatchDeviceChange(PIRP irp);
  virtual NTSTATUS DispatchQueryQuota(PIRP irp);
  virtual NTSTATUS DispatchSetQuota(PIRP irp);
  virtual NTSTATUS DispatchPnp(PIRP irp);  // slot 31
  virtual VOID OnCancel(PIRP irp);         // slot 32

  // The virtual Dispatch<Major> of a request's major code (0x00-0x1B).
  NTSTATUS Dispatch(UCHAR major, PIRP irp);

  PDEVICE_OBJECT DeviceObject() const { return m_pDeviceObject; }
  PDEVICE_OBJECT LowerDeviceObject() const { return m_pLowerDeviceObject; }
  BOOLEAN Removed() const;
  // Counts a request entering the filter; FALSE (count given back) once removed.
  BOOLEAN AcquireIoCount();
  VOID ReleaseIoCount();

 protected:
  CFilterDevice(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
  ~CFilterDevice() override;

  // Takes the request back from the cancel routine; FALSE when the cancel routine owns it.
  static BOOLEAN Claim(PIRP irp);
  VOID CompleteLocally(PIRP irp);
  NTSTATUS PassDown(PIRP irp);
  NTSTATUS HandleRemoval(PIRP irp, NTSTATUS (CFilterDevice::*others)(PIRP));

  PDEVICE_OBJECT m_pPhysicalDeviceObject;
  PDEVICE_OBJECT m_pDeviceObject;
  PDEVICE_OBJECT m_pLowerDeviceObject;
  LONG m_lIoCount;
  BOOLEAN m_bRemoved;
  KEVENT m_evRemove;
};

// One programmed row of the DSD coefficient table.
struct COEFFICIENT_ENTRY {
  UCHAR Index;
  USHORT Current;
  USHORT Default;
  USHORT Mode1;
  USHORT Mode2;
  USHORT Mode3;
};
extern COEFFICIENT_ENTRY g_DsdCoefficients[5];

struct IKvlnkRegisters;
struct IKvlnkSharedMemory;

class CCodecFilter : public CFilterDevice {
 public:
  CCodecFilter(PDEVICE_OBJECT pdo, PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
  ~CCodecFilter() override;

  NTSTATUS DispatchCreate(PIRP irp) override;
  NTSTATUS DispatchCreateNamedPipe(PIRP irp) override;
  NTSTATUS DispatchClose(PIRP irp) override;
  NTSTATUS DispatchRead(PIRP irp) override;
  NTSTATUS DispatchWrite(PIRP irp) override;
  NTSTATUS DispatchQueryInformation(PIRP irp) override;
  NTSTATUS DispatchSetInformation(PIRP irp) override;
  NTSTATUS DispatchQueryEa(PIRP irp) override;
  NTSTATUS DispatchSetEa(PIRP irp) override;
  NTSTATUS DispatchFlushBuffers(PIRP irp) override;
  NTSTATUS DispatchQueryVolumeInformation(PIRP irp) override;
  NTSTATUS DispatchSetVolumeInformation(PIRP irp) override;
  NTSTATUS DispatchDirectoryControl(PIRP irp) override;
  NTSTATUS DispatchFileSystemControl(PIRP irp) override;
  NTSTATUS DispatchDeviceControl(PIRP irp) override;
  NTSTATUS DispatchInternalDeviceControl(PIRP irp) override;
  NTSTATUS DispatchShutdown(PIRP irp) override;
  NTSTATUS DispatchLockControl(PIRP irp) override;
  NTSTATUS DispatchCleanup(PIRP irp) override;
  NTSTATUS DispatchCreateMailslot(PIRP irp) override;
  NTSTATUS DispatchQuerySecurity(PIRP irp) override;
  NTSTATUS DispatchPower(PIRP irp) override;
  NTSTATUS DispatchSetSecurity(PIRP irp) override;
  NTSTATUS DispatchSystemControl(PIRP irp) override;
  NTSTATUS DispatchDeviceChange(PIRP irp) override;
  NTSTATUS DispatchQueryQuota(PIRP irp) override;
  NTSTATUS DispatchSetQuota(PIRP irp) override;
  NTSTATUS DispatchPnp(PIRP irp) override;

  // Slots 33-60: called by FilterCompletion after the driver below completed.
  virtual VOID OnCompleteCreate(PIRP irp);
  virtual VOID OnCompleteCreateNamedPipe(PIRP irp);
  virtual VOID OnCompleteClose(PIRP irp);
  virtual VOID OnCompleteRead(PIRP irp);
  virtual VOID OnCompleteWrite(PIRP irp);
  virtual VOID OnCompleteQueryInformation(PIRP irp);
  virtual VOID OnCompleteSetInformation(PIRP irp);
  virtual VOID OnCompleteQueryEa(PIRP irp);
  virtual VOID OnCompleteSetEa(PIRP irp);
  virtual VOID OnCompleteFlushBuffers(PIRP irp);
  virtual VOID OnCompleteQueryVolumeInformation(PIRP irp);
  virtual VOID OnCompleteSetVolumeInformation(PIRP irp);
  virtual VOID OnCompleteDirectoryControl(PIRP irp);
  virtual VOID OnCompleteFileSystemControl(PIRP irp);
  virtual VOID OnCompleteDeviceControl(PIRP irp);  // slot 47
  virtual VOID OnCompleteInternalDeviceControl(PIRP irp);
  virtual VOID OnCompleteShutdown(PIRP irp);
  virtual VOID OnCompleteLockControl(PIRP irp);
  virtual VOID OnCompleteCleanup(PIRP irp);
  virtual VOID OnCompleteCreateMailslot(PIRP irp);
  virtual VOID OnCompleteQuerySecurity(PIRP irp);
  virtual VOID OnCompletePower(PIRP irp);  // slot 54
  virtual VOID OnCompleteSetSecurity(PIRP irp);
  virtual VOID OnCompleteSystemControl(PIRP irp);
  virtual VOID OnCompleteDeviceChange(PIRP irp);
  virtual VOID OnCompleteQueryQuota(PIRP irp);
  virtual VOID OnCompleteSetQuota(PIRP irp);
  virtual VOID OnCompletePnp(PIRP irp);

  // The virtual OnComplete<Major> of a request's major code.
  VOID Complete(UCHAR major, PIRP irp);

  NTSTATUS ForwardWithCompletion(PIRP irp);

  // Codec identification, the bus link and the coefficient table.
  VOID EnsureBusInterface();
  NTSTATUS IdentifyCodec();
  NTSTATUS ConfigureBusLink();
  BOOLEAN IsCodec1220() const;
  BOOLEAN IsCodec0899() const;
  // Sends one verb through m_BusInterface. The response is 0 unless the result
  // is STATUS_SUCCESS: STATUS_DEVICE_NOT_READY without a bus interface, the
  // transfer's own failure, or STATUS_IO_TIMEOUT when no codec answered.
  NTSTATUS SendCodecVerb(ULONG command, PULONG response);
  VOID ApplyDsdCoefficients(ULONG mode);
  BOOLEAN AccessBusBlock(ULONG write, ULONG selector, ULONG offset, ULONG value, PULONG read);

  // The DSD ASIO driver's registration, in step with the capability bit.
  ULONG SyncDsdAsioRegistration();

  // State, for the driver's own tests.
  ULONG DsdCapable() const { return m_ulDsdCapable; }
  BOOLEAN BusInterfaceValid() const { return m_bBusInterfaceValid; }
  UCHAR CodecAddress() const { return m_ucCodecAddress; }
  LONG BusType() const { return m_lBusType; }
  ULONG VendorId() const { return m_ulVendorId; }
  ULONG DeviceId() const { return m_ulDeviceId; }
  ULONG FunctionGroupNode() const { return m_ulFunctionGroupNode; }
  ULONG Identified() const { return m_ulIdentified; }

 private:
  // One bus-interface request to the PDO into `buffer`.
  NTSTATUS QueryBusInterface(const GUID& type, USHORT size, PVOID buffer);
  // Steps 2-4 of identification over one interface; `configure` runs ConfigureBusLink.
  NTSTATUS IdentifyThrough(PVOID context, PTRANSFER_CODEC_VERBS transfer, PGET_RESOURCE_INFORMATION resources,
                           BOOLEAN configure);
  // The KVLNK link: the interface and the file object to dereference afterwards.
  BOOLEAN OpenKvlnk(const GUID& iid, PVOID* object, PFILE_OBJECT* file);
  // Interception helpers.
  NTSTATUS CheckProposedFormat(PIRP irp, PUCHAR value, ULONG length);
  NTSTATUS Answer(PIRP irp, ULONG_PTR information);

  ULONG m_ulDsdCapable;
  BOOLEAN m_bBusInterfaceValid;
  HDAUDIO_BUS_INTERFACE_V2 m_BusInterface;
  UCHAR m_ucCodecAddress;
  LONG m_lBusType;
  ULONG m_ulVendorId;
  ULONG m_ulDeviceId;
  ULONG m_ulFunctionGroupNode;
  ULONG m_ulIdentified;
};

// Entry points.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp);
VOID NTAPI FilterUnload(PDRIVER_OBJECT driver);
VOID NTAPI FilterCancel(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
