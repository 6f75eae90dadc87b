// The resources of a module on the simulated PC.
//
// The resource build step (cmake/OraResources.cmake) compiles a module's .rc
// script into a table of this shape and links it into the module, exported
// as ora_resource_table; the resource functions find it through the loader.
// Each entry holds the bytes Windows' resource compiler would have put into
// the module's resource section for that resource.
#pragma once

#include <cstdint>

extern "C" {

struct OraResourceEntry {
  // A type or name is either a string (upper case, as the resource compiler
  // stores it) or, when the string is null, a 16-bit ordinal.
  const char* type_name;
  uint16_t type_id;
  const char* name;
  uint16_t name_id;
  uint16_t language;
  const unsigned char* data;
  uint32_t size;
};

struct OraResourceTable {
  uint32_t count;
  const OraResourceEntry* entries;
};

}  // extern "C"

inline constexpr const char* kOraResourceTableSymbol = "ora_resource_table";
