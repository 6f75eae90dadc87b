// The codec's kernel-streaming function driver, driven the way a raw
// kernel-streaming client drives it: device interfaces, property requests
// as IRPs, pin creation by name, WaveRT buffers and notifications.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ks.h"
#include "platform/wdm.h"
#include "platform/win32/sync.h"
#include "sim/card/audio_io.h"
#include "sim/card/card.h"
#include "sim/card/drivers.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/pnp.h"
#include "sim/machine.h"

namespace {

using namespace sim::card;
namespace k = sim::kernel;

struct FileCloser {
  void operator()(FILE_OBJECT* f) const { k::CloseFileHandle(f); }
};
using File = std::unique_ptr<FILE_OBJECT, FileCloser>;
struct HandleCloser {
  void operator()(void* h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct Answer {
  NTSTATUS status;
  ULONG_PTR information;
};

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One IOCTL_KS_PROPERTY request, METHOD_NEITHER, as the I/O manager builds it.
Answer Ioctl(PFILE_OBJECT file, const void* input, ULONG input_bytes, void* value, ULONG value_bytes) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_KS_PROPERTY;
  stack->Parameters.DeviceIoControl.InputBufferLength = input_bytes;
  stack->Parameters.DeviceIoControl.OutputBufferLength = value_bytes;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
  stack->FileObject = file;
  irp->UserBuffer = value;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  Answer a{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return a;
}

KSP_PIN PinProperty(ULONG id, ULONG pin, const GUID& set = KSPROPSETID_Pin, ULONG flags = KSPROPERTY_TYPE_GET) {
  KSP_PIN p{};
  p.Property.Set = set;
  p.Property.Id = id;
  p.Property.Flags = flags;
  p.PinId = pin;
  return p;
}

template <typename T>
Answer Get(PFILE_OBJECT file, const KSP_PIN& p, T* out) {
  return Ioctl(file, &p, sizeof(p), out, sizeof(T));
}

std::vector<uint8_t> GetAlloc(PFILE_OBJECT file, const void* input, ULONG input_bytes, NTSTATUS* status) {
  Answer size = Ioctl(file, input, input_bytes, nullptr, 0);
  *status = size.status;
  if (size.status != STATUS_BUFFER_OVERFLOW) return {};
  std::vector<uint8_t> out(size.information);
  Answer a = Ioctl(file, input, input_bytes, out.data(), static_cast<ULONG>(out.size()));
  *status = a.status;
  EXPECT_EQ(out.size(), a.information);
  return out;
}

WAVEFORMATEXTENSIBLE Wave(WORD channels, DWORD rate, WORD valid) {
  WAVEFORMATEXTENSIBLE w{};
  w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w.Format.nChannels = channels;
  w.Format.nSamplesPerSec = rate;
  w.Format.wBitsPerSample = valid <= 16 ? 16 : 32;
  w.Format.nBlockAlign = static_cast<WORD>(w.Format.wBitsPerSample / 8 * channels);
  w.Format.nAvgBytesPerSec = w.Format.nBlockAlign * rate;
  w.Format.cbSize = 22;
  w.Samples.wValidBitsPerSample = valid;
  w.dwChannelMask = channels == 2 ? 0x3 : 0x3F;
  w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return w;
}

struct PinCreate {
  KSPIN_CONNECT connect{};
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format{};
};
static_assert(sizeof(PinCreate) == 72 + 104);

PinCreate MakeCreate(ULONG pin, const WAVEFORMATEXTENSIBLE& wave) {
  PinCreate c;
  c.connect.Interface.Set = KSINTERFACESETID_Standard;
  c.connect.Interface.Id = 1;
  c.connect.Medium.Set = KSMEDIUMSETID_Standard;
  c.connect.PinId = pin;
  c.connect.Priority = {0x40000000, 1};
  c.format.DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
  c.format.DataFormat.SampleSize = wave.Format.nBlockAlign;
  c.format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  c.format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  c.format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  c.format.WaveFormatExt = wave;
  return c;
}

NTSTATUS OpenPin(PFILE_OBJECT filter, const void* block, size_t bytes, File* pin) {
  std::u16string name = u"\\{146F1A80-4791-11D0-A5D6-28DB04C10000}";
  std::u16string binary((bytes + 1) / 2, u'\0');
  std::memcpy(binary.data(), block, bytes);
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status = k::OpenDevicePath(name + binary, filter, &file);
  if (NT_SUCCESS(status)) pin->reset(file);
  return status;
}

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  return p;
}

NTSTATUS SetState(PFILE_OBJECT pin, KSSTATE state) {
  KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
  return Ioctl(pin, &p, sizeof(p), &state, sizeof(state)).status;
}

struct RtBuffer {
  NTSTATUS status;
  KSRTAUDIO_BUFFER buffer;
};

RtBuffer AllocateBuffer(PFILE_OBJECT pin, ULONG bytes, ULONG notifications = 2) {
  KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION p{};
  p.Property = Property(KSPROPSETID_RtAudio, KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION, KSPROPERTY_TYPE_GET);
  p.RequestedBufferSize = bytes;
  p.NotificationCount = notifications;
  RtBuffer b{};
  b.status = Ioctl(pin, &p, sizeof(p), &b.buffer, sizeof(b.buffer)).status;
  return b;
}

NTSTATUS RegisterEvent(PFILE_OBJECT pin, HANDLE event, ULONG id = KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT) {
  KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY p{};
  p.Property = Property(KSPROPSETID_RtAudio, id, KSPROPERTY_TYPE_SET);
  p.NotificationEvent = event;
  return Ioctl(pin, &p, sizeof(p), nullptr, 0).status;
}

KSRTAUDIO_HWREGISTER Register(PFILE_OBJECT pin, ULONG id, NTSTATUS* status) {
  KSRTAUDIO_HWREGISTER_PROPERTY p{};
  p.Property = Property(KSPROPSETID_RtAudio, id, KSPROPERTY_TYPE_GET);
  KSRTAUDIO_HWREGISTER r{};
  *status = Ioctl(pin, &p, sizeof(p), &r, sizeof(r)).status;
  return r;
}

bool SameText(std::u16string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char16_t x, char y) { return std::toupper(x) == std::toupper(y); });
}

