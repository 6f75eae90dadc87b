// KS filters found through the device-interface lists, their pins sorted by
// communication and data flow, and for the PCM driver their topology, the
// selected stream pin and the jack behind it.
//
// Built twice: ORA_KS_DSD=1 gives the DSD driver's simpler filters (one per
// interface, no topology, no pin selection, no jack tests).
#pragma once

#include "ks/irp_target.h"
#include "ks/ks_list.h"
#include "ks/pin.h"

#ifndef ORA_KS_DSD
#define ORA_KS_DSD 0
#endif

enum : ULONG { KS_FILTER_PLAIN = 0, KS_FILTER_RENDER = 1, KS_FILTER_CAPTURE = 2 };

// A topology node as kept: its position in the answer, the tag "NONE" and its type.
struct KsTopologyNode {
  ULONG ulId;
  char szTag[4];
  GUID guidType;
};
static_assert(sizeof(KsTopologyNode) == 24);
static_assert(offsetof(KsTopologyNode, ulId) == 0 && offsetof(KsTopologyNode, szTag) == 4 &&
              offsetof(KsTopologyNode, guidType) == 8);

#if !ORA_KS_DSD
// The selected stream pin: a 0-based position in the render (capture) pin
// list when fSelectByIndex is 1, a pin id when it is 0.
struct KsPinSelection {
  LONG nIndex;
  ULONG fSelectByIndex;
};
static_assert(sizeof(KsPinSelection) == 8);

// How many filters a chain of physical connections may open beyond the first.
inline constexpr ULONG KS_MAX_CONNECTED_FILTERS = 8;
#endif

class CKsFilter : public CKsIrpTarget {
 public:
  CKsFilter(const char* pszDevicePath, HRESULT* phr);
  virtual ~CKsFilter();

#if !ORA_KS_DSD
  virtual HRESULT Instantiate();
  virtual HRESULT EnumeratePins();
  virtual HRESULT GetTopologyConnections();
  virtual HRESULT GetTopologyNodes();
  virtual HRESULT SelectPin(KsPinSelection selection);
  virtual HRESULT FollowPhysicalConnection();
  virtual BOOL IsSpeakerOut();
  virtual BOOL IsHeadphoneOut();
  virtual BOOL IsSpdifOut();
  virtual BOOL IsMicrophoneIn();
  virtual BOOL IsLineIn();
  virtual BOOL IsAnalogIn();
  virtual BOOL IsSpdifIn();
  virtual BOOL IsDigitalIn();
  virtual HRESULT ClearLists();
#else
  virtual HRESULT Instantiate();
  virtual HRESULT GetTopologyNodes();
  virtual HRESULT EnumeratePins();
  virtual HRESULT ClearLists();
#endif

  HRESULT ClassifyPins();
  // KSP_PIN GET of a fixed-size KSPROPSETID_Pin property on the filter.
  HRESULT GetPinProperty(ULONG nPinId, ULONG ulId, void* pvOut, ULONG cbOut);
  // KSP_PIN GET of a variable-size property: a size query, then a
  // zero-filled buffer that the caller frees with std::free (also when the
  // second request fails). pcbBuffer receives the allocated size.
  HRESULT GetPinPropertyAlloc(ULONG nPinId, ULONG ulId, void** ppvBuffer, ULONG* pcbBuffer = nullptr);
  ULONG GetVendorId() const;
  ULONG GetDeviceId() const;

  ULONG GetFilterType() const { return m_nFilterType; }
  const char* GetDevicePath() const { return m_szDevicePath; }
  const CKsList<CKsPin>& GetPins() const { return m_listPins; }
  const CKsList<CKsPin>& GetRenderPins() const { return m_listRenderPins; }
  const CKsList<CKsPin>& GetCapturePins() const { return m_listCapturePins; }
  const CKsList<CKsPin>& GetRenderSourcePins() const { return m_listRenderSourcePins; }
  const CKsList<CKsPin>& GetCaptureSourcePins() const { return m_listCaptureSourcePins; }
  const CKsList<CKsPin>& GetNoCommPins() const { return m_listNoCommPins; }
  const CKsList<KsTopologyNode>& GetNodes() const { return m_listNodes; }
#if !ORA_KS_DSD
  const CKsList<KSTOPOLOGY_CONNECTION>& GetConnections() const { return m_listConnections; }
  LONG GetBridgePin() const { return m_nBridgePin; }
  LONG GetConnectedPin() const { return m_nConnectedPin; }
  const char* GetConnectedLink() const { return m_pszConnectedLink; }
  CKsFilter* GetConnectedFilter() const { return m_pConnectedFilter; }
#endif

 protected:
#if !ORA_KS_DSD
  HRESULT GetPhysicalConnection();
  // True when the link names this filter or one of those whose connections led to it.
  bool LinkRepeatsChain(const char* pszLink) const;
#endif

