// The property sets of the function driver's filters and pins, as one table
// of {set, id, verbs, object, sizes, handler}; the walker checks every size
// once, before any handler runs.
#include <algorithm>
#include <cstring>

#include "sim/card/card.h"
#include "sim/card/function_driver.h"
#include "sim/kernel/pnp.h"

namespace sim::card::ksdriver {

namespace {

enum class Target { Filter, Pin };

struct Request {
  FunctionDevice& device;
  FileContext& context;
  KSPROPERTY property;
  std::vector<uint8_t> input;  // the whole input, property header first
  ULONG pinId = 0;             // KSP_PIN requests
  uint8_t* value;
  ULONG valueBytes;
  bool get;
  ULONG_PTR information = 0;

  const FilterProfile& Filter() const { return *context.filter->description.filter; }
  const PinProfile& Pin() const { return Filter().pins[pinId]; }
  template <typename T>
  T Input() const {
    T t{};
    std::memcpy(&t, input.data(), std::min(sizeof(T), input.size()));
    return t;
  }
  template <typename T>
  NTSTATUS Put(const T& t) {
    std::memcpy(value, &t, sizeof(T));
    information = sizeof(T);
    return STATUS_SUCCESS;
  }
  // A variable-size answer: a size query gets the size, a short buffer nothing.
  NTSTATUS Reply(const std::vector<uint8_t>& answer) {
    if (valueBytes == 0) {
      information = answer.size();
      return STATUS_BUFFER_OVERFLOW;
    }
    if (valueBytes < answer.size()) return STATUS_BUFFER_TOO_SMALL;
    if (!answer.empty()) std::memcpy(value, answer.data(), answer.size());
    information = answer.size();
    return STATUS_SUCCESS;
  }
};

using Handler = NTSTATUS (*)(Request&);

struct PropertyEntry {
  const GUID* set;
  ULONG id;
  ULONG verbs;
  Target target;
  bool pinAddressed;  // a KSP_PIN naming a pin of the filter
  ULONG minInput;
  ULONG fixedSize;  // 0: the handler sizes the answer
  Handler handler;
};

template <typename T>
std::vector<uint8_t> MultipleItem(const std::vector<T>& items) {
  KSMULTIPLE_ITEM head{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T)),
                       static_cast<ULONG>(items.size())};
  std::vector<uint8_t> out(head.Size);
  std::memcpy(out.data(), &head, sizeof(head));
  if (!items.empty()) std::memcpy(out.data() + sizeof(head), items.data(), items.size() * sizeof(T));
  return out;
}

GUID Named(const std::string& name) {
  GUID g{};
  GuidOfName(name, &g);
  return g;
}

bool Streaming(const PinProfile& p) {
  return p.communication == Communication::Sink || p.communication == Communication::Source ||
         p.communication == Communication::Both;
}

// KSPROPSETID_Pin

NTSTATUS PinCTypes(Request& r) { return r.Put<ULONG>(static_cast<ULONG>(r.Filter().pins.size())); }
NTSTATUS PinDataFlow(Request& r) { return r.Put<ULONG>(static_cast<ULONG>(r.Pin().dataFlow)); }
NTSTATUS PinCommunication(Request& r) { return r.Put<ULONG>(static_cast<ULONG>(r.Pin().communication)); }

NTSTATUS PinCInstances(Request& r) {
  std::lock_guard lock(r.device.mutex);
  const ULONG possible = Streaming(r.Pin()) && !r.context.filter->description.topology ? r.Pin().possibleInstances : 0;
  return r.Put(KSPIN_CINSTANCES{possible, r.context.filter->openPins[r.pinId]});
}

NTSTATUS PinGlobalCInstances(Request& r) {
  std::lock_guard lock(r.device.mutex);
  const bool streaming = Streaming(r.Pin()) && !r.context.filter->description.topology;
  ULONG current = 0;
  for (const auto& p : r.device.openPins)
    if (p.reference == r.context.filter->description.reference && p.pinId == r.pinId) ++current;
  return r.Put(KSPIN_CINSTANCES{streaming ? r.Pin().globalPossibleInstances : 0, current});
}

NTSTATUS PinNecessaryInstances(Request& r) { return r.Put<ULONG>(0); }