class KsDriverTest : public ::testing::Test {
 protected:
  void Boot(Profile profile) {
    card_.emplace(std::move(profile));
    k::RegisterBuiltinDriverImage(kFunctionImage, KsFunctionDriverEntry);
    k::SetServiceImagePath(kFunctionService, u"\\SystemRoot\\System32\\drivers\\CvHdAud.sys");
    k::DeviceDescription d;
    d.instance_id = u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1001\\4&1&0&0001";
    d.hardware_ids = {u"HDAUDIO\\FUNC_01&VEN_10EC&DEV_1220&SUBSYS_1458A0C3&REV_1001"};
    ASSERT_EQ(STATUS_SUCCESS, k::PnpCreateRootDevice(d, &pdo_));
    k::SetDeviceInstanceDrivers(d.instance_id, kFunctionService, {}, {});
    ASSERT_EQ(STATUS_SUCCESS, k::PnpStartDevice(pdo_));
  }
  void SetUp() override { Boot(LoadShippedProfile("default.json")); }
  void BootWith(const std::string& patch) {
    TearDownDevice();
    Boot(ParseProfile(R"({"extends": "default.json", )" + patch + "}", ORA_CARD_PROFILE_DIR));
  }
  void TearDownDevice() {
    if (pdo_) {
      EXPECT_EQ(STATUS_SUCCESS, k::PnpRemoveDevice(pdo_));
    }
    pdo_ = nullptr;
    card_.reset();
  }
  void TearDown() override {
    TearDownDevice();
    k::Verifier::Get().CheckForLeaks();
    const auto violations = k::Verifier::Get().Take();
    EXPECT_TRUE(violations.empty()) << k::Verifier::Format(violations);
    k::ResetKernel();
    Sink::Get().Clear();
    Source::Get().Clear();
    PinStatistics::Get().Clear();
  }

  File Open(std::string_view reference) {
    for (const auto& i : k::GetDeviceInterfaces(KSCATEGORY_AUDIO)) {
      if (!SameText(i.reference_string, reference)) continue;
      PFILE_OBJECT file = nullptr;
      EXPECT_EQ(STATUS_SUCCESS, k::OpenDevicePath(i.device_path, nullptr, &file));
      return File(file);
    }
    ADD_FAILURE() << "no interface " << reference;
    return nullptr;
  }

