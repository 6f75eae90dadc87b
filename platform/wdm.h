// The Windows kernel (WDM) interfaces the kernel filter uses.
//
// On Windows this is the WDK, and must not be combined with windows.h. On
// Linux it is the definition, implemented by the simulated kernel in sim/kernel,
// with the x64 layouts pinned by static_asserts (platform/values/wdm_layout.def,
// checked against the WDK by the mingw build).
#pragma once

#ifdef _WIN32

// MinGW's wdm.h redefines two intrinsics that intrin.h already provides.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>

#include "platform/ioctl.h"

#else

#include <cstddef>

#include "platform/base.h"
#include "platform/ioctl.h"

typedef short CSHORT;
typedef char CCHAR;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef ULONG ACCESS_MASK;
typedef const GUID* LPCGUID;
typedef GUID* PGUID;
typedef LONG KPRIORITY;
typedef uint64_t ULONG64;
typedef int64_t LONG64;

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/ntstatus.def"
#include "platform/values/wdm.def"
#undef ORA_VALUE

constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
constexpr bool NT_INFORMATION(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 1; }
constexpr bool NT_WARNING(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 2; }
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// 16-byte alignment where the WDK declares MEMORY_ALLOCATION_ALIGNMENT.
#define ORA_ALLOCATION_ALIGNED alignas(16)
// Fields the WDK marks POINTER_ALIGNMENT start on an 8-byte boundary on x64.
#define POINTER_ALIGNMENT alignas(8)

enum MODE { KernelMode = 0, UserMode = 1, MaximumMode };
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, FreePage, PageIn, PoolAllocation, DelayExecution, Suspended, UserRequest };
enum POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
};
enum DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum,
};
enum SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking,
  PowerSystemSleeping1,
  PowerSystemSleeping2,
  PowerSystemSleeping3,
  PowerSystemHibernate,
  PowerSystemShutdown,
  PowerSystemMaximum,
};
enum POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState };
enum POWER_ACTION {
  PowerActionNone = 0,
  PowerActionReserved,
  PowerActionSleep,
  PowerActionHibernate,
  PowerActionShutdown,
  PowerActionShutdownReset,
  PowerActionShutdownOff,
  PowerActionWarmEject,
};
union POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
};
typedef POWER_STATE* PPOWER_STATE;
enum DEVICE_RELATION_TYPE {
  BusRelations = 0,
  EjectionRelations,
  PowerRelations,
  RemovalRelations,
  TargetDeviceRelation,
  SingleBusRelations,
  TransportRelations,
};
enum BUS_QUERY_ID_TYPE {
  BusQueryDeviceID = 0,
  BusQueryHardwareIDs = 1,
  BusQueryCompatibleIDs = 2,
  BusQueryInstanceID = 3,
  BusQueryDeviceSerialNumber = 4,
  BusQueryContainerID = 5,
};
enum KEY_INFORMATION_CLASS { KeyBasicInformation = 0, KeyNodeInformation, KeyFullInformation, KeyNameInformation };
enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation,
  KeyValuePartialInformation,
};

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

struct UNICODE_STRING {
  USHORT Length;  // bytes, without a terminator
  USHORT MaximumLength;
  PWCH Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

struct DISPATCHER_HEADER {
  UCHAR Type;  // EVENT_TYPE for an event
  UCHAR Signalling;
  UCHAR Size;  // in LONGs
  UCHAR Reserved1;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
};

struct KEVENT {
  DISPATCHER_HEADER Header;
};
typedef KEVENT* PKEVENT;
typedef KEVENT* PRKEVENT;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING n, ULONG a, HANDLE r, PVOID s) {
  p->Length = sizeof(OBJECT_ATTRIBUTES);
  p->RootDirectory = r;
  p->Attributes = a;
  p->ObjectName = n;
  p->SecurityDescriptor = s;
  p->SecurityQualityOfService = nullptr;
}

struct KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
typedef KEY_BASIC_INFORMATION* PKEY_BASIC_INFORMATION;

struct KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;
  ULONG MaxValueDataLen;
  WCHAR Class[1];
};
typedef KEY_FULL_INFORMATION* PKEY_FULL_INFORMATION;

struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of the record
  ULONG DataLength;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
};
typedef KEY_VALUE_FULL_INFORMATION* PKEY_VALUE_FULL_INFORMATION;

typedef VOID(NTAPI* PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID(NTAPI* PINTERFACE_DEREFERENCE)(PVOID Context);
struct INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};
typedef INTERFACE* PINTERFACE;

// Opaque kernel records whose contents the system never touches; sized as on x64.
struct MDL {
  UCHAR Opaque[0x30];
};
typedef MDL* PMDL;
struct alignas(8) KAPC {
  UCHAR Opaque[0x58];
};
struct alignas(8) KDPC {
  UCHAR Opaque[0x40];
};
struct alignas(8) KDEVICE_QUEUE {
  UCHAR Opaque[0x28];
};
struct alignas(8) KDEVICE_QUEUE_ENTRY {
  UCHAR Opaque[0x18];
};
struct alignas(8) WAIT_CONTEXT_BLOCK {
  UCHAR Opaque[0x48];
};
struct CM_RESOURCE_LIST;
typedef CM_RESOURCE_LIST* PCM_RESOURCE_LIST;
struct ETHREAD;
typedef ETHREAD* PETHREAD;

struct IRP;
struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct FILE_OBJECT;
typedef IRP* PIRP;
typedef DEVICE_OBJECT* PDEVICE_OBJECT;
typedef DRIVER_OBJECT* PDRIVER_OBJECT;
typedef FILE_OBJECT* PFILE_OBJECT;

typedef NTSTATUS(NTAPI* PDRIVER_DISPATCH)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef VOID(NTAPI* PDRIVER_CANCEL)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef NTSTATUS(NTAPI* PDRIVER_ADD_DEVICE)(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef VOID(NTAPI* PDRIVER_UNLOAD)(PDRIVER_OBJECT DriverObject);
typedef NTSTATUS(NTAPI* PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef VOID(NTAPI* PDRIVER_STARTIO)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef VOID(NTAPI* PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

struct IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;  // SL_* bits
  union {
    struct {
      PVOID SecurityContext;
      ULONG Options;
      POINTER_ALIGNMENT USHORT FileAttributes;
      USHORT ShareAccess;
      POINTER_ALIGNMENT ULONG EaLength;
    } Create;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      POINTER_ALIGNMENT ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      POINTER_ALIGNMENT ULONG InputBufferLength;
      POINTER_ALIGNMENT ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      DEVICE_RELATION_TYPE Type;
    } QueryDeviceRelations;
    struct {
      const GUID* InterfaceType;
      USHORT Size;
      USHORT Version;
      PINTERFACE Interface;
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      BUS_QUERY_ID_TYPE IdType;
    } QueryId;
    struct {
      ULONG SystemContext;
      POINTER_ALIGNMENT POWER_STATE_TYPE Type;
      POINTER_ALIGNMENT POWER_STATE State;
      POINTER_ALIGNMENT POWER_ACTION ShutdownType;
    } Power;
    struct {
      PCM_RESOURCE_LIST AllocatedResources;
      PCM_RESOURCE_LIST AllocatedResourcesTranslated;
    } StartDevice;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

struct ORA_ALLOCATION_ALIGNED IRP {
  CSHORT Type;
  USHORT Size;
  USHORT AllocationProcessorNumber;
  USHORT Reserved;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    IRP* MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  union {
    struct {
      PIO_APC_ROUTINE UserApcRoutine;
      PVOID UserApcContext;
    } AsynchronousParameters;
    LARGE_INTEGER AllocationSize;
  } Overlay;
  PDRIVER_CANCEL volatile CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
        PVOID DriverContext[4];
      };
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      union {
        IO_STACK_LOCATION* CurrentStackLocation;
        ULONG PacketType;
      };
      PFILE_OBJECT OriginalFileObject;
    } Overlay;
    KAPC Apc;
    PVOID CompletionKey;
  } Tail;
};

struct DRIVER_EXTENSION {
  DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
};
typedef DRIVER_EXTENSION* PDRIVER_EXTENSION;

