// The driver's per-user settings: "Latency", "BitDepth" and "SampleRate"
// under HKEY_CURRENT_USER\Software\Calvex Tech\OraAsio\. A new object is made
// for each use; it keeps no key open between calls.
#pragma once

#include "platform/win32.h"

class CAsioSettings {
 public:
  CAsioSettings();
  virtual ~CAsioSettings() = default;

  HRESULT ReadDword(const char* pszName, DWORD* pdwValue);
  HRESULT WriteDword(const char* pszName, DWORD dwValue);
  HRESULT ReadSampleRate(double* pRate);
  HRESULT WriteSampleRate(double rate);

 private:
  HRESULT ReadValue(const char* pszName, void* pvData, DWORD cbData);
  HRESULT WriteValue(const char* pszName, DWORD dwType, const void* pvData, DWORD cbData);

  const char* m_pszPath;
  HKEY m_hRoot;
};