  sim::Machine machine_;
  std::optional<Card> card_;
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(KsDriverTest, FiltersAreInterfacesWithTheirAliases) {
  const char* render[] = {"eLineOutWave", "eSlavedHpLineOutWave", "espdifoutwave"};
  const char* capture[] = {"eMixedCaptureWave", "eLineInWave"};
  EXPECT_EQ(3u, k::GetDeviceInterfaces(KSCATEGORY_RENDER).size());
  EXPECT_EQ(2u, k::GetDeviceInterfaces(KSCATEGORY_CAPTURE).size());
  EXPECT_EQ(5u, k::GetDeviceInterfaces(KSCATEGORY_TOPOLOGY).size());
  EXPECT_EQ(10u, k::GetDeviceInterfaces(KSCATEGORY_AUDIO).size());
  for (const auto& i : k::GetDeviceInterfaces(KSCATEGORY_AUDIO)) {
    bool is_render = false, is_capture = false;
    for (const char* r : render) is_render |= SameText(i.reference_string, r);
    for (const char* c : capture) is_capture |= SameText(i.reference_string, c);
    EXPECT_EQ(is_render, k::GetDeviceInterfaceAlias(i.symbolic_link, KSCATEGORY_RENDER).has_value());
    EXPECT_EQ(is_capture, k::GetDeviceInterfaceAlias(i.symbolic_link, KSCATEGORY_CAPTURE).has_value());
    EXPECT_EQ(!is_render && !is_capture, k::GetDeviceInterfaceAlias(i.symbolic_link, KSCATEGORY_TOPOLOGY).has_value());
  }
  // The reference string is matched without case.
  PFILE_OBJECT file = nullptr;
  auto lineout = k::GetDeviceInterfaces(KSCATEGORY_RENDER).front();
  EXPECT_EQ(STATUS_SUCCESS, k::OpenDevicePath(lineout.device_path, nullptr, &file));
  k::CloseFileHandle(file);
}

TEST_F(KsDriverTest, PinPropertiesOfTheLineOut) {
  File f = Open("eLineOutWave");
  ULONG value = 0xdeadbeef;
  EXPECT_EQ(STATUS_SUCCESS, Get(f.get(), PinProperty(KSPROPERTY_PIN_CTYPES, 0), &value).status);
  EXPECT_EQ(2u, value);
  struct {
    ULONG pin, flow, communication;
    GUID category;
  } pins[] = {{0, 1, 1, KSCATEGORY_AUDIO}, {1, 2, 4, KSNODETYPE_ANALOG_CONNECTOR}};
  for (const auto& p : pins) {
    SCOPED_TRACE(p.pin);
    EXPECT_EQ(4u, Get(f.get(), PinProperty(KSPROPERTY_PIN_DATAFLOW, p.pin), &value).information);
    EXPECT_EQ(p.flow, value);
    Get(f.get(), PinProperty(KSPROPERTY_PIN_COMMUNICATION, p.pin), &value);
    EXPECT_EQ(p.communication, value);
    GUID category{};
    EXPECT_EQ(STATUS_SUCCESS, Get(f.get(), PinProperty(KSPROPERTY_PIN_CATEGORY, p.pin), &category).status);
    EXPECT_EQ(0, std::memcmp(&p.category, &category, sizeof(GUID)));
  }
  KSPIN_CINSTANCES instances{9, 9};
  EXPECT_EQ(STATUS_SUCCESS, Get(f.get(), PinProperty(KSPROPERTY_PIN_CINSTANCES, 0), &instances).status);
  EXPECT_EQ(1u, instances.PossibleCount);
  EXPECT_EQ(0u, instances.CurrentCount);
  Get(f.get(), PinProperty(KSPROPERTY_PIN_GLOBALCINSTANCES, 1), &instances);
  EXPECT_EQ(0u, instances.PossibleCount);

  NTSTATUS status;
  KSP_PIN ranges = PinProperty(KSPROPERTY_PIN_DATARANGES, 0);
  auto answer = GetAlloc(f.get(), &ranges, sizeof(ranges), &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(8u + 88u, answer.size());
  KSMULTIPLE_ITEM head;
  KSDATARANGE_AUDIO range;
  std::memcpy(&head, answer.data(), 8);
  std::memcpy(&range, answer.data() + 8, 88);
  EXPECT_EQ(96u, head.Size);
  EXPECT_EQ(1u, head.Count);
  EXPECT_EQ(88u, range.DataRange.FormatSize);
  EXPECT_EQ(0, std::memcmp(&KSDATAFORMAT_SUBTYPE_PCM, &range.DataRange.SubFormat, sizeof(GUID)));
  EXPECT_EQ(8u, range.MaximumChannels);
  EXPECT_EQ(16u, range.MinimumBitsPerSample);
  EXPECT_EQ(32u, range.MaximumBitsPerSample);
  EXPECT_EQ(44100u, range.MinimumSampleFrequency);
  EXPECT_EQ(192000u, range.MaximumSampleFrequency);

  for (ULONG id : {KSPROPERTY_PIN_INTERFACES, KSPROPERTY_PIN_MEDIUMS}) {
    KSP_PIN p = PinProperty(id, 0);
    answer = GetAlloc(f.get(), &p, sizeof(p), &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
    ASSERT_EQ(8u + 24u, answer.size());
    KSIDENTIFIER item;
    std::memcpy(&item, answer.data() + 8, sizeof(item));
    const GUID& set = id == KSPROPERTY_PIN_INTERFACES ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
    EXPECT_EQ(0, std::memcmp(&set, &item.Set, sizeof(GUID)));
    EXPECT_EQ(id == KSPROPERTY_PIN_INTERFACES ? 1u : 0u, item.Id);
  }

  WCHAR name[130];
  std::memset(name, 0xAB, sizeof(name));
  KSP_PIN p = PinProperty(KSPROPERTY_PIN_NAME, 0);
  Answer a = Ioctl(f.get(), &p, sizeof(p), name, 258);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(16u, a.information);
  EXPECT_EQ(u"Speaker", std::u16string(name));
  EXPECT_EQ(0xABABu, name[8]);

  KSPROPERTY t = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_CONNECTIONS, KSPROPERTY_TYPE_GET);
  answer = GetAlloc(f.get(), &t, sizeof(t), &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(8u + 2 * 16u, answer.size());
  KSTOPOLOGY_CONNECTION c[2];
  std::memcpy(c, answer.data() + 8, sizeof(c));
  EXPECT_EQ(0xFFFFFFFFu, c[0].FromNode);
  EXPECT_EQ(0u, c[0].FromNodePin);
  EXPECT_EQ(0u, c[0].ToNode);
  EXPECT_EQ(1u, c[1].ToNodePin);
  t.Id = KSPROPERTY_TOPOLOGY_NODES;
  answer = GetAlloc(f.get(), &t, sizeof(t), &status);
  ASSERT_EQ(8u + 16u, answer.size());
  EXPECT_EQ(0, std::memcmp(&KSNODETYPE_DAC, answer.data() + 8, sizeof(GUID)));
}

TEST_F(KsDriverTest, PhysicalConnectionLeadsToTheJack) {
  File wave = Open("eLineOutWave");
  NTSTATUS status;
  KSP_PIN p = PinProperty(KSPROPERTY_PIN_PHYSICALCONNECTION, 1);
  auto answer = GetAlloc(wave.get(), &p, sizeof(p), &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  KSPIN_PHYSICALCONNECTION head;
  std::memcpy(&head, answer.data(), 8);
  EXPECT_EQ(answer.size(), head.Size);
  EXPECT_EQ(0u, head.Pin);
  std::u16string link((answer.size() - 8) / 2, u'\0');
  std::memcpy(link.data(), answer.data() + 8, link.size() * 2);
  EXPECT_EQ(u'\0', link.back());
  link.pop_back();
  PFILE_OBJECT topo = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, k::OpenDevicePath(link, nullptr, &topo));
  File topology(topo);
  GUID category{};
  EXPECT_EQ(STATUS_SUCCESS, Get(topo, PinProperty(KSPROPERTY_PIN_CATEGORY, 1), &category).status);
  EXPECT_EQ(0, std::memcmp(&KSNODETYPE_SPEAKER, &category, sizeof(GUID)));
  ULONG flow = 0;
  Get(topo, PinProperty(KSPROPERTY_PIN_DATAFLOW, 1), &flow);
  EXPECT_EQ(2u, flow);
  // Streaming pins have no physical connection.
  p.PinId = 0;
  EXPECT_EQ(STATUS_NOT_FOUND, Ioctl(wave.get(), &p, sizeof(p), nullptr, 0).status);
}

TEST_F(KsDriverTest, MalformedPropertyRequestsGetAStatus) {
  File f = Open("eLineOutWave");
  const GUID unknown = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  struct Case {
    const char* what;
    KSP_PIN property;
    ULONG inputBytes;
    ULONG valueBytes;
    NTSTATUS status;
    ULONG_PTR information;
  } cases[] = {
      {"size query of a fixed property", PinProperty(KSPROPERTY_PIN_CTYPES, 0), 32, 0, STATUS_BUFFER_OVERFLOW, 4},
      {"short fixed buffer", PinProperty(KSPROPERTY_PIN_CTYPES, 0), 32, 2, STATUS_BUFFER_TOO_SMALL, 0},
      {"size query of a list", PinProperty(KSPROPERTY_PIN_DATARANGES, 0), 32, 0, STATUS_BUFFER_OVERFLOW, 96},
      {"short list buffer", PinProperty(KSPROPERTY_PIN_DATARANGES, 0), 32, 10, STATUS_BUFFER_TOO_SMALL, 0},
      {"size query of a name", PinProperty(KSPROPERTY_PIN_NAME, 0), 32, 0, STATUS_BUFFER_OVERFLOW, 16},
      {"input shorter than KSPROPERTY", PinProperty(KSPROPERTY_PIN_CTYPES, 0), 16, 4, STATUS_INVALID_BUFFER_SIZE, 0},
      {"input shorter than KSP_PIN", PinProperty(KSPROPERTY_PIN_DATAFLOW, 0), 24, 4, STATUS_INVALID_BUFFER_SIZE, 0},
      {"pin out of range", PinProperty(KSPROPERTY_PIN_DATAFLOW, 2), 32, 4, STATUS_INVALID_PARAMETER, 0},
      {"unknown set", PinProperty(0, 0, unknown), 32, 4, STATUS_NOT_FOUND, 0},
      {"unknown id", PinProperty(99, 0), 32, 4, STATUS_NOT_FOUND, 0},
      {"pin set on a pin-only set", PinProperty(0, 0, KSPROPSETID_RtAudio), 32, 16, STATUS_NOT_FOUND, 0},
      {"set of a read-only property", PinProperty(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPSETID_Pin, KSPROPERTY_TYPE_SET), 32,
       4, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"neither get nor set", PinProperty(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPSETID_Pin, 0), 32, 4,
       STATUS_INVALID_PARAMETER, 0},
      {"basic support", PinProperty(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPSETID_Pin, KSPROPERTY_TYPE_BASICSUPPORT), 32, 4,
       STATUS_SUCCESS, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> value(c.valueBytes + 4, 0xCD);
    Answer a = Ioctl(f.get(), &c.property, c.inputBytes, c.valueBytes ? value.data() : nullptr, c.valueBytes);
    EXPECT_EQ(c.status, a.status);
    EXPECT_EQ(c.information, a.information);
    EXPECT_EQ(0xCD, value[c.valueBytes]);
  }
  EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE, Ioctl(f.get(), nullptr, 0, nullptr, 0).status);
}

TEST_F(KsDriverTest, MalformedPinCreatesAreRefused) {
  File f = Open("eLineOutWave");
  const PinCreate good = MakeCreate(0, Wave(2, 48000, 24));
  struct Case {
    const char* what;
    void (*edit)(PinCreate&);
    size_t bytes;
    NTSTATUS status;
  } cases[] = {
      {"too short for a data format", [](PinCreate&) {}, 72 + 40, STATUS_INVALID_PARAMETER},
      {"pin id out of range", [](PinCreate& c) { c.connect.PinId = 7; }, sizeof(PinCreate), STATUS_INVALID_PARAMETER},
      {"bridge pin", [](PinCreate& c) { c.connect.PinId = 1; }, sizeof(PinCreate), STATUS_INVALID_DEVICE_REQUEST},
      {"interface set", [](PinCreate& c) { c.connect.Interface.Set = KSMEDIUMSETID_Standard; }, sizeof(PinCreate),
       STATUS_NO_MATCH},
      {"interface id 2", [](PinCreate& c) { c.connect.Interface.Id = 2; }, sizeof(PinCreate), STATUS_NO_MATCH},
      {"medium id 1", [](PinCreate& c) { c.connect.Medium.Id = 1; }, sizeof(PinCreate), STATUS_NO_MATCH},
      {"format size below KSDATAFORMAT", [](PinCreate& c) { c.format.DataFormat.FormatSize = 40; }, sizeof(PinCreate),
       STATUS_INVALID_PARAMETER},
      {"format size past the block", [](PinCreate& c) { c.format.DataFormat.FormatSize = 4000; }, sizeof(PinCreate),
       STATUS_INVALID_PARAMETER},
      {"extensible without its extension", [](PinCreate& c) { c.format.WaveFormatExt.Format.cbSize = 0; },
       sizeof(PinCreate), STATUS_INVALID_PARAMETER},
      {"inconsistent block align", [](PinCreate& c) { c.format.WaveFormatExt.Format.nBlockAlign = 3; },
       sizeof(PinCreate), STATUS_INVALID_PARAMETER},
      {"not audio", [](PinCreate& c) { c.format.DataFormat.MajorFormat = KSDATAFORMAT_SUBTYPE_PCM; }, sizeof(PinCreate),
       STATUS_NO_MATCH},
      {"nine channels", [](PinCreate& c) { c.format.WaveFormatExt = Wave(9, 48000, 16); }, sizeof(PinCreate),
       STATUS_NO_MATCH},
      {"rate below the range", [](PinCreate& c) { c.format.WaveFormatExt = Wave(2, 32000, 16); }, sizeof(PinCreate),
       STATUS_NO_MATCH},
      {"rate above the range", [](PinCreate& c) { c.format.WaveFormatExt = Wave(2, 384000, 16); }, sizeof(PinCreate),
       STATUS_NO_MATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PinCreate block = good;
    c.edit(block);
    File pin;
    EXPECT_EQ(c.status, OpenPin(f.get(), &block, c.bytes, &pin));
  }
  File pin, second;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &good, sizeof(good), &pin));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, OpenPin(f.get(), &good, sizeof(good), &second));
  KSPIN_CINSTANCES instances{};
  Get(f.get(), PinProperty(KSPROPERTY_PIN_CINSTANCES, 0), &instances);
  EXPECT_EQ(1u, instances.CurrentCount);
  pin.reset();
  EXPECT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &good, sizeof(good), &second));
}

