// Hand-made device answers for the KS client tests.
#pragma once

#include <cstring>
#include <vector>

#include "platform/ks.h"

class Bytes {
 public:
  template <typename T>
  Bytes& Put(const T& value) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&value);
    data_.insert(data_.end(), p, p + sizeof(T));
    return *this;
  }
  Bytes& Zeros(size_t n) {
    data_.insert(data_.end(), n, 0);
    return *this;
  }
  template <typename T>
  void PatchAt(size_t offset, const T& value) {
    std::memcpy(data_.data() + offset, &value, sizeof(T));
  }
  const BYTE* data() const { return data_.data(); }
  ULONG size() const { return static_cast<ULONG>(data_.size()); }
  std::vector<BYTE>& vec() { return data_; }

 private:
  std::vector<BYTE> data_;
};

inline KSDATARANGE_AUDIO AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                                    const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM,
                                    const GUID& major = KSDATAFORMAT_TYPE_AUDIO,
                                    const GUID& specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) {
  KSDATARANGE_AUDIO r{};
  r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  r.DataRange.MajorFormat = major;
  r.DataRange.SubFormat = sub;
  r.DataRange.Specifier = specifier;
  r.MaximumChannels = maxChannels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

// A KSMULTIPLE_ITEM answer: header with the true Size, then the items.
template <typename T>
Bytes MultipleItem(const std::vector<T>& items) {
  Bytes b;
  b.Put(KSMULTIPLE_ITEM{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T)),
                        static_cast<ULONG>(items.size())});
  for (const T& item : items) b.Put(item);
  return b;
}