NTSTATUS PinDataRanges(Request& r) {
  std::vector<KSDATARANGE_AUDIO> ranges;
  for (const DataRangeProfile& p : r.Pin().ranges) {
    KSDATARANGE_AUDIO a{};
    a.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    a.DataRange.MajorFormat = Named(p.majorFormat);
    a.DataRange.SubFormat = Named(p.subFormat);
    a.DataRange.Specifier = Named(p.specifier);
    a.MaximumChannels = p.maxChannels;
    a.MinimumBitsPerSample = p.minBits;
    a.MaximumBitsPerSample = p.maxBits;
    a.MinimumSampleFrequency = p.minRate;
    a.MaximumSampleFrequency = p.maxRate;
    ranges.push_back(a);
  }
  static_assert(sizeof(KSDATARANGE_AUDIO) % 8 == 0, "ranges follow each other 8-byte aligned");
  return r.Reply(MultipleItem(ranges));
}

std::vector<KSIDENTIFIER> Identifiers(const GUID& set, const std::vector<uint32_t>& ids) {
  std::vector<KSIDENTIFIER> out;
  for (uint32_t id : ids) {
    KSIDENTIFIER i{};
    i.Set = set;
    i.Id = id;
    out.push_back(i);
  }
  return out;
}

NTSTATUS PinInterfaces(Request& r) {
  return r.Reply(MultipleItem(Identifiers(KSINTERFACESETID_Standard, r.Pin().interfaces)));
}
NTSTATUS PinMediums(Request& r) { return r.Reply(MultipleItem(Identifiers(KSMEDIUMSETID_Standard, r.Pin().mediums))); }
NTSTATUS PinCategory(Request& r) { return r.Put(Named(r.Pin().category)); }

NTSTATUS PinName(Request& r) {
  if (r.Pin().name.empty()) return STATUS_NOT_FOUND;
  std::u16string name(r.Pin().name.begin(), r.Pin().name.end());
  std::vector<uint8_t> answer((name.size() + 1) * sizeof(WCHAR), 0);
  std::memcpy(answer.data(), name.data(), name.size() * sizeof(WCHAR));
  return r.Reply(answer);
}

NTSTATUS PinPhysicalConnection(Request& r) {
  const FilterDescription& d = r.context.filter->description;
  if (d.topology || !r.Pin().physicalConnection) return STATUS_NOT_FOUND;
  std::u16string path;
  for (size_t i = 0; i < r.device.links.size(); ++i) {
    if (r.device.linkReferences[i] != d.wave->topology.reference) continue;
    const UNICODE_STRING& link = r.device.links[i];
    if (auto audio = sim::kernel::GetDeviceInterfaceAlias(std::u16string_view(link.Buffer, link.Length / sizeof(WCHAR)),
                                                          KSCATEGORY_AUDIO)) {
      path = audio->device_path;
      break;
    }
  }
  if (path.empty()) return STATUS_NOT_FOUND;
  std::vector<uint8_t> answer(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) + (path.size() + 1) * 2, 0);
  KSPIN_PHYSICALCONNECTION head{static_cast<ULONG>(answer.size()), *r.Pin().physicalConnection, {0}};
  std::memcpy(answer.data(), &head, offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName));
  std::memcpy(answer.data() + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName), path.data(), path.size() * 2);
  return r.Reply(answer);
}

NTSTATUS PinProposeDataFormat(Request& r) {
  if (!r.get) {
    if (r.valueBytes < sizeof(KSDATAFORMAT)) return STATUS_BUFFER_TOO_SMALL;
    return CheckFormat(r.Pin(), r.value, r.valueBytes, nullptr);
  }
  // The format the pin proposes: stereo (or less) at 48 kHz, 16 bits, within its first range.
  if (r.Pin().ranges.empty()) return STATUS_NO_MATCH;
  const DataRangeProfile& range = r.Pin().ranges.front();
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof(f);
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = f.WaveFormatExt;
  w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w.Format.nChannels = static_cast<WORD>(std::min<uint32_t>(2, range.maxChannels));
  w.Format.nSamplesPerSec = std::clamp<uint32_t>(48000, range.minRate, range.maxRate);
  const uint32_t bits = std::clamp<uint32_t>(16, range.minBits, range.maxBits);
  w.Format.wBitsPerSample = static_cast<WORD>(bits <= 16 ? 16 : 32);
  w.Format.nBlockAlign = static_cast<WORD>(w.Format.nChannels * w.Format.wBitsPerSample / 8);
  w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * w.Format.nSamplesPerSec;
  w.Format.cbSize = 22;
  w.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
  w.dwChannelMask = w.Format.nChannels == 1 ? 0x4 : 0x3;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.SampleSize = w.Format.nBlockAlign;
  std::vector<uint8_t> answer(sizeof(f));
  std::memcpy(answer.data(), &f, sizeof(f));
  return r.Reply(answer);
}