// Writes frames n.. of a ramp (frame n, channel c = n * 2 + c) into frames of a 16-bit stereo buffer.
void WriteRamp(uint8_t* buffer, uint32_t first_frame, uint32_t frames, uint64_t n) {
  auto* samples = reinterpret_cast<int16_t*>(buffer) + first_frame * 2;
  for (uint32_t i = 0; i < frames; ++i)
    for (uint32_t c = 0; c < 2; ++c) samples[i * 2 + c] = static_cast<int16_t>((n + i) * 2 + c);
}

TEST_F(KsDriverTest, LoopedRenderPinPlaysTheRampItWasGiven) {
  File f = Open("eLineOutWave");
  const PinCreate create = MakeCreate(0, Wave(2, 48000, 16));
  File pin;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &create, sizeof(create), &pin));
  constexpr uint32_t kHalf = 480;
  RtBuffer b = AllocateBuffer(pin.get(), kHalf * 2 * 4);
  ASSERT_EQ(STATUS_SUCCESS, b.status);
  ASSERT_EQ(kHalf * 2 * 4, b.buffer.ActualBufferSize);
  auto* buffer = static_cast<uint8_t*>(b.buffer.BufferAddress);
  NTSTATUS status;
  KSRTAUDIO_HWREGISTER position = Register(pin.get(), KSPROPERTY_RTAUDIO_POSITIONREGISTER, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  KSRTAUDIO_HWREGISTER clock = Register(pin.get(), KSPROPERTY_RTAUDIO_CLOCKREGISTER, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(24000000u, clock.Numerator);
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, RegisterEvent(pin.get(), event.get()));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RegisterEvent(pin.get(), event.get()));

  WriteRamp(buffer, 0, 2 * kHalf, 0);
  uint64_t written = 2 * kHalf;
  ASSERT_EQ(STATUS_SUCCESS, SetState(pin.get(), KSSTATE_RUN));
  const sim::Nanos start = machine_.Now();
  constexpr int kNotifications = 20;
  for (int i = 1; i <= kNotifications; ++i) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 1000));
    EXPECT_EQ(start + i * 10 * sim::kMillisecond, machine_.Now());
    const ULONG pos = *static_cast<volatile ULONG*>(position.Register);
    EXPECT_EQ(i % 2 ? kHalf * 4 : 0u, pos);
    // The half the position just left is free for the next frames.
    WriteRamp(buffer, i % 2 ? 0 : kHalf, kHalf, written);
    written += kHalf;
  }
  const ULONG ticks = *static_cast<volatile ULONG*>(clock.Register);
  EXPECT_EQ(static_cast<ULONG>(machine_.Now() / 1000 * 24), ticks);
  ASSERT_EQ(STATUS_SUCCESS, SetState(pin.get(), KSSTATE_STOP));
  EXPECT_EQ(0u, *static_cast<volatile ULONG*>(position.Register));
  EXPECT_EQ(STATUS_SUCCESS, RegisterEvent(pin.get(), event.get(), KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT));

  PlayedSegment played = Sink::Get().Played("ELINEOUTWAVE");
  EXPECT_EQ(DacMode::Pcm, played.mode);
  EXPECT_EQ((StreamFormat{2, 48000, 16, 16}), played.format);
  ASSERT_EQ(kNotifications * kHalf, played.frames);
  for (uint64_t n = 0; n < played.frames; ++n)
    for (uint32_t c = 0; c < 2; ++c) ASSERT_EQ(static_cast<int16_t>(n * 2 + c), played.Sample(n, c)) << n;
  PinCounters counters = PinStatistics::Get().Counters("eLineOutWave", 0);
  EXPECT_EQ(20u, counters.notificationsSignalled);
  EXPECT_EQ(10u, counters.passes);
}