  CKsList<CKsPin> m_listPins{true};
#if !ORA_KS_DSD
  CKsList<KSTOPOLOGY_CONNECTION> m_listConnections{true};
#endif
  CKsList<KsTopologyNode> m_listNodes{true};
  CKsList<CKsPin> m_listRenderPins{false};
  CKsList<CKsPin> m_listCaptureSourcePins{false};
  CKsList<CKsPin> m_listCapturePins{false};
  CKsList<CKsPin> m_listRenderSourcePins{false};
  CKsList<CKsPin> m_listNoCommPins{false};
  ULONG m_nFilterType = KS_FILTER_PLAIN;
#if !ORA_KS_DSD
  LONG m_nSelectedIndex = -1;
  ULONG m_fSelectByIndex = 0;
  LONG m_nBridgePin = -1;
  LONG m_nConnectedPin = -1;
  char* m_pszConnectedLink = nullptr;
  CKsFilter* m_pConnectedFilter = nullptr;
  // The filter whose physical connection opened this one, and how deep.
  const CKsFilter* m_pChainParent = nullptr;
  ULONG m_ulChainDepth = 0;
#endif
  char m_szDevicePath[MAX_PATH] = {};
};

// Audio filters: pins of communication sink, source or both, each a CKsWavePin.
class CKsWaveFilter : public CKsFilter {
 public:
  HRESULT EnumeratePins() override;
#if !ORA_KS_DSD
  BOOL IsSpeakerOut() override;
  BOOL IsHeadphoneOut() override;
  BOOL IsSpdifOut() override;
  BOOL IsMicrophoneIn() override;
  BOOL IsLineIn() override;
  BOOL IsAnalogIn() override;
  BOOL IsSpdifIn() override;
  BOOL IsDigitalIn() override;

  virtual CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) = 0;
  virtual ULONG GetMaxChannels() = 0;
  virtual BOOL IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) = 0;
  virtual LONG GetSelectedPinId() = 0;
#else
  virtual CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) = 0;
  virtual ULONG GetMaxChannels() = 0;
  virtual BOOL IsRateSupported(DWORD nSamplesPerSec) = 0;
#endif

  // Closes the pin that the last CreatePin chose and forgets it.
  HRESULT ReleaseCurrentPin();
  CKsWavePin* GetCurrentPin() const { return m_pCurrentPin; }

 protected:
  CKsWaveFilter(const char* pszDevicePath, HRESULT* phr) : CKsFilter(pszDevicePath, phr) {}

  const CKsList<CKsPin>& StreamPins() const {
    return m_nFilterType == KS_FILTER_CAPTURE ? m_listCapturePins : m_listRenderPins;
  }
  CKsWavePin* CreateStreamPin(const WAVEFORMATEX* pwfx, BOOL fLooped);
  ULONG StreamMaxChannels();
#if !ORA_KS_DSD
  CKsWavePin* SelectedPin() const;
  LONG SelectedPinId() const;
  BOOL TestJack(ULONG ulDataFlow, const GUID& category, BOOL (CKsFilter::*pfnSame)());
  HRESULT FollowInto(CKsFilter* pConnected);
#endif

  CKsWavePin* m_pCurrentPin = nullptr;
};

class CKsWaveRenderFilter : public CKsWaveFilter {
 public:
  CKsWaveRenderFilter(const char* pszDevicePath, HRESULT* phr);
#if !ORA_KS_DSD
  HRESULT SelectPin(KsPinSelection selection) override;
  HRESULT FollowPhysicalConnection() override;
  CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) override;
  ULONG GetMaxChannels() override;
  BOOL IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) override;
  LONG GetSelectedPinId() override;
  LONG FindBridgePinDownstream(ULONG ulNode, ULONG ulPin);
#else
  CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) override;
  ULONG GetMaxChannels() override;
  BOOL IsRateSupported(DWORD nSamplesPerSec) override;
#endif
};

class CKsWaveCaptureFilter : public CKsWaveFilter {
 public:
  CKsWaveCaptureFilter(const char* pszDevicePath, HRESULT* phr);
#if !ORA_KS_DSD
  HRESULT SelectPin(KsPinSelection selection) override;
  HRESULT FollowPhysicalConnection() override;
  CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) override;
  ULONG GetMaxChannels() override;
  BOOL IsFormatInRange(const WAVEFORMATEXTENSIBLE* pwfx) override;
  LONG GetSelectedPinId() override;
  LONG FindBridgePinUpstream(ULONG ulNode, ULONG ulPin);
  ULONG IsLineInput() const { return m_fLineIn; }

 private:
  ULONG m_fLineIn = 0;
#else
  CKsWavePin* CreatePin(const WAVEFORMATEX* pwfx, BOOL fLooped) override;
  ULONG GetMaxChannels() override;
  BOOL IsRateSupported(DWORD nSamplesPerSec) override;
#endif
};

// The filters of one kind that the device-interface lists offer; owns them.
class CKsFilterList {
 public:
  CKsFilterList() = default;
  virtual ~CKsFilterList();
  virtual HRESULT Clear();

  // Kind KS_FILTER_PLAIN, _RENDER or _CAPTURE; the first class is enumerated,
  // the others are aliases each interface must also have, active.
  HRESULT EnumerateDevices(ULONG ulKind, const GUID* pClasses, ULONG ulClasses);

  const CKsList<CKsFilter>& GetFilters() const { return m_listFilters; }

 private:
  CKsList<CKsFilter> m_listFilters{true};
};