// KSPROPSETID_Topology

NTSTATUS TopologyCategories(Request& r) {
  std::vector<GUID> categories;
  for (const std::string& c : r.Filter().interfaceCategories) categories.push_back(Named(c));
  return r.Reply(MultipleItem(categories));
}

NTSTATUS TopologyNodes(Request& r) {
  std::vector<GUID> nodes;
  for (const std::string& n : r.Filter().nodes) nodes.push_back(Named(n));
  return r.Reply(MultipleItem(nodes));
}

NTSTATUS TopologyConnections(Request& r) {
  std::vector<KSTOPOLOGY_CONNECTION> connections;
  for (const ConnectionProfile& c : r.Filter().connections)
    connections.push_back({c.fromNode, c.fromPin, c.toNode, c.toPin});
  return r.Reply(MultipleItem(connections));
}

// KSPROPSETID_Connection

NTSTATUS ConnectionState(Request& r) {
  PinInstance& pin = *r.context.pin;
  std::lock_guard lock(pin.mutex);
  if (r.get) return r.Put<ULONG>(static_cast<ULONG>(pin.state));
  ULONG state;
  std::memcpy(&state, r.value, sizeof(state));
  return SetPinState(r.context.pin, static_cast<KSSTATE>(state));
}

NTSTATUS ConnectionDataFormat(Request& r) { return r.Reply(r.context.pin->formatBlock); }

// KSPROPSETID_RtAudio

NTSTATUS GrantBuffer(Request& r, ULONG requested, ULONG notifications) {
  PinInstance& pin = *r.context.pin;
  const Card* card = Card::Current();
  if (!card) return STATUS_NO_SUCH_DEVICE;
  const BufferFault& fault = card->profile().faults.buffer;
  if (fault.refuse) return static_cast<NTSTATUS>(fault.status);
  if (notifications > 2) return STATUS_INVALID_PARAMETER;
  std::lock_guard lock(pin.mutex);
  if (pin.state > KSSTATE_ACQUIRE) return STATUS_INVALID_DEVICE_STATE;
  const ULONG granted = fault.resizeTo ? fault.resizeTo : pin.wave->waveRt.GrantedBytes(requested);
  const uint32_t block = pin.format.BlockAlign();
  if (granted / block < 2) return STATUS_INVALID_PARAMETER;
  delete[] pin.buffer;
  pin.buffer = new uint8_t[granted]();
  pin.bufferBytes = granted;
  pin.frames = granted / block;
  pin.notificationCount = notifications;
  pin.done = 0;
  pin.positionRegister = 0;
  return r.Put(KSRTAUDIO_BUFFER{pin.buffer, granted, FALSE});
}

NTSTATUS RtBuffer(Request& r) {
  auto in = r.Input<KSRTAUDIO_BUFFER_PROPERTY>();
  return GrantBuffer(r, in.RequestedBufferSize, 0);
}

NTSTATUS RtBufferWithNotification(Request& r) {
  auto in = r.Input<KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION>();
  if (in.NotificationCount == 0) return STATUS_INVALID_PARAMETER;
  return GrantBuffer(r, in.RequestedBufferSize, in.NotificationCount);
}

NTSTATUS RtHwLatency(Request& r) {
  const WaveRtProfile& w = r.context.pin->wave->waveRt;
  return r.Put(KSRTAUDIO_HWLATENCY{w.fifoSize, w.chipsetDelay, w.codecDelay});
}

NTSTATUS RtPositionRegister(Request& r) {
  PinInstance& pin = *r.context.pin;
  if (!pin.wave->waveRt.positionRegister) return STATUS_NOT_FOUND;
  std::lock_guard lock(pin.mutex);
  if (!pin.buffer) return STATUS_INVALID_DEVICE_STATE;
  return r.Put(KSRTAUDIO_HWREGISTER{const_cast<ULONG*>(&pin.positionRegister), 32, 0, 0, 0});
}

