#include "asio/settings.h"

#include <cstring>

namespace {
// KEY_READ / KEY_WRITE combined with the 64-bit and the 32-bit registry view.
constexpr REGSAM kRead64 = 0x20119;
constexpr REGSAM kRead32 = 0x20219;
constexpr REGSAM kWrite64 = 0x20106;
constexpr REGSAM kWrite32 = 0x20206;
}  // namespace

CAsioSettings::CAsioSettings() : m_pszPath("Software\\Calvex Tech\\OraAsio\\"), m_hRoot(HKEY_CURRENT_USER) {}

HRESULT CAsioSettings::ReadValue(const char* pszName, void* pvData, DWORD cbData) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExA(m_hRoot, m_pszPath, 0, kRead64, &hKey) != ERROR_SUCCESS &&
      RegOpenKeyExA(m_hRoot, m_pszPath, 0, kRead32, &hKey) != ERROR_SUCCESS)
    return E_FAIL;
  // Read into a scratch copy so that a failed or short read leaves the
  // caller's value as it was.
  BYTE buffer[8] = {};
  DWORD dwType = 0;
  DWORD cb = cbData;
  const LSTATUS status = RegQueryValueExA(hKey, pszName, nullptr, &dwType, buffer, &cb);
  RegCloseKey(hKey);
  if (status != ERROR_SUCCESS || cb != cbData) return E_FAIL;
  std::memcpy(pvData, buffer, cbData);
  return S_OK;
}

HRESULT CAsioSettings::WriteValue(const char* pszName, DWORD dwType, const void* pvData, DWORD cbData) {
  HRESULT hr = E_FAIL;
  HKEY hKey = nullptr;
  if (RegCreateKeyExA(m_hRoot, m_pszPath, 0, nullptr, 0, kWrite64, nullptr, &hKey, nullptr) == ERROR_SUCCESS) {
    if (RegSetValueExA(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pvData), cbData) == ERROR_SUCCESS) hr = S_OK;
    RegCloseKey(hKey);
  }
  hKey = nullptr;
  if (RegCreateKeyExA(m_hRoot, m_pszPath, 0, nullptr, 0, kWrite32, nullptr, &hKey, nullptr) != ERROR_SUCCESS) return hr;
  const LSTATUS status = RegSetValueExA(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pvData), cbData);
  RegCloseKey(hKey);
  return status == ERROR_SUCCESS ? S_OK : hr;
}

HRESULT CAsioSettings::ReadDword(const char* pszName, DWORD* pdwValue) {
  return ReadValue(pszName, pdwValue, sizeof(DWORD));
}

HRESULT CAsioSettings::WriteDword(const char* pszName, DWORD dwValue) {
  return WriteValue(pszName, REG_DWORD, &dwValue, sizeof(dwValue));
}

HRESULT CAsioSettings::ReadSampleRate(double* pRate) { return ReadValue("SampleRate", pRate, sizeof(double)); }

HRESULT CAsioSettings::WriteSampleRate(double rate) { return WriteValue("SampleRate", REG_QWORD, &rate, sizeof(rate)); }
