// The card's bus component \Device\KVLNK as tests and the machine see it: its
// register file, its two shared-memory blocks and what was asked of it. The
// interface the card's drivers use is platform/kvlnk.h.
//
// The component comes up when its root device starts: the registers are zero
// except KVLNK_REGISTER_LINK_CONTROL (the profile's register_1c), the control
// block is zero except the capability word (the profile's capability_word),
// the aux block is zero. The blocks are KVLNK_CONTROL_BLOCK_SIZE and
// KVLNK_AUX_BLOCK_SIZE bytes, or the profile's sizes when those are larger.
//
// Fault steps (profile faults.kvlnk_fail) and what fails:
//   open               IRP_MJ_CREATE on \Device\KVLNK: STATUS_DEVICE_NOT_READY
//   get_entry          IOCTL_KVLNK_GET_ENTRY: STATUS_DEVICE_NOT_READY, nothing written
//   create_object      the entry point: STATUS_UNSUCCESSFUL
//   query_registers    QueryInterface for IID_IKvlnkRegisters (and the entry
//                      point asked for it): STATUS_NOINTERFACE
//   query_shared_memory  the same for IID_IKvlnkSharedMemory
//   control_block      GetControlBlock: STATUS_UNSUCCESSFUL, null block
//   aux_block          GetAuxBlock: STATUS_UNSUCCESSFUL, null block
#pragma once

#include <cstdint>
#include <vector>

#include "platform/kvlnk.h"

namespace sim::card::kvlnk {

struct RegisterWrite {
  ULONG index = 0;
  ULONG value = 0;
  bool accepted = false;  // false: past the register file, ignored
  bool operator==(const RegisterWrite&) const = default;
};

struct Counters {
  uint32_t opens = 0;      // IRP_MJ_CREATE requests answered with success
  uint32_t get_entry = 0;  // IOCTL_KVLNK_GET_ENTRY requests answered with success
  uint32_t objects_created = 0;
  uint32_t add_refs = 0;
  uint32_t releases = 0;
  uint32_t register_reads = 0;
};

// True while \Device\KVLNK exists.
bool Running();
Counters GetCounters();
// In call order: WriteRegister, SetRegisterBits and ClearRegisterBits.
std::vector<RegisterWrite> RegisterWrites();
void ClearRegisterWrites();
// Direct access, not logged; false (and 0) when the component is not running
// or the index is past the file.
bool SetRegister(ULONG index, ULONG value);
ULONG Register(ULONG index);
// The capability word in the control block; the setter reports whether the
// component is running.
ULONG CapabilityWord();
bool SetCapabilityWord(ULONG word);
// The blocks, for tests that look inside; null when not running.
UCHAR* ControlBlock();
UCHAR* AuxBlock();
ULONG ControlBlockSize();
ULONG AuxBlockSize();

// Forgets every record of a previous machine (the kernel was reset under it).
void Reset();

}  // namespace sim::card::kvlnk
