// The test COM server's class and interface.
#pragma once

#include "platform/com.h"

// {6A2F0C51-93D4-4E1B-8B7A-2C5D9E31F480}
inline constexpr CLSID CLSID_TestCounter = {
    0x6A2F0C51, 0x93D4, 0x4E1B, {0x8B, 0x7A, 0x2C, 0x5D, 0x9E, 0x31, 0xF4, 0x80}};
// {0B7E4D92-5A13-4C68-9F20-D81E6B3A57C4}
inline constexpr IID IID_ITestCounter = {0x0B7E4D92, 0x5A13, 0x4C68, {0x9F, 0x20, 0xD8, 0x1E, 0x6B, 0x3A, 0x57, 0xC4}};

struct ITestCounter : IUnknown {
  STDMETHOD_(LONG, Next)() PURE;

 protected:
  ~ITestCounter() = default;
};
