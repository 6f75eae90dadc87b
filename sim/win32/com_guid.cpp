// GUIDs in their registry text form: StringFromGUID2, CLSIDFromString, IIDFromString.
#include "platform/com.h"

using ora::guid_text::ParseResult;

extern "C" int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
  if (cchMax < 0 || !ora::guid_text::Format(rguid, lpsz, static_cast<size_t>(cchMax))) return 0;
  return ORA_GUID_STRING_CHARS;
}

// A failed parse leaves GUID_NULL rather than a half-written GUID.
extern "C" HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
  if (pclsid == nullptr) return E_INVALIDARG;
  *pclsid = GUID_NULL;
  if (lpsz == nullptr) return NOERROR;
  // Windows would look a text without braces up as a ProgID; no ProgIDs are
  // registered on this machine, so such text is just not a class string.
  return ora::guid_text::Parse(lpsz, pclsid) == ParseResult::kOk ? NOERROR : CO_E_CLASSSTRING;
}

extern "C" HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
  if (lpiid == nullptr) return E_INVALIDARG;
  *lpiid = GUID_NULL;
  if (lpsz == nullptr) return S_OK;
  switch (ora::guid_text::Parse(lpsz, lpiid)) {
    case ParseResult::kOk:
      return S_OK;
    case ParseResult::kBadShape:
      return E_INVALIDARG;
    case ParseResult::kBadText:
      break;
  }
  return CO_E_IIDSTRING;
}
