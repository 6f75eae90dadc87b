// COM: IUnknown and IClassFactory, the results and flags of the COM runtime,
// the runtime's entry points, and GUIDs in their registry text form.
//
// On Windows this defers to the SDK. On Linux the interfaces are abstract
// classes whose virtual tables have the Windows slot order (QueryInterface,
// AddRef, Release, then the interface's own methods in declaration order).
#pragma once

#include <cstddef>

#include "platform/base.h"

#ifdef _WIN32

#include <objbase.h>
#include <unknwn.h>

#else

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef CLSID* LPCLSID;
typedef IID* LPIID;

#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define STDAPI extern "C" HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" type STDAPICALLTYPE

// No virtual destructor: an object's lifetime ends through Release, and a
// destructor would add slots the Windows vtable does not have.
struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** ppvObject) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) PURE;
  STDMETHOD(LockServer)(BOOL fLock) PURE;

 protected:
  ~IClassFactory() = default;
};
typedef IClassFactory* LPCLASSFACTORY;

#define ORA_VALUE(name, type, value) inline constexpr type name = static_cast<type>(value);
#include "platform/values/com.def"
#undef ORA_VALUE

#define ORA_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include "platform/values/com_guids.def"
#undef ORA_GUID

extern "C" {
// The COM runtime of the simulated PC: in-process servers found through
// HKEY_CLASSES_ROOT\CLSID and loaded with the dynamic loader.
HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
HRESULT STDAPICALLTYPE CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void STDAPICALLTYPE CoUninitialize();
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                        LPVOID* ppv);
HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                                        LPVOID* ppv);
void STDAPICALLTYPE CoFreeUnusedLibraries();
LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb);
void STDAPICALLTYPE CoTaskMemFree(LPVOID pv);

// Writes "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminator; returns
// the characters written including the terminator (39), or 0 when cchMax is
// too small (the buffer is then untouched).
int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// Reads the braced form, hex digits of either case. A null string gives
// GUID_NULL and NOERROR; malformed text gives CO_E_CLASSSTRING.
HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
// As CLSIDFromString, but text of the wrong length or without braces gives
// E_INVALIDARG and a malformed braced form CO_E_IIDSTRING.
HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
}

#endif  // _WIN32

// Characters of a GUID's registry text form, with the terminator.
inline constexpr int ORA_GUID_STRING_CHARS = 39;

namespace ora::guid_text {

// The text form of a GUID in any character type; false when size is too small.
template <typename Char>
constexpr bool Format(const GUID& guid, Char* text, size_t size) {
  if (text == nullptr || size < static_cast<size_t>(ORA_GUID_STRING_CHARS)) return false;
  constexpr char kDigits[] = "0123456789ABCDEF";
  size_t at = 0;
  auto hex = [&](unsigned long long value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
      text[at++] = static_cast<Char>(kDigits[(value >> shift) & 0xF]);
  };
  text[at++] = static_cast<Char>('{');
  hex(guid.Data1, 8);
  text[at++] = static_cast<Char>('-');
  hex(guid.Data2, 4);
  text[at++] = static_cast<Char>('-');
  hex(guid.Data3, 4);
  text[at++] = static_cast<Char>('-');
  hex(guid.Data4[0], 2);
  hex(guid.Data4[1], 2);
  text[at++] = static_cast<Char>('-');
  for (int i = 2; i < 8; ++i) hex(guid.Data4[i], 2);
  text[at++] = static_cast<Char>('}');
  text[at] = static_cast<Char>(0);
  return true;
}

enum class ParseResult { kOk, kBadShape, kBadText };

// Reads exactly the braced 38-character form followed by the end of the string.
// kBadShape: not 38 characters or not in braces; kBadText: a bad digit or dash.
template <typename Char>
constexpr ParseResult Parse(const Char* text, GUID* guid) {
  size_t length = 0;
  while (length <= 38 && text[length] != 0) ++length;
  if (length != 38 || text[0] != static_cast<Char>('{') || text[37] != static_cast<Char>('}'))
    return ParseResult::kBadShape;
  size_t at = 1;
  bool ok = true;
  auto hex = [&](int digits) {
    unsigned long long value = 0;
    for (int i = 0; i < digits; ++i) {
      const Char c = text[at++];
      unsigned digit = 0;
      if (c >= static_cast<Char>('0') && c <= static_cast<Char>('9'))
        digit = static_cast<unsigned>(c - static_cast<Char>('0'));
      else if (c >= static_cast<Char>('A') && c <= static_cast<Char>('F'))
        digit = static_cast<unsigned>(c - static_cast<Char>('A')) + 10;
      else if (c >= static_cast<Char>('a') && c <= static_cast<Char>('f'))
        digit = static_cast<unsigned>(c - static_cast<Char>('a')) + 10;
      else
        ok = false;
      value = (value << 4) | digit;
    }
    return value;
  };
  auto dash = [&] { ok = ok && text[at++] == static_cast<Char>('-'); };
  GUID result{};
  result.Data1 = static_cast<decltype(result.Data1)>(hex(8));
  dash();
  result.Data2 = static_cast<decltype(result.Data2)>(hex(4));
  dash();
  result.Data3 = static_cast<decltype(result.Data3)>(hex(4));
  dash();
  result.Data4[0] = static_cast<unsigned char>(hex(2));
  result.Data4[1] = static_cast<unsigned char>(hex(2));
  dash();
  for (int i = 2; i < 8; ++i) result.Data4[i] = static_cast<unsigned char>(hex(2));
  if (!ok) return ParseResult::kBadText;
  *guid = result;
  return ParseResult::kOk;
}

}  // namespace ora::guid_text

// ANSI counterparts for registry values written with the ANSI registry calls.
// Same contract as StringFromGUID2: characters with terminator, or 0.
inline int OraStringFromGuidA(REFGUID guid, LPSTR text, int cchMax) {
  if (cchMax < 0 || !ora::guid_text::Format(guid, text, static_cast<size_t>(cchMax))) return 0;
  return ORA_GUID_STRING_CHARS;
}
// S_OK, E_INVALIDARG for a null argument, CO_E_CLASSSTRING for malformed text
// (the GUID is then set to GUID_NULL).
inline HRESULT OraGuidFromStringA(LPCSTR text, GUID* guid) {
  if (text == nullptr || guid == nullptr) return E_INVALIDARG;
  if (ora::guid_text::Parse(text, guid) == ora::guid_text::ParseResult::kOk) return S_OK;
  *guid = GUID{};
  return CO_E_CLASSSTRING;
}
