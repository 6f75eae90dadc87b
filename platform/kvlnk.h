// The card's bus component \Device\KVLNK, as a kernel driver of the card
// sees it: one internal device-control request hands out an object-creation
// entry point; the object it creates has a register interface and a
// shared-memory interface in kernel COM style.
//
// How a client reaches it:
//   1. IoGetDeviceObjectPointer(KVLNK_DEVICE_NAME, FILE_ALL_ACCESS, &file, &device).
//   2. IoBuildDeviceIoControlRequest(IOCTL_KVLNK_GET_ENTRY, device, no input,
//      an 8-byte output slot, length 8, InternalDeviceIoControl TRUE, ...).
//      The code is METHOD_BUFFERED: the component writes the entry point into
//      the first 8 bytes of Irp->AssociatedIrp.SystemBuffer and sets
//      IoStatus.Information to 8; the I/O manager copies it into the slot.
//      An output shorter than 8 bytes is refused with STATUS_BUFFER_TOO_SMALL;
//      the same code as an ordinary IRP_MJ_DEVICE_CONTROL is refused with
//      STATUS_INVALID_DEVICE_REQUEST.
//   3. entry(&CLSID_KvlnkBus, &KVLNK_IID_IUNKNOWN, &object), then
//      object->QueryInterface(&IID_IKvlnkRegisters or &IID_IKvlnkSharedMemory, &p).
//   4. ObDereferenceObject(file) once done with the interface.
//
// The object belongs to the component: it lives as long as \Device\KVLNK,
// whatever its reference count says, so a client need not call AddRef or
// Release. Every method runs at PASSIVE_LEVEL and returns at once.
#pragma once

#include "platform/wdm.h"

#ifdef _WIN32
#define ORA_KVLNK_TEXT(s) L##s
#else
#define ORA_KVLNK_TEXT(s) u##s
#endif

// "\Device\KVLNK"
inline constexpr WCHAR KVLNK_DEVICE_NAME[] = ORA_KVLNK_TEXT("\\Device\\KVLNK");

// Device type 0x3F3E, function 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS.
inline constexpr ULONG KVLNK_DEVICE_TYPE = 0x3F3E;
inline constexpr ULONG IOCTL_KVLNK_GET_ENTRY = CTL_CODE(KVLNK_DEVICE_TYPE, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS);
static_assert(IOCTL_KVLNK_GET_ENTRY == 0x3F3E0044);
// The output of IOCTL_KVLNK_GET_ENTRY: one entry point.
inline constexpr ULONG KVLNK_GET_ENTRY_OUTPUT_SIZE = 8;

// The entry point IOCTL_KVLNK_GET_ENTRY returns (`KvlnkCreateObject`): creates
// (finds) the object of class `ClassId` and returns its interface `InterfaceId`
// with one reference added. STATUS_INVALID_PARAMETER for a null argument,
// STATUS_NOT_FOUND for another class, STATUS_NOINTERFACE for an interface the
// object lacks, STATUS_NO_SUCH_DEVICE once the component is gone. *Object is
// null on every failure.
typedef NTSTATUS(NTAPI* PKVLNK_CREATE_OBJECT)(const GUID* ClassId, const GUID* InterfaceId, PVOID* Object);
static_assert(sizeof(PKVLNK_CREATE_OBJECT) == KVLNK_GET_ENTRY_OUTPUT_SIZE);

// {51B8E3D0-9C24-4A7E-B635-2F90D1C7A84E}
inline constexpr GUID CLSID_KvlnkBus = {0x51B8E3D0, 0x9C24, 0x4A7E, {0xB6, 0x35, 0x2F, 0x90, 0xD1, 0xC7, 0xA8, 0x4E}};
// {A96F0B37-4E81-4C2D-8D5A-61E3B7F092C8}
inline constexpr GUID IID_IKvlnkRegisters = {
    0xA96F0B37, 0x4E81, 0x4C2D, {0x8D, 0x5A, 0x61, 0xE3, 0xB7, 0xF0, 0x92, 0xC8}};
