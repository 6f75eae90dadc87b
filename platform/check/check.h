// Helpers of the mingw checks: our own definitions next to the SDK's.
#pragma once

#include <cstddef>

// A record of ours (in namespace ora_layout) has the SDK record's size and alignment.
#define ORA_SAME_RECORD(T)                                                               \
  static_assert(sizeof(ora_layout::T) == sizeof(::T), "size differs from the SDK: " #T); \
  static_assert(alignof(ora_layout::T) == alignof(::T), "alignment differs from the SDK: " #T);

// A field of ours sits at the SDK field's offset and has its size.
#define ORA_SAME_FIELD(T, f)                                                                                \
  static_assert(offsetof(ora_layout::T, f) == offsetof(::T, f), "offset differs from the SDK: " #T "." #f); \
  static_assert(sizeof(ora_layout::T::f) == sizeof(::T::f), "field size differs from the SDK: " #T "." #f);

// A value of ours equals the SDK's.
#define ORA_VALUE(name, type, value) \
  static_assert(static_cast<type>(name) == static_cast<type>(value), "platform value differs from the SDK: " #name);
