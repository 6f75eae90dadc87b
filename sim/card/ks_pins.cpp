// Pin creation and pin states of the function driver.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "sim/card/card.h"
#include "sim/card/function_driver.h"

namespace sim::card::ksdriver {

namespace {

std::atomic<uint64_t> g_serial{0};

bool IsWildcard(const GUID& g) { return SameGuid(g, GUID{}); }

bool Matches(const std::string& range_name, const GUID& value) {
  GUID range;
  if (!GuidOfName(range_name, &range)) return false;
  return IsWildcard(range) || SameGuid(range, value);
}

bool InterfaceOffered(const PinProfile& pin, const KSPIN_INTERFACE& i) {
  if (!SameGuid(i.Set, KSINTERFACESETID_Standard)) return false;
  for (uint32_t id : pin.interfaces)
    if (id == i.Id) return true;
  return false;
}

bool MediumOffered(const PinProfile& pin, const KSPIN_MEDIUM& m) {
  if (!SameGuid(m.Set, KSMEDIUMSETID_Standard)) return false;
  for (uint32_t id : pin.mediums)
    if (id == m.Id) return true;
  return false;
}

const PinStateFault* StateFault(const PinInstance& pin, KSSTATE state) {
  const Card* card = Card::Current();
  if (!card) return nullptr;
  for (const PinStateFault& f : card->profile().faults.pinStates) {
    if (f.state != static_cast<uint32_t>(state)) continue;
    if (f.pin && *f.pin != pin.pinId) continue;
    if (f.filter.size() != pin.reference.size() ||
        !std::equal(f.filter.begin(), f.filter.end(), pin.reference.begin(),
                    [](char a, char b) { return std::toupper(a) == std::toupper(b); }))
      continue;
    return &f;
  }
  return nullptr;
}

}  // namespace

PinInstance::~PinInstance() { delete[] buffer; }

NTSTATUS CheckFormat(const PinProfile& pin, const uint8_t* block, size_t bytes, StreamFormat* out) {
  if (bytes < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT format;
  std::memcpy(&format, block, sizeof(format));
  if (format.FormatSize < sizeof(KSDATAFORMAT) || format.FormatSize > bytes) return STATUS_INVALID_PARAMETER;
  if (!SameGuid(format.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !SameGuid(format.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    return STATUS_NO_MATCH;
  if (format.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return STATUS_INVALID_PARAMETER;
  WAVEFORMATEXTENSIBLE wfx{};
  std::memcpy(&wfx.Format, block + sizeof(KSDATAFORMAT), sizeof(WAVEFORMATEX));
  GUID sub = format.SubFormat;
  uint32_t valid = wfx.Format.wBitsPerSample;
  if (wfx.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (wfx.Format.cbSize < 22 || format.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE))
      return STATUS_INVALID_PARAMETER;
    std::memcpy(&wfx, block + sizeof(KSDATAFORMAT), sizeof(WAVEFORMATEXTENSIBLE));
    if (!SameGuid(wfx.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return STATUS_NO_MATCH;
    valid = wfx.Samples.wValidBitsPerSample;
  } else if (wfx.Format.wFormatTag != WAVE_FORMAT_PCM) {
    return STATUS_NO_MATCH;
  }
  const uint32_t container = wfx.Format.wBitsPerSample;
  const uint32_t channels = wfx.Format.nChannels;
  if ((container != 16 && container != 24 && container != 32) || valid == 0 || valid > container || channels == 0)
    return STATUS_INVALID_PARAMETER;
  if (wfx.Format.nBlockAlign != channels * container / 8 ||
      wfx.Format.nAvgBytesPerSec != wfx.Format.nBlockAlign * wfx.Format.nSamplesPerSec)
    return STATUS_INVALID_PARAMETER;
  for (const DataRangeProfile& r : pin.ranges) {
    if (!Matches(r.majorFormat, format.MajorFormat) || !Matches(r.subFormat, sub) ||
        !Matches(r.specifier, format.Specifier))
      continue;
    if (channels > r.maxChannels || valid < r.minBits || valid > r.maxBits) continue;
    if (wfx.Format.nSamplesPerSec < r.minRate || wfx.Format.nSamplesPerSec > r.maxRate) continue;
    if (out) *out = {channels, wfx.Format.nSamplesPerSec, container, valid};
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS CreatePin(FunctionDevice& device, const std::shared_ptr<FilterInstance>& filter, const uint8_t* block,
                   size_t bytes, std::shared_ptr<PinInstance>* out) {
  if (bytes < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
  KSPIN_CONNECT connect;
  std::memcpy(&connect, block, sizeof(connect));
  const FilterDescription& d = filter->description;
  if (connect.PinId >= d.filter->pins.size()) return STATUS_INVALID_PARAMETER;
  const PinProfile& pin = d.filter->pins[connect.PinId];
  if (d.topology || (pin.communication != Communication::Sink && pin.communication != Communication::Both))
    return STATUS_INVALID_DEVICE_REQUEST;
  if (!InterfaceOffered(pin, connect.Interface) || !MediumOffered(pin, connect.Medium)) return STATUS_NO_MATCH;
  StreamFormat format;
  const uint8_t* data = block + sizeof(KSPIN_CONNECT);
  const size_t data_bytes = bytes - sizeof(KSPIN_CONNECT);
  NTSTATUS status = CheckFormat(pin, data, data_bytes, &format);
  if (!NT_SUCCESS(status)) return status;
  KSDATAFORMAT head;
  std::memcpy(&head, data, sizeof(head));
  {
    std::lock_guard lock(device.mutex);
    uint32_t global = 0;
    for (const FunctionDevice::OpenPin& p : device.openPins)
      if (p.reference == d.reference && p.pinId == connect.PinId) ++global;
    if (filter->openPins[connect.PinId] >= pin.possibleInstances || global >= pin.globalPossibleInstances)
      return STATUS_INSUFFICIENT_RESOURCES;
    ++filter->openPins[connect.PinId];
    device.openPins.push_back({d.reference, connect.PinId});
  }
  auto instance = std::make_shared<PinInstance>();
  instance->serial = ++g_serial;
  instance->reference = d.reference;
  instance->pinId = connect.PinId;
  instance->render = d.wave->flow == FilterFlow::Render;
  instance->format = format;
  instance->formatBlock.assign(data, data + head.FormatSize);
  instance->wave = d.wave;
  PinStatistics::Get().Restart(instance->reference, instance->pinId);
  *out = std::move(instance);
  return STATUS_SUCCESS;
}

void ClosePin(FunctionDevice& device, FileContext& context) {
  PinInstance& pin = *context.pin;
  {
    std::lock_guard lock(pin.mutex);
    if (pin.state == KSSTATE_RUN) EngineStop(pin);
    pin.state = KSSTATE_STOP;
    pin.events.clear();
    pin.eventHandles.clear();
  }
  EngineForget(pin);
  std::lock_guard lock(device.mutex);
  --context.filter->openPins[pin.pinId];
  for (auto it = device.openPins.begin(); it != device.openPins.end(); ++it)
    if (it->reference == pin.reference && it->pinId == pin.pinId) {
      device.openPins.erase(it);
      break;
    }
}

NTSTATUS SetPinState(const std::shared_ptr<PinInstance>& shared, KSSTATE target) {
  PinInstance& pin = *shared;
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  // A jump is walked through the states between, as kernel streaming does.
  while (pin.state != target) {
    const KSSTATE next = static_cast<KSSTATE>(pin.state + (target > pin.state ? 1 : -1));
    if (const PinStateFault* fault = StateFault(pin, next)) return static_cast<NTSTATUS>(fault->status);
    if (next == KSSTATE_RUN && !pin.buffer) return STATUS_INVALID_DEVICE_STATE;
    if (pin.state == KSSTATE_RUN) EngineStop(pin);
    pin.state = next;
    if (next == KSSTATE_RUN) EngineStart(shared);
    if (next == KSSTATE_STOP) {
      // Stopping rewinds the DMA position.
      pin.done = 0;
      pin.positionRegister = 0;
      pin.loopbackBaseSet = false;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace sim::card::ksdriver