TEST_F(KsDriverTest, LoopbackCaptureReturnsWhatWasPlayed) {
  Source::Get().Configure("eMixedCaptureWave", {SourceKind::Loopback, 0, 0, "eLineOutWave", {}});
  File out = Open("eLineOutWave");
  File in = Open("eMixedCaptureWave");
  const PinCreate create = MakeCreate(0, Wave(2, 48000, 16));
  File render, capture;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(out.get(), &create, sizeof(create), &render));
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(in.get(), &create, sizeof(create), &capture));
  RtBuffer rb = AllocateBuffer(render.get(), 4096);
  RtBuffer cb = AllocateBuffer(capture.get(), 4096);
  ASSERT_EQ(STATUS_SUCCESS, rb.status);
  ASSERT_EQ(STATUS_SUCCESS, cb.status);
  WriteRamp(static_cast<uint8_t*>(rb.buffer.BufferAddress), 0, 1024, 0);
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, RegisterEvent(capture.get(), event.get()));
  ASSERT_EQ(STATUS_SUCCESS, SetState(render.get(), KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, SetState(capture.get(), KSSTATE_RUN));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 1000));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 1000));
  const auto* captured = static_cast<const int16_t*>(cb.buffer.BufferAddress);
  for (int i = 0; i < 2048; ++i) ASSERT_EQ(static_cast<int16_t>(i), captured[i]) << i;
  EXPECT_EQ(STATUS_SUCCESS, SetState(capture.get(), KSSTATE_STOP));
  EXPECT_EQ(STATUS_SUCCESS, SetState(render.get(), KSSTATE_STOP));
}

