// TEMPORARY: stands in for "platform/com.h" until the seam's COM header is on
// main; once it is, this header defers to it and should then be removed in
// favour of including "platform/com.h" directly.
#pragma once

#if __has_include("platform/com.h")

#include "platform/com.h"

#elif defined(_WIN32)

#include <unknwn.h>

#include "platform/base.h"

#else

#include "platform/base.h"

// IUnknown in the Windows virtual-table order: QueryInterface, AddRef, Release.
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

#endif
