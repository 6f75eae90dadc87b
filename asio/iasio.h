// The ASIO driver interface as hosts call it: IUnknown followed by 21 methods
// in a fixed virtual-table order. Hosts reach the methods by slot, so neither
// the order nor the signatures may change.
#pragma once

#include "asio/asio_types.h"
#include "platform/com.h"

// {9D41F6A2-3C85-4B17-A0E9-6E2B7C54D813}
inline constexpr IID IID_IAsio = {0x9D41F6A2, 0x3C85, 0x4B17, {0xA0, 0xE9, 0x6E, 0x2B, 0x7C, 0x54, 0xD8, 0x13}};

struct IAsio : public IUnknown {
  virtual ASIOBool STDMETHODCALLTYPE Init(void* pWndMain) = 0;
  virtual void STDMETHODCALLTYPE GetDriverName(char* szDriverName) = 0;  // 32 bytes
  virtual LONG STDMETHODCALLTYPE GetDriverVersion() = 0;
  virtual void STDMETHODCALLTYPE GetErrorMessage(char* szErrorMessage) = 0;  // 124 bytes
  virtual ASIOError STDMETHODCALLTYPE Start() = 0;
  virtual ASIOError STDMETHODCALLTYPE Stop() = 0;
  virtual ASIOError STDMETHODCALLTYPE GetChannels(LONG* pNumInputChannels, LONG* pNumOutputChannels) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetLatencies(LONG* pInputLatency, LONG* pOutputLatency) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetBufferSize(LONG* pMinSize, LONG* pMaxSize, LONG* pPreferredSize,
                                                    LONG* pGranularity) = 0;
  virtual ASIOError STDMETHODCALLTYPE CanSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetSampleRate(ASIOSampleRate* pCurrSampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE SetSampleRate(ASIOSampleRate sampleRate) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetClockSources(ASIOClockSource* pClocks, LONG* pNumSources) = 0;
  virtual ASIOError STDMETHODCALLTYPE SetClockSource(LONG reference) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetSamplePosition(ASIOSamples* pSamplePosition, ASIOTimeStamp* pTimeStamp) = 0;
  virtual ASIOError STDMETHODCALLTYPE GetChannelInfo(ASIOChannelInfo* pChannelInfo) = 0;
  virtual ASIOError STDMETHODCALLTYPE CreateBuffers(ASIOBufferInfo* pBufferInfos, LONG numChannels, LONG bufferSize,
                                                    ASIOCallbacks* pCallbacks) = 0;
  virtual ASIOError STDMETHODCALLTYPE DisposeBuffers() = 0;
  virtual ASIOError STDMETHODCALLTYPE ControlPanel() = 0;
  virtual ASIOError STDMETHODCALLTYPE Future(LONG selector, void* pParameter) = 0;
  virtual ASIOError STDMETHODCALLTYPE OutputReady() = 0;
};