NTSTATUS RtClockRegister(Request& r) {
  PinInstance& pin = *r.context.pin;
  const WaveRtProfile& w = pin.wave->waveRt;
  if (!w.clockRegister) return STATUS_NOT_FOUND;
  std::lock_guard lock(pin.mutex);
  UpdateClockRegister(pin);
  return r.Put(
      KSRTAUDIO_HWREGISTER{const_cast<ULONG*>(&pin.clockRegister), 32, w.clockNumerator, w.clockDenominator, 0});
}

NTSTATUS RtRegisterEvent(Request& r) {
  PinInstance& pin = *r.context.pin;
  HANDLE handle = r.Input<KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY>().NotificationEvent;
  auto event = sim::HandleTable::Get().LookupAs<sim::win32::EventObject>(handle);
  if (!event) return STATUS_INVALID_HANDLE;
  std::lock_guard lock(pin.mutex);
  if (!pin.buffer || pin.notificationCount == 0) return STATUS_INVALID_DEVICE_STATE;
  if (std::find(pin.eventHandles.begin(), pin.eventHandles.end(), handle) != pin.eventHandles.end())
    return STATUS_INVALID_PARAMETER;
  pin.events.push_back(std::move(event));
  pin.eventHandles.push_back(handle);
  return STATUS_SUCCESS;
}

NTSTATUS RtUnregisterEvent(Request& r) {
  PinInstance& pin = *r.context.pin;
  HANDLE handle = r.Input<KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY>().NotificationEvent;
  std::lock_guard lock(pin.mutex);
  auto it = std::find(pin.eventHandles.begin(), pin.eventHandles.end(), handle);
  if (it == pin.eventHandles.end()) return STATUS_INVALID_PARAMETER;
  pin.events.erase(pin.events.begin() + (it - pin.eventHandles.begin()));
  pin.eventHandles.erase(it);
  return STATUS_SUCCESS;
}

NTSTATUS RtQueryNotificationSupport(Request& r) { return r.Put<BOOL>(TRUE); }

// KSPROPSETID_DrmAudioStream: the content id is kept; the card has no digital
// output that would have to honour it.
NTSTATUS DrmContentId(Request& r) {
  std::memcpy(&r.context.pin->contentId, r.value, sizeof(ULONG));
  return STATUS_SUCCESS;
}

constexpr GUID kDrmAudioStream = {0x2F2C8DDD, 0x4198, 0x4FAC, {0xBA, 0x29, 0x61, 0xBB, 0x05, 0xB7, 0xDE, 0x06}};
constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;
constexpr ULONG kProp = sizeof(KSPROPERTY);
constexpr ULONG kPin = sizeof(KSP_PIN);

const PropertyEntry kProperties[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, kGet, Target::Filter, true, kPin, 8, PinCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, kGet, Target::Filter, false, kProp, 4, PinCTypes},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, kGet, Target::Filter, true, kPin, 4, PinDataFlow},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, kGet, Target::Filter, true, kPin, 0, PinDataRanges},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, kGet, Target::Filter, true, kPin, 0, PinInterfaces},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, kGet, Target::Filter, true, kPin, 0, PinMediums},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, kGet, Target::Filter, true, kPin, 4, PinCommunication},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_GLOBALCINSTANCES, kGet, Target::Filter, true, kPin, 8, PinGlobalCInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NECESSARYINSTANCES, kGet, Target::Filter, true, kPin, 4, PinNecessaryInstances},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PHYSICALCONNECTION, kGet, Target::Filter, true, kPin, 0, PinPhysicalConnection},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, kGet, Target::Filter, true, kPin, sizeof(GUID), PinCategory},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, kGet, Target::Filter, true, kPin, 0, PinName},
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, kGet | kSet, Target::Filter, true, kPin, 0,
     PinProposeDataFormat},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CATEGORIES, kGet, Target::Filter, false, kProp, 0, TopologyCategories},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, kGet, Target::Filter, false, kProp, 0, TopologyNodes},
    {&KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, kGet, Target::Filter, false, kProp, 0,
     TopologyConnections},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, kGet | kSet, Target::Pin, false, kProp, 4, ConnectionState},
    {&KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, kGet, Target::Pin, false, kProp, 0,
     ConnectionDataFormat},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER, kGet, Target::Pin, false, sizeof(KSRTAUDIO_BUFFER_PROPERTY),
     sizeof(KSRTAUDIO_BUFFER), RtBuffer},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_HWLATENCY, kGet, Target::Pin, false, kProp, sizeof(KSRTAUDIO_HWLATENCY),
     RtHwLatency},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_POSITIONREGISTER, kGet, Target::Pin, false,
     sizeof(KSRTAUDIO_HWREGISTER_PROPERTY), sizeof(KSRTAUDIO_HWREGISTER), RtPositionRegister},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_CLOCKREGISTER, kGet, Target::Pin, false,
     sizeof(KSRTAUDIO_HWREGISTER_PROPERTY), sizeof(KSRTAUDIO_HWREGISTER), RtClockRegister},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, kGet, Target::Pin, false,
     sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION), sizeof(KSRTAUDIO_BUFFER), RtBufferWithNotification},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT, kSet, Target::Pin, false,
     sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY), 0, RtRegisterEvent},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT, kSet, Target::Pin, false,
     sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY), 0, RtUnregisterEvent},
    {&KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_QUERY_NOTIFICATION_SUPPORT, kGet, Target::Pin, false, kProp, sizeof(BOOL),
     RtQueryNotificationSupport},
    {&kDrmAudioStream, 0, kSet, Target::Pin, false, kProp, sizeof(ULONG), DrmContentId},
};

}  // namespace

