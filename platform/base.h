// Basic Windows types, GUIDs, results and common values of the platform seam.
//
// On Windows this defers to the SDK. On Linux it is the definition, with the
// LLP64 sizes of 64-bit Windows: LONG/ULONG/DWORD are 32 bits, WCHAR is a
// 16-bit UTF-16 unit, pointers and HANDLE are 64 bits.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define ORA_WTEXT(s) L##s

#else

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK
#define APIENTRY
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define NTAPI
#define DECLSPEC_IMPORT
#define ORA_WTEXT(s) u##s

typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef unsigned char BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef char16_t WCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef int INT;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef int64_t INT_PTR;
typedef uint64_t UINT_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef int BOOL;
typedef BYTE BOOLEAN;
typedef float FLOAT;
typedef double DOUBLE;
typedef LONG HRESULT;
typedef LONG NTSTATUS;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* LPLONG;
typedef CHAR* PCHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef ULONG_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD LANGID;
typedef DWORD LCID;

// Opaque handle types are distinct pointer types, as with STRICT on Windows.
#define ORA_DECLARE_HANDLE(name) \
  struct name##__ {              \
    int unused;                  \
  };                             \
  typedef struct name##__* name
ORA_DECLARE_HANDLE(HKEY);
ORA_DECLARE_HANDLE(HWND);
ORA_DECLARE_HANDLE(HINSTANCE);
ORA_DECLARE_HANDLE(HRSRC);
ORA_DECLARE_HANDLE(HGLOBAL__ORA);
ORA_DECLARE_HANDLE(HBITMAP);
ORA_DECLARE_HANDLE(HICON);
ORA_DECLARE_HANDLE(HBRUSH);
ORA_DECLARE_HANDLE(HMENU);
#undef ORA_DECLARE_HANDLE
typedef HINSTANCE HMODULE;
typedef HANDLE HGLOBAL;
typedef HKEY* PHKEY;
typedef int(WINAPI* FARPROC)();

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
typedef GUID IID;
typedef GUID CLSID;
typedef GUID* LPGUID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

constexpr bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);
typedef LARGE_INTEGER* PLARGE_INTEGER;

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  ULONGLONG QuadPart;
};
static_assert(sizeof(ULARGE_INTEGER) == 8);

typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
static_assert(sizeof(FILETIME) == 8);
typedef FILETIME* PFILETIME;
typedef FILETIME* LPFILETIME;

constexpr HRESULT HRESULT_FROM_WIN32(DWORD x) {
  return static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x)
                                      : static_cast<HRESULT>((x & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr WORD LOWORD(ULONG_PTR v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(ULONG_PTR v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr BYTE LOBYTE(ULONG_PTR v) { return static_cast<BYTE>(v & 0xFF); }

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

// Values checked against the SDK by the mingw layout check.
#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/base.def"
#undef ORA_VALUE

#endif  // _WIN32
