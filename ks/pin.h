// KS pins: a pin's properties, its instance, and for audio stream pins the
// data ranges, the creation block with the wave format, and the WaveRT buffer.
#pragma once

#include "ks/irp_target.h"
#include "ks/ks_list.h"
#include "ks/ks_parse.h"

class CKsFilter;

// Bytes of the zero-filled pin-name field, and how many of them are read.
inline constexpr ULONG KS_PIN_NAME_FIELD = 260;
#if ORA_KS_DSD
inline constexpr ULONG KS_PIN_NAME_READ = 259;
#else
inline constexpr ULONG KS_PIN_NAME_READ = 258;
#endif

// KsCreatePin of ksuser.dll, looked up at run time.
typedef DWORD(WINAPI* KsCreatePinFunction)(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                                           PHANDLE ConnectionHandle);

class CKsPin : public CKsIrpTarget {
 public:
  // Reads the pin's properties; *phr is 0 when all were read, 1 when some were not.
  CKsPin(CKsFilter* pFilter, ULONG nPinId, HRESULT* phr);
  virtual ~CKsPin();
  virtual HRESULT Instantiate(BOOL fLooped);
  virtual HRESULT SetState(KSSTATE state);

  // Stops and closes the instance; E_FAIL without one.
  HRESULT ClosePin();

  ULONG GetPinId() const { return m_nPinId; }
  ULONG GetDataFlow() const { return m_ulDataFlow; }
  ULONG GetCommunication() const { return m_ulCommunication; }
  const BYTE* GetPinCreate() const { return m_pksPinCreate; }
  ULONG GetPinCreateSize() const { return m_cbPinCreate; }
  const WCHAR* GetPinName() const { return m_szPinName; }

 protected:
  HRESULT ReadPinProperties();

  BYTE* m_pksPinCreate = nullptr;
  ULONG m_cbPinCreate = 0;
  ULONG m_nPinId;
  CKsFilter* m_pFilter;
  KsItemView m_interfaces{0, nullptr, 0};
  KsItemView m_mediums{0, nullptr, 0};
  KsItemView m_dataRanges{0, nullptr, 0};
  ULONG m_ulDataFlow = 0;
  ULONG m_ulCommunication = 0;
  void* m_pvDataRangesAnswer = nullptr;
  ULONG m_cbDataRangesAnswer = 0;
  void* m_pvMediumsAnswer = nullptr;
  void* m_pvInterfacesAnswer = nullptr;
  KSPIN_CINSTANCES m_cInstances{0, 0};
  KSPIN_CINSTANCES m_cGlobalInstances{0, 0};
  GUID m_guidCategory{};
  WCHAR m_szPinName[KS_PIN_NAME_FIELD / sizeof(WCHAR)] = {};
};

class CKsWavePin : public CKsPin {
 public:
  // *phr is negative when the pin cannot stream audio.
  CKsWavePin(CKsFilter* pFilter, ULONG nPinId, HRESULT* phr);
  ~CKsWavePin() override;

  // Puts the wave format into the creation block, growing or shrinking it.
  HRESULT SetFormat(const WAVEFORMATEX* pwfx);
  BOOL IsFormatSupported(const WAVEFORMATEX* pwfx) const;
  BOOL IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) const;
  // The largest channel count of the PCM ranges, at most KS_MAX_STREAM_CHANNELS.
  ULONG GetMaxChannels() const;
  // MaximumChannels of the first range that passes the header and PCM tests
  // (at most KS_MAX_STREAM_CHANNELS), 0 without one.
  ULONG GetFirstRangeMaxChannels() const;
  // Some range that passes the header and PCM tests holds the rate.
  BOOL IsRateSupported(DWORD nSamplesPerSec) const;

  // A cyclic buffer of the pin instance with two notifications per pass.
  HRESULT AllocateRtBuffer(PVOID* ppBuffer, ULONG cbRequested, ULONG* pcbActual);

  const CKsList<KSDATARANGE_AUDIO>& GetDataRanges() const { return m_listDataRanges; }
  const KSDATAFORMAT* GetDataFormat() const { return m_pksDataFormatWfx; }

 private:
  HRESULT ScanDataRanges();

  CKsList<KSDATARANGE_AUDIO> m_listDataRanges{true};
  KSDATAFORMAT* m_pksDataFormatWfx = nullptr;
};