NTSTATUS HandleProperty(FunctionDevice& device, FileContext& context, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG input_bytes = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG value_bytes = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const uint8_t* input = static_cast<const uint8_t*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  uint8_t* value = static_cast<uint8_t*>(irp->UserBuffer);
  if (irp->Flags & IRP_BUFFERED_IO) {
    // Buffered requests carry the value first and the property after it, 8-byte aligned.
    auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    value = system;
    input = system ? system + ((value_bytes + 7) & ~7u) : nullptr;
  }
  irp->IoStatus.Information = 0;
  auto finish = [irp](NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    return status;
  };
  if (input_bytes < sizeof(KSPROPERTY)) return finish(STATUS_INVALID_BUFFER_SIZE);
  if (!input || (value_bytes != 0 && !value)) return finish(STATUS_INVALID_PARAMETER);
  Request r{device, context, {}, std::vector<uint8_t>(input, input + input_bytes), 0, value, value_bytes, false};
  std::memcpy(&r.property, input, sizeof(KSPROPERTY));
  const Target target = context.pin ? Target::Pin : Target::Filter;
  const PropertyEntry* entry = nullptr;
  bool set_known = false;
  for (const PropertyEntry& e : kProperties) {
    if (e.target != target || !SameGuid(*e.set, r.property.Set)) continue;
    set_known = true;
    if (e.id == r.property.Id) entry = &e;
  }
  // Node properties are not offered: the topology nodes carry no controls.
  if (!set_known || !entry || (r.property.Flags & KSPROPERTY_TYPE_TOPOLOGY)) return finish(STATUS_NOT_FOUND);
  if (r.property.Flags & KSPROPERTY_TYPE_BASICSUPPORT) {
    if (value_bytes == 0) return finish(STATUS_BUFFER_OVERFLOW, sizeof(ULONG));
    if (value_bytes < sizeof(ULONG)) return finish(STATUS_BUFFER_TOO_SMALL);
    const ULONG access = entry->verbs | KSPROPERTY_TYPE_BASICSUPPORT;
    std::memcpy(value, &access, sizeof(access));
    return finish(STATUS_SUCCESS, sizeof(ULONG));
  }
  const ULONG verb = r.property.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
  if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET) return finish(STATUS_INVALID_PARAMETER);
  if (!(entry->verbs & verb)) return finish(STATUS_INVALID_DEVICE_REQUEST);
  r.get = verb == KSPROPERTY_TYPE_GET;
  if (input_bytes < entry->minInput) return finish(STATUS_INVALID_BUFFER_SIZE);
  if (entry->pinAddressed) {
    r.pinId = r.Input<KSP_PIN>().PinId;
    if (r.pinId >= r.Filter().pins.size()) return finish(STATUS_INVALID_PARAMETER);
  }
  if (entry->fixedSize != 0) {
    if (value_bytes == 0 && r.get) return finish(STATUS_BUFFER_OVERFLOW, entry->fixedSize);
    if (value_bytes < entry->fixedSize) return finish(STATUS_BUFFER_TOO_SMALL);
  }
  const NTSTATUS status = entry->handler(r);
  return finish(status, status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW ? r.information : 0);
}

}  // namespace sim::card::ksdriver