TEST_F(KsDriverTest, StatesAreWalkedAndRefusedByTheProfile) {
  BootWith(R"("faults": {"pin_states": [{"filter": "eLineOutWave", "state": "pause", "status": "0xC0000185"}]})");
  File f = Open("eLineOutWave");
  const PinCreate create = MakeCreate(0, Wave(2, 48000, 16));
  File pin;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &create, sizeof(create), &pin));
  ASSERT_EQ(STATUS_SUCCESS, AllocateBuffer(pin.get(), 4096).status);
  EXPECT_EQ(static_cast<NTSTATUS>(0xC0000185), SetState(pin.get(), KSSTATE_RUN));
  KSPROPERTY p = Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET);
  ULONG state = 9;
  EXPECT_EQ(STATUS_SUCCESS, Ioctl(pin.get(), &p, sizeof(p), &state, 4).status);
  EXPECT_EQ(1u, state);  // it stopped at ACQUIRE on the way
}

TEST_F(KsDriverTest, BufferFaultsAndPolicy) {
  BootWith(R"("faults": {"buffer": {"resize_to": 6000}})");
  File f = Open("eLineOutWave");
  const PinCreate create = MakeCreate(0, Wave(2, 48000, 16));
  File pin;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &create, sizeof(create), &pin));
  RtBuffer b = AllocateBuffer(pin.get(), 4096);
  EXPECT_EQ(STATUS_SUCCESS, b.status);
  EXPECT_EQ(6000u, b.buffer.ActualBufferSize);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, AllocateBuffer(pin.get(), 4096, 3).status);
  pin.reset();
  f.reset();
  BootWith(R"("faults": {"buffer": {"refuse": true}})");
  File g = Open("eLineOutWave");
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(g.get(), &create, sizeof(create), &pin));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, AllocateBuffer(pin.get(), 4096).status);
}

