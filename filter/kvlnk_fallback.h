// The card's bus component \Device\KVLNK as the filter uses it.
//
// The component's own header (platform/kvlnk.h) is the authority; until it is
// there, this file declares the part the filter needs, on these assumptions:
// - IOCTL_KVLNK_GET_ENTRY, an internal device control with no input, returns
//   a KvlnkCreateObject function pointer in an 8-byte output buffer;
// - KvlnkCreateObject(CLSID_KvlnkBus, IID_IUnknown) yields an object whose
//   slot 0 is QueryInterface(const GUID*, PVOID*) returning NTSTATUS, slots 1
//   and 2 AddRef and Release (never called by the filter);
// - IKvlnkRegisters: slot 5 ReadRegister(ULONG) -> ULONG, slot 8
//   WriteRegister(ULONG, ULONG); slots 3, 4, 6, 7 are not used here;
// - IKvlnkSharedMemory: slot 9 GetAuxBlock(PVOID*), slot 10
//   GetControlBlock(PVOID*), both returning NTSTATUS, and, so that a caller
//   can bound its offsets, slot 11 GetAuxBlockSize() and slot 12
//   GetControlBlockSize(), both returning the block's size in bytes.
#pragma once

#if __has_include("platform/kvlnk.h")
#include "platform/kvlnk.h"
#else

#include "platform/wdm.h"

#define ORA_KVLNK_FALLBACK 1

inline constexpr ULONG IOCTL_KVLNK_GET_ENTRY = 0x3F3E0044;  // CTL_CODE(0x3F3E, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_KVLNK_GET_ENTRY == CTL_CODE(0x3F3E, 0x11, METHOD_BUFFERED, FILE_ANY_ACCESS));

// {51B8E3D0-9C24-4A7E-B635-2F90D1C7A84E}
inline constexpr GUID CLSID_KvlnkBus = {0x51B8E3D0, 0x9C24, 0x4A7E, {0xB6, 0x35, 0x2F, 0x90, 0xD1, 0xC7, 0xA8, 0x4E}};
// {A96F0B37-4E81-4C2D-8D5A-61E3B7F092C8}
inline constexpr GUID IID_IKvlnkRegisters = {
    0xA96F0B37, 0x4E81, 0x4C2D, {0x8D, 0x5A, 0x61, 0xE3, 0xB7, 0xF0, 0x92, 0xC8}};
// {E2C75A48-3B19-4F60-A7D4-9806F15C3E2B}
inline constexpr GUID IID_IKvlnkSharedMemory = {
    0xE2C75A48, 0x3B19, 0x4F60, {0xA7, 0xD4, 0x98, 0x06, 0xF1, 0x5C, 0x3E, 0x2B}};

// Byte offset of the capability word in the control block; its bit 4 set
// means the hardware has no DSD.
inline constexpr ULONG KVLNK_CAPABILITY_OFFSET = 0x300;
inline constexpr ULONG KVLNK_CAPABILITY_NO_DSD = 1u << 4;

typedef NTSTATUS(NTAPI* PKVLNK_CREATE_OBJECT)(const GUID* ClassId, const GUID* Iid, PVOID* Object);

class IKvlnkUnknown {
 public:
  virtual NTSTATUS NTAPI QueryInterface(const GUID* iid, PVOID* object) = 0;  // slot 0
  virtual ULONG NTAPI AddRef() = 0;                                           // slot 1
  virtual ULONG NTAPI Release() = 0;                                          // slot 2

 protected:
  ~IKvlnkUnknown() = default;
};

class IKvlnkRegisters : public IKvlnkUnknown {
 public:
  virtual VOID NTAPI Reserved3() = 0;
  virtual VOID NTAPI Reserved4() = 0;
  virtual ULONG NTAPI ReadRegister(ULONG index) = 0;  // slot 5
  virtual VOID NTAPI Reserved6() = 0;
  virtual VOID NTAPI Reserved7() = 0;
  virtual VOID NTAPI WriteRegister(ULONG index, ULONG value) = 0;  // slot 8

 protected:
  ~IKvlnkRegisters() = default;
};

class IKvlnkSharedMemory : public IKvlnkUnknown {
 public:
  virtual VOID NTAPI Reserved3() = 0;
  virtual VOID NTAPI Reserved4() = 0;
  virtual VOID NTAPI Reserved5() = 0;
  virtual VOID NTAPI Reserved6() = 0;
  virtual VOID NTAPI Reserved7() = 0;
  virtual VOID NTAPI Reserved8() = 0;
  virtual NTSTATUS NTAPI GetAuxBlock(PVOID* block) = 0;      // slot 9
  virtual NTSTATUS NTAPI GetControlBlock(PVOID* block) = 0;  // slot 10
  virtual ULONG NTAPI GetAuxBlockSize() = 0;                 // slot 11
  virtual ULONG NTAPI GetControlBlockSize() = 0;             // slot 12

 protected:
  ~IKvlnkSharedMemory() = default;
};

#endif
