// Resources of a module: find, load and lock a resource, strings from the
// string table, bitmaps. Names and types are strings or 16-bit ordinals
// (MAKEINTRESOURCEA).
#pragma once

#include "platform/base.h"

#ifndef _WIN32

#define ORA_VALUE(name, type, value) inline constexpr type name = value;
#include "platform/values/resource.def"
#undef ORA_VALUE

typedef void* HGDIOBJ;

inline bool IS_INTRESOURCE(const void* p) { return (reinterpret_cast<ULONG_PTR>(p) >> 16) == 0; }
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
constexpr WORD MAKELANGID(WORD primary, WORD sub) { return static_cast<WORD>((sub << 10) | primary); }

#define RT_BITMAP MAKEINTRESOURCEA(2)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_RCDATA MAKEINTRESOURCEA(10)
#define RT_VERSION MAKEINTRESOURCEA(16)

struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  LPVOID bmBits;
};
static_assert(sizeof(BITMAP) == 32);
static_assert(offsetof(BITMAP, bmWidth) == 4 && offsetof(BITMAP, bmHeight) == 8 &&
              offsetof(BITMAP, bmWidthBytes) == 12 && offsetof(BITMAP, bmPlanes) == 16 &&
              offsetof(BITMAP, bmBitsPixel) == 18 && offsetof(BITMAP, bmBits) == 24);

extern "C" {
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
BOOL WINAPI FreeResource(HGLOBAL hResData);
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
HBITMAP WINAPI LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName);
int WINAPI GetObjectA(HGDIOBJ h, int c, LPVOID pv);
BOOL WINAPI DeleteObject(HGDIOBJ ho);
}

#endif  // _WIN32
