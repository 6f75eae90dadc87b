// Private to the codec's kernel-streaming function driver: its device, filter
// and pin objects, shared by the files that make up the driver.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks.h"
#include "platform/wdm.h"
#include "sim/card/audio_io.h"
#include "sim/card/profile.h"
#include "sim/core/scheduler.h"
#include "sim/win32/sync_objects.h"

namespace sim::card::ksdriver {

// KS names of the profile as GUIDs; false for a name the driver does not know.
bool GuidOfName(std::string_view name, GUID* guid);
bool SameGuid(const GUID& a, const GUID& b);

struct FunctionDevice;
struct PinInstance;

// One filter of the profile: a wave filter or its topology filter.
struct FilterDescription {
  const FilterProfile* filter = nullptr;
  const WaveFilterProfile* wave = nullptr;  // the wave filter, or the one this topology filter belongs to
  bool topology = false;
  std::string reference;
};

// An open filter (the FsContext of its file object).
struct FilterInstance {
  FunctionDevice* device = nullptr;
  FilterDescription description;
  std::vector<uint32_t> openPins;  // instances per pin id, on this filter
};

// What a file object of the driver stands for.
struct FileContext {
  std::shared_ptr<FilterInstance> filter;  // a filter, or the filter of a pin
  std::shared_ptr<PinInstance> pin;        // set for a pin
};

struct FunctionDevice {
  PDEVICE_OBJECT self = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<FilterDescription> filters;
  std::vector<UNICODE_STRING> links;        // registered interfaces, enabled at start
  std::vector<std::string> linkReferences;  // the filter of each link
  std::mutex mutex;                         // instance counts and pended requests
  struct OpenPin {
    std::string reference;
    uint32_t pinId;
  };
  std::vector<OpenPin> openPins;  // every pin instance of the device
  struct Pended {
    PIRP irp;
    PFILE_OBJECT file;
    TimerId timer;
  };
  std::vector<Pended> pended;
  bool removed = false;
};

FunctionDevice* DeviceOf(PDEVICE_OBJECT device);
FileContext* ContextOf(PFILE_OBJECT file);

// Pin states and the DMA engine.
struct PinInstance {
  uint64_t serial = 0;
  std::string reference;  // the wave filter's reference string
  uint32_t pinId = 0;
  bool render = true;
  StreamFormat format;
  std::vector<uint8_t> formatBlock;  // the KSDATAFORMAT with its wave format, as created
  const WaveFilterProfile* wave = nullptr;

  std::mutex mutex;  // everything below
  KSSTATE state = KSSTATE_STOP;
  uint8_t* buffer = nullptr;
  uint32_t bufferBytes = 0;
  uint32_t frames = 0;  // whole frames in the buffer
  uint32_t notificationCount = 0;
  std::vector<std::shared_ptr<sim::win32::EventObject>> events;
  std::vector<void*> eventHandles;
  // Registers the client reads with plain loads.
  alignas(8) volatile ULONG positionRegister = 0;
  alignas(8) volatile ULONG clockRegister = 0;
  // DMA progress.
  uint64_t done = 0;  // frames moved since the pin left STOP
  uint64_t runStartFrames = 0;
  Nanos runStartNs = 0;
  uint64_t notifications = 0;
  uint64_t loopbackBase = 0;
  bool loopbackBaseSet = false;
  PinCounters counters;
  ULONG contentId = 0;
  PinInstance() = default;
  PinInstance(const PinInstance&) = delete;
  PinInstance& operator=(const PinInstance&) = delete;
  ~PinInstance();
};

// ks_pins.cpp
NTSTATUS CreatePin(FunctionDevice& device, const std::shared_ptr<FilterInstance>& filter, const uint8_t* block,
                   size_t bytes, std::shared_ptr<PinInstance>* pin);
void ClosePin(FunctionDevice& device, FileContext& context);
NTSTATUS SetPinState(const std::shared_ptr<PinInstance>& pin, KSSTATE state);  // pin mutex held
// Checks a KSDATAFORMAT (with its wave format) against a pin's ranges:
// STATUS_SUCCESS, STATUS_NO_MATCH or STATUS_INVALID_PARAMETER.
NTSTATUS CheckFormat(const PinProfile& pin, const uint8_t* format, size_t bytes, StreamFormat* out);

// dma.cpp
void EngineStart(const std::shared_ptr<PinInstance>& pin);  // the pin entered RUN (pin mutex held)
void EngineStop(PinInstance& pin);                          // the pin leaves RUN (pin mutex held)
void EngineForget(PinInstance& pin);                        // the pin is closed
void UpdateClockRegister(PinInstance& pin);

// ks_filters.cpp: one IOCTL_KS_PROPERTY request; STATUS_PENDING is never returned.
NTSTATUS HandleProperty(FunctionDevice& device, FileContext& context, PIRP irp);
// The request fault that applies to the request, if any.
const RequestFault* MatchRequestFault(const FileContext& context, const KSPROPERTY& property);

}  // namespace sim::card::ksdriver
