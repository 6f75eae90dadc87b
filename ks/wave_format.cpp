#include "ks/wave_format.h"

#include <cstdlib>
#include <cstring>

DWORD KsChannelMask(WORD nChannels) {
  switch (nChannels) {
    case 1:
      return KSAUDIO_SPEAKER_MONO;
    case 2:
      return KSAUDIO_SPEAKER_STEREO;
    case 4:
      return KSAUDIO_SPEAKER_QUAD;
    case 6:
      return KSAUDIO_SPEAKER_5POINT1;
    case 8:
      return KSAUDIO_SPEAKER_7POINT1_SURROUND;
    default:
      return KSAUDIO_SPEAKER_STEREO;
  }
}

WAVEFORMATEXTENSIBLE* MakeWaveFormatExtensible(WAVEFORMATEXTENSIBLE* pwfx, WORD nChannels, DWORD nSamplesPerSec,
                                               WORD wValidBitsPerSample) {
  std::memset(pwfx, 0, sizeof(*pwfx));
  pwfx->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  pwfx->Format.nChannels = nChannels;
  pwfx->Format.nSamplesPerSec = nSamplesPerSec;
  pwfx->Format.wBitsPerSample = wValidBitsPerSample <= 16 ? 16 : 32;
  pwfx->Format.nBlockAlign = static_cast<WORD>(pwfx->Format.wBitsPerSample / 8 * nChannels);
  pwfx->Format.nAvgBytesPerSec = pwfx->Format.nBlockAlign * nSamplesPerSec;
  pwfx->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  pwfx->Samples.wValidBitsPerSample = wValidBitsPerSample;
  pwfx->dwChannelMask = KsChannelMask(nChannels);
  pwfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return pwfx;
}

ULONG KsWaveFormatSize(const WAVEFORMATEX* pwfx) {
  if (pwfx->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
  return sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

void KsInitPinCreate(BYTE* pBlock, ULONG ulPinId) {
  std::memset(pBlock, 0, KS_PIN_CREATE_INITIAL);
  KSPIN_CONNECT connect{};
  connect.Interface.Set = KSINTERFACESETID_Standard;
  connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  connect.Medium.Set = KSMEDIUMSETID_Standard;
  connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  connect.PinId = ulPinId;
  connect.PinToHandle = nullptr;
  connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
  connect.Priority.PrioritySubClass = 1;
  std::memcpy(pBlock, &connect, sizeof(connect));
  KSDATAFORMAT format{};
  format.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
  format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  std::memcpy(pBlock + KS_PIN_CREATE_DATAFORMAT, &format, sizeof(format));
}

HRESULT KsSetPinCreateFormat(BYTE** ppBlock, ULONG* pcbBlock, const WAVEFORMATEX* pwfx) {
  ULONG cbFormat = KsWaveFormatSize(pwfx);
  ULONG cbBlock = KS_PIN_CREATE_WAVEFORMAT + cbFormat;
  if (*pcbBlock != cbBlock) {
    BYTE* pNew = static_cast<BYTE*>(std::malloc(cbBlock));
    if (pNew == nullptr) return E_OUTOFMEMORY;
    std::memcpy(pNew, *ppBlock, *pcbBlock < cbBlock ? *pcbBlock : cbBlock);
    std::free(*ppBlock);
    *ppBlock = pNew;
    *pcbBlock = cbBlock;
    ULONG ulFormatSize = sizeof(KSDATAFORMAT) + cbFormat;
    std::memcpy(pNew + KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, FormatSize), &ulFormatSize,
                sizeof(ulFormatSize));
  }
  std::memcpy(*ppBlock + KS_PIN_CREATE_WAVEFORMAT, pwfx, cbFormat);
  ULONG ulSampleSize = static_cast<WORD>(pwfx->nChannels * pwfx->wBitsPerSample / 8);
  std::memcpy(*ppBlock + KS_PIN_CREATE_DATAFORMAT + offsetof(KSDATAFORMAT, SampleSize), &ulSampleSize,
              sizeof(ulSampleSize));
  return S_OK;
}

bool KsRangeHeaderMatches(const KSDATARANGE_AUDIO& range) {
  const KSDATARANGE& r = range.DataRange;
  return (r.MajorFormat == KSDATAFORMAT_TYPE_WILDCARD || r.MajorFormat == KSDATAFORMAT_TYPE_AUDIO) &&
         (r.Specifier == KSDATAFORMAT_SPECIFIER_WILDCARD || r.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

bool KsRangeIsPcmRange(const KSDATARANGE_AUDIO& range) {
  const GUID& sub = range.DataRange.SubFormat;
  return sub == KSDATAFORMAT_SUBTYPE_WILDCARD || sub == KSDATAFORMAT_SUBTYPE_WAVEFORMATEX ||
         sub == KSDATAFORMAT_SUBTYPE_PCM;
}

bool KsRangeSupportsFormat(const KSDATARANGE_AUDIO& range, const WAVEFORMATEX* pwfx) {
  if (!KsRangeHeaderMatches(range)) return false;
  GUID subFormat = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  ULONG ulBits = pwfx->wBitsPerSample;
  if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (pwfx->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
    const auto* pwfxExt = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx);
    subFormat = pwfxExt->SubFormat;
    ulBits = pwfxExt->Samples.wValidBitsPerSample;
  } else {
    subFormat.Data1 = pwfx->wFormatTag;
  }
  if (!(range.DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_WILDCARD) && !(range.DataRange.SubFormat == subFormat))
    return false;
  return range.MaximumChannels >= pwfx->nChannels && ulBits >= range.MinimumBitsPerSample &&
         ulBits <= range.MaximumBitsPerSample && pwfx->nSamplesPerSec >= range.MinimumSampleFrequency &&
         pwfx->nSamplesPerSec <= range.MaximumSampleFrequency;
}

bool KsRangeContainsFormat(const KSDATARANGE_AUDIO& range, const WAVEFORMATEXTENSIBLE* pwfx) {
  if (!KsRangeHeaderMatches(range) || !KsRangeIsPcmRange(range)) return false;
  ULONG ulBits = pwfx->Samples.wValidBitsPerSample;
  return ulBits >= range.MinimumBitsPerSample && ulBits <= range.MaximumBitsPerSample &&
         KsRangeContainsRate(range, pwfx->Format.nSamplesPerSec);
}

bool KsRangeContainsRate(const KSDATARANGE_AUDIO& range, DWORD nSamplesPerSec) {
  return nSamplesPerSec >= range.MinimumSampleFrequency && nSamplesPerSec <= range.MaximumSampleFrequency;
}