TEST_F(KsDriverTest, RequestFaultsFailOrPend) {
  BootWith(R"("faults": {"requests": [
      {"set": "KSPROPSETID_Pin", "id": 2, "action": "fail", "status": "0xC0000001"},
      {"set": "KSPROPSETID_Pin", "id": 7, "filter": "eLineOutWave", "action": "pend", "pend_ms": 5}]})");
  File f = Open("eLineOutWave");
  ULONG value = 0;
  EXPECT_EQ(static_cast<NTSTATUS>(0xC0000001), Get(f.get(), PinProperty(KSPROPERTY_PIN_DATAFLOW, 0), &value).status);
  const sim::Nanos before = machine_.Now();
  Answer a = Get(f.get(), PinProperty(KSPROPERTY_PIN_COMMUNICATION, 0), &value);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(1u, value);
  EXPECT_EQ(before + 5 * sim::kMillisecond, machine_.Now());
  File other = Open("eLineInWave");
  EXPECT_EQ(STATUS_SUCCESS, Get(other.get(), PinProperty(KSPROPERTY_PIN_COMMUNICATION, 0), &value).status);
  EXPECT_EQ(before + 5 * sim::kMillisecond, machine_.Now());
}

TEST_F(KsDriverTest, NotificationFaultsDropEveryThird) {
  BootWith(R"("faults": {"notifications": {"drop_every": 3}})");
  File f = Open("eLineOutWave");
  const PinCreate create = MakeCreate(0, Wave(2, 48000, 16));
  File pin;
  ASSERT_EQ(STATUS_SUCCESS, OpenPin(f.get(), &create, sizeof(create), &pin));
  ASSERT_EQ(STATUS_SUCCESS, AllocateBuffer(pin.get(), 3840).status);
  Handle event(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, RegisterEvent(pin.get(), event.get()));
  ASSERT_EQ(STATUS_SUCCESS, SetState(pin.get(), KSSTATE_RUN));
  machine_.RunFor(90 * sim::kMillisecond);
  ASSERT_EQ(STATUS_SUCCESS, SetState(pin.get(), KSSTATE_STOP));
  PinCounters c = PinStatistics::Get().Counters("eLineOutWave", 0);
  EXPECT_EQ(6u, c.notificationsSignalled);
  EXPECT_EQ(3u, c.notificationsDropped);
}

}  // namespace