struct ORA_ALLOCATION_ALIGNED DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  DRIVER_OBJECT* DriverObject;
  DEVICE_OBJECT* NextDevice;      // the driver's next device
  DEVICE_OBJECT* AttachedDevice;  // the device attached above this one
  IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;            // DO_*
  ULONG Characteristics;  // FILE_* device characteristics
  PVOID Vpb;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;
  union {
    LIST_ENTRY ListEntry;
    WAIT_CONTEXT_BLOCK Wcb;
  } Queue;
  ULONG AlignmentRequirement;
  KDEVICE_QUEUE DeviceQueue;
  KDPC Dpc;
  ULONG ActiveThreadCount;
  PVOID SecurityDescriptor;
  KEVENT DeviceLock;
  USHORT SectorSize;
  USHORT Spare1;
  PVOID DeviceObjectExtension;
  PVOID Reserved;
};

struct DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  DEVICE_OBJECT* DeviceObject;  // the first of the driver's devices
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PUNICODE_STRING HardwareDatabase;
  PVOID FastIoDispatch;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct FILE_OBJECT {
  CSHORT Type;
  CSHORT Size;
  DEVICE_OBJECT* DeviceObject;
  PVOID Vpb;
  PVOID FsContext;
  PVOID FsContext2;
  PVOID SectionObjectPointer;
  PVOID PrivateCacheMap;
  NTSTATUS FinalStatus;
  FILE_OBJECT* RelatedFileObject;
  BOOLEAN LockOperation;
  BOOLEAN DeletePending;
  BOOLEAN ReadAccess;
  BOOLEAN WriteAccess;
  BOOLEAN DeleteAccess;
  BOOLEAN SharedRead;
  BOOLEAN SharedWrite;
  BOOLEAN SharedDelete;
  ULONG Flags;
  UNICODE_STRING FileName;
  LARGE_INTEGER CurrentByteOffset;
  ULONG Waiters;
  ULONG Busy;
  PVOID LastLock;
  KEVENT Lock;
  KEVENT Event;
  PVOID CompletionContext;
  KSPIN_LOCK IrpListLock;
  LIST_ENTRY IrpList;
  PVOID FileObjectExtension;
};

#define ORA_SIZE(type, bytes) static_assert(sizeof(type) == (bytes), "size of " #type);
#define ORA_SIZE_ALIGNED(type, bytes, alignment) \
  static_assert(sizeof(type) == (bytes) && alignof(type) == (alignment), "size of " #type);
#define ORA_OFFSET(type, field, offset) static_assert(offsetof(type, field) == (offset), "offset of " #type "." #field);
#include "platform/values/wdm_layout.def"
#undef ORA_SIZE
#undef ORA_SIZE_ALIGNED
#undef ORA_OFFSET

extern "C" {

// I/O manager.
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                        PDEVICE_OBJECT* DeviceObject);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName);
NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable);

// Object manager.
LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);

// Power manager.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Executive: pool.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// Kernel: events, waits and IRQL.
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
// Timeout in 100 ns units: negative is relative, NULL waits for ever.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
KIRQL NTAPI KeGetCurrentIrql();
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);

// Run-time library: counted strings.
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
// Frees a string the system allocated (IoRegisterDeviceInterface).
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// Debug output into the machine-wide log.
ULONG DbgPrint(PCSTR Format, ...);

// Interlocked operations; the same functions serve user mode.
LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
PVOID WINAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand);

}  // extern "C"

inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
inline VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
inline LONG_PTR ObReferenceObject(PVOID Object) { return ObfReferenceObject(Object); }
inline LONG_PTR ObDereferenceObject(PVOID Object) { return ObfDereferenceObject(Object); }

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) { return Irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
// Copies every field before CompletionRoutine; the next driver's completion is not inherited.
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  char* to = reinterpret_cast<char*>(next);
  const char* from = reinterpret_cast<const char*>(current);
  for (std::size_t i = 0; i < offsetof(IO_STACK_LOCATION, CompletionRoutine); ++i) to[i] = from[i];
  next->Control = 0;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline VOID IoMarkIrpPending(PIRP Irp) { IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED; }
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL NewCancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), reinterpret_cast<PVOID>(NewCancelRoutine)));
}
inline ULONG IoGetFunctionCodeFromCtlCode(ULONG ControlCode) { return (ControlCode >> 2) & 0x00000FFF; }

#endif  // _WIN32