// {E2C75A48-3B19-4F60-A7D4-9806F15C3E2B}
inline constexpr GUID IID_IKvlnkSharedMemory = {
    0xE2C75A48, 0x3B19, 0x4F60, {0xA7, 0xD4, 0x98, 0x06, 0xF1, 0x5C, 0x3E, 0x2B}};
// IID_IUnknown {00000000-0000-0000-C000-000000000046}: kernel code has no COM
// header to take it from.
inline constexpr GUID KVLNK_IID_IUNKNOWN = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The register file: KVLNK_REGISTER_COUNT 32-bit registers, by index. A read
// past the end answers 0xFFFFFFFF (nothing drives the bus there); a write past
// the end is ignored.
inline constexpr ULONG KVLNK_REGISTER_COUNT = 0x40;
inline constexpr ULONG KVLNK_REGISTER_INVALID = 0xFFFFFFFFu;
// The link-control register; bits 23-16 hold the link's lane enables, of
// which the codec link needs KVLNK_LINK_LANES.
inline constexpr ULONG KVLNK_REGISTER_LINK_CONTROL = 0x1C;
inline constexpr ULONG KVLNK_LINK_LANES = 0x00880000u;
// Revision that GetRevision reports.
inline constexpr ULONG KVLNK_REVISION = 0x0100;

// The two shared-memory blocks are at least this many bytes; a client bounds
// its offsets with these.
inline constexpr ULONG KVLNK_CONTROL_BLOCK_SIZE = 0x1000;
inline constexpr ULONG KVLNK_AUX_BLOCK_SIZE = 0x1000;
// The capability word: the ULONG at this byte offset of the control block.
inline constexpr ULONG KVLNK_CAPABILITY_OFFSET = 0x300;
// Capability bit: set when the card has no DSD path.
inline constexpr ULONG KVLNK_CAPS_NO_DSD = 0x10;
static_assert(KVLNK_CAPABILITY_OFFSET + sizeof(ULONG) <= KVLNK_CONTROL_BLOCK_SIZE);

// Kernel COM: the IUnknown slot order with NTSTATUS results. No virtual
// destructor, so the tables have exactly the slots below (slot numbers in
// the comments); the x64 calling convention is the same on both platforms.
struct IKvlnkUnknown {
  virtual NTSTATUS NTAPI QueryInterface(const GUID* InterfaceId, PVOID* Object) = 0;  // 0
  virtual ULONG NTAPI AddRef() = 0;                                                   // 1
  virtual ULONG NTAPI Release() = 0;                                                  // 2

 protected:
  ~IKvlnkUnknown() = default;
};

struct IKvlnkRegisters : IKvlnkUnknown {
  virtual ULONG NTAPI GetRevision() = 0;       // 3
  virtual ULONG NTAPI GetRegisterCount() = 0;  // 4
  // The register's value, or KVLNK_REGISTER_INVALID past the end.
  virtual ULONG NTAPI ReadRegister(ULONG Index) = 0;  // 5
  // Read-modify-write in one step; both return the new value (the invalid
  // value past the end, changing nothing).
  virtual ULONG NTAPI SetRegisterBits(ULONG Index, ULONG Bits) = 0;    // 6
  virtual ULONG NTAPI ClearRegisterBits(ULONG Index, ULONG Bits) = 0;  // 7
  virtual VOID NTAPI WriteRegister(ULONG Index, ULONG Value) = 0;      // 8

 protected:
  ~IKvlnkRegisters() = default;
};

// The shared-memory interface extends the register interface, so its two
// methods take slots 9 and 10.
struct IKvlnkSharedMemory : IKvlnkRegisters {
  // The block's base address (KVLNK_AUX_BLOCK_SIZE / KVLNK_CONTROL_BLOCK_SIZE
  // bytes at least, ULONG-aligned); *Block is null on failure.
  virtual NTSTATUS NTAPI GetAuxBlock(PVOID* Block) = 0;      // 9
  virtual NTSTATUS NTAPI GetControlBlock(PVOID* Block) = 0;  // 10

 protected:
  ~IKvlnkSharedMemory() = default;
};

#undef ORA_KVLNK_TEXT
