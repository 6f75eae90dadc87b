// OraFilt in the codec's device stack: dispatch, completion, cancel, removal,
// power, codec identification, coefficients, the bus component, the format
// check and the completion edits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "filter/orafilt_props.h"
#include "platform/ks.h"
#include "sim/kernel/kernel.h"
#include "tests/filter/harness.h"

using namespace filter_test;

namespace {

constexpr ULONG kIoctlKsProperty = CTL_CODE(FILE_DEVICE_KS, 0, METHOD_NEITHER, 0);
constexpr ULONG kTagPcNw = sim::kernel::PoolTag("PcNw");
constexpr ULONG kTagAF00 = sim::kernel::PoolTag("AF00");

class FilterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    stack_.reset();
    EXPECT_EQ(std::vector<std::string>(), TakeStackProblems());
    sim::kernel::Verifier::Get().CheckForLeaks();
    const auto violations = sim::kernel::Verifier::Get().Take();
    EXPECT_TRUE(violations.empty()) << sim::kernel::Verifier::Format(violations);
    EXPECT_EQ(0u, sim::kernel::PoolUsageByTag(kTagPcNw).blocks);
    EXPECT_EQ(0u, sim::kernel::PoolUsageByTag(kTagAF00).blocks);
  }
  void Build(sim::card::CodecProfile codec = DefaultCodec()) {
    stack_ = std::make_unique<Stack>(std::move(codec));
    ASSERT_EQ(STATUS_SUCCESS, stack_->start_status());
  }
  // The first create: identification runs.
  NTSTATUS Create(TestFile& file) {
    Request r(stack_->top());
    r.stack()->MajorFunction = IRP_MJ_CREATE;
    r.stack()->FileObject = &file.file;
    r.Send();
    EXPECT_TRUE(r.completed());
    return r.status();
  }
  struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
    bool reached_lower;
  };
  // One IOCTL_KS_PROPERTY (METHOD_NEITHER) on `file`.
  Answer Property(TestFile& file, const GUID& set, ULONG id, ULONG flags, std::vector<UCHAR>& value,
                  ULONG output_length, ULONG input_length = sizeof(KSPROPERTY)) {
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    const std::size_t before = Lower().majors.size();
    Request r(stack_->top());
    r.stack()->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    r.stack()->FileObject = &file.file;
    r.stack()->Parameters.DeviceIoControl.IoControlCode = kIoctlKsProperty;
    r.stack()->Parameters.DeviceIoControl.InputBufferLength = input_length;
    r.stack()->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    r.stack()->Parameters.DeviceIoControl.Type3InputBuffer = &property;
    r.irp()->UserBuffer = value.empty() ? nullptr : value.data();
    r.Send();
    EXPECT_TRUE(r.completed());
    return {r.status(), r.information(), Lower().majors.size() > before};
  }
  std::unique_ptr<Stack> stack_;
};

std::vector<UCHAR> Ulong(ULONG v) {
  std::vector<UCHAR> bytes(4);
  std::memcpy(bytes.data(), &v, 4);
  return bytes;
}

ULONG ReadUlong(const std::vector<UCHAR>& bytes, std::size_t offset = 0) {
  ULONG v;
  std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

// ---------------------------------------------------------------------------
// Dispatch, completion, cancel, removal, power.

TEST_F(FilterTest, AttachesAboveTheFunctionDriverAndPassesRequestsDown) {
  Build();
  CCodecFilter* filter = stack_->filter();
  ASSERT_NE(nullptr, filter);
  EXPECT_EQ(0u, stack_->top()->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_NE(0u, stack_->top()->Flags & DO_POWER_PAGABLE);
  EXPECT_TRUE(filter->BusInterfaceValid());
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SET_SECURITY}) {
    SCOPED_TRACE(major);
    Lower().majors.clear();
    Request r(stack_->top());
    r.stack()->MajorFunction = major;
    EXPECT_EQ(STATUS_SUCCESS, r.Send());
    EXPECT_TRUE(r.completed());
    ASSERT_EQ(1u, Lower().majors.size());
    EXPECT_EQ(major, Lower().majors[0]);
  }
}

TEST_F(FilterTest, WhileInitialisingRequestsGoDownUnchangedAndUncounted) {
  Build();
  PDEVICE_OBJECT top = stack_->top();
  top->Flags |= DO_DEVICE_INITIALIZING;
  bool skipped = false;
  Lower().handler = [&](PDEVICE_OBJECT, PIRP irp) {
    // The sender's own location reaches the driver below: no completion of the filter's.
    skipped = IoGetCurrentIrpStackLocation(irp)->CompletionRoutine != FilterCompletion && !irp->CancelRoutine;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  Request r(top);
  r.stack()->MajorFunction = IRP_MJ_READ;
  EXPECT_EQ(STATUS_SUCCESS, r.Send());
  top->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_TRUE(r.completed());
  EXPECT_TRUE(skipped);
  // Forwarded normally, the filter's completion sits below the sender's location.
  Request counted(top);
  counted.stack()->MajorFunction = IRP_MJ_READ;
  counted.Send();
  EXPECT_FALSE(skipped);
}

TEST_F(FilterTest, RemoveWaitsForOutstandingRequestsAndRefusesNewOnes) {
  Build();
  PDEVICE_OBJECT top = stack_->top();
  CCodecFilter* filter = stack_->filter();
  Request pending(top);
  pending.stack()->MajorFunction = IRP_MJ_WRITE;
  Lower().pendNext = true;
  ASSERT_EQ(STATUS_PENDING, pending.Send());
  ASSERT_EQ(1u, Lower().pending.size());

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    stack_->Remove();
    removed = true;
  });
  while (!filter->Removed()) std::this_thread::yield();
  // The remove has gone down and now waits for the pending request.
  Request late(top);
  late.stack()->MajorFunction = IRP_MJ_CREATE;
  late.irp()->IoStatus.Information = 9;
  EXPECT_EQ(STATUS_DELETE_PENDING, late.Send());
  EXPECT_TRUE(late.completed());
  EXPECT_EQ(STATUS_DELETE_PENDING, late.status());
  EXPECT_EQ(0u, late.information());
  EXPECT_FALSE(removed.load());

  CompletePending(Lower().pending.front(), STATUS_SUCCESS, 1);
  Lower().pending.clear();
  remover.join();
  EXPECT_TRUE(removed.load());
  EXPECT_TRUE(pending.completed());
}

TEST_F(FilterTest, ShadowRequestCarriesASenderWithTooFewStackLocations) {
  Build();
  for (bool pend : {false, true}) {
    SCOPED_TRACE(pend);
    TestFile file(u"\\eLineOutWave");
    Request r(stack_->top(), 1);
    r.stack()->MajorFunction = IRP_MJ_READ;
    r.stack()->FileObject = &file.file;
    Lower().pendNext = pend;
    Lower().handler = [](PDEVICE_OBJECT, PIRP irp) {
      irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
      irp->IoStatus.Information = 12;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_BUFFER_OVERFLOW;
    };
    const NTSTATUS sent = r.Send();
    if (pend) {
      EXPECT_EQ(STATUS_PENDING, sent);
      EXPECT_FALSE(r.completed());
      ASSERT_EQ(1u, Lower().pending.size());
      PIRP shadow = Lower().pending.front();
      Lower().pending.clear();
      EXPECT_NE(r.irp(), shadow);
      CompletePending(shadow, STATUS_BUFFER_OVERFLOW, 12);
    }
    ASSERT_TRUE(r.completed());
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, r.status());
    EXPECT_EQ(12u, r.information());
    EXPECT_EQ(pend, r.pending_returned());
  }
}

TEST_F(FilterTest, ShadowAllocationFailureCompletesWithInsufficientResources) {
  Build();
  Request r(stack_->top(), 1);
  r.stack()->MajorFunction = IRP_MJ_READ;
  r.irp()->IoStatus.Information = 5;
  Lower().majors.clear();
  sim::kernel::FailNextIrpAllocations(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.Send());
  EXPECT_TRUE(r.completed());
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, r.status());
  EXPECT_EQ(5u, r.information());
  EXPECT_TRUE(Lower().majors.empty());
}

TEST_F(FilterTest, PendingRequestCompletesLaterAndHoldsTheRemoveBack) {
  Build();
  Request r(stack_->top());
  r.stack()->MajorFunction = IRP_MJ_WRITE;
  Lower().pendNext = true;
  EXPECT_EQ(STATUS_PENDING, r.Send());
  EXPECT_FALSE(r.completed());
  ASSERT_EQ(1u, Lower().pending.size());
  CompletePending(Lower().pending.front(), STATUS_SUCCESS, 3);
  Lower().pending.clear();
  EXPECT_TRUE(r.completed());
  EXPECT_TRUE(r.pending_returned());
  EXPECT_EQ(3u, r.information());
  EXPECT_EQ(STATUS_SUCCESS, stack_->Remove());
}

TEST_F(FilterTest, CancelBeforeTheClaimCompletesWithCancelled) {
  Build();
  CCodecFilter* filter = stack_->filter();
  // The request as the dispatch leaves it before its handler runs: counted,
  // at the filter's stack location, with the cancel routine set.
  for (bool pass_down : {false, true}) {
    SCOPED_TRACE(pass_down);
    Lower().majors.clear();
    Request r(stack_->top());
    r.stack()->MajorFunction = IRP_MJ_READ;
    ASSERT_TRUE(filter->AcquireIoCount());
    IoSetNextIrpStackLocation(r.irp());
    IoGetCurrentIrpStackLocation(r.irp())->DeviceObject = stack_->top();
    IoSetCancelRoutine(r.irp(), FilterCancel);
    EXPECT_TRUE(IoCancelIrp(r.irp()));
    EXPECT_TRUE(r.completed());
    EXPECT_EQ(STATUS_CANCELLED, r.status());
    // The handler that comes too late leaves the request alone.
    EXPECT_EQ(STATUS_CANCELLED, filter->ForwardWithCompletion(r.irp()));
    EXPECT_TRUE(Lower().majors.empty());
  }
}

TEST_F(FilterTest, PowerToD0ConfiguresTheBusLinkAfterTheLowerDriver) {
  Build();
  struct Case {
    POWER_STATE_TYPE type;
    ULONG state;
    bool configures;
  };
  const Case cases[] = {{DevicePowerState, PowerDeviceD3, false},
                        {SystemPowerState, PowerSystemWorking, false},
                        {DevicePowerState, PowerDeviceD0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    Kvlnk().writes.clear();
    Request r(stack_->top());
    r.stack()->MajorFunction = IRP_MJ_POWER;
    r.stack()->MinorFunction = IRP_MN_SET_POWER;
    r.stack()->Parameters.Power.Type = c.type;
    if (c.type == DevicePowerState)
      r.stack()->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
    else
      r.stack()->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(c.state);
    r.irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
    r.Send();
    EXPECT_TRUE(r.completed());
    EXPECT_EQ(c.configures, !Kvlnk().writes.empty());
  }
}

TEST_F(FilterTest, FirstCreateIdentifiesTheCodecOnce) {
  Build();
  CCodecFilter* filter = stack_->filter();
  EXPECT_EQ(-1, filter->BusType());
  TestFile file(u"\\eLineOutWave");
  EXPECT_EQ(STATUS_SUCCESS, Create(file));
  EXPECT_EQ(1u, filter->Identified());
  EXPECT_EQ(2, filter->BusType());
  EXPECT_EQ(0x10ECu, filter->VendorId());
  EXPECT_EQ(0x1220u, filter->DeviceId());
  EXPECT_EQ(1u, filter->FunctionGroupNode());
  const int queries = Bus().interfaceQueries;
  EXPECT_EQ(STATUS_SUCCESS, Create(file));
  EXPECT_EQ(queries, Bus().interfaceQueries);
}

TEST_F(FilterTest, CreateOnMixedCaptureWaveOpensTheCaptureAmplifierEveryTime) {
  Build();
  TestFile line(u"\\eLineOutWave");
  Create(line);
  for (int i = 0; i < 2; ++i) {
    Bus().codec->ClearVerbLog();
    TestFile mixed(u"\\EMIXEDCAPTUREWAVE");
    Create(mixed);
    const auto log = Bus().codec->VerbLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(0x00837027u, log[0].command);
  }
  Bus().codec->ClearVerbLog();
  Create(line);
  EXPECT_TRUE(Bus().codec->VerbLog().empty());
}

// ---------------------------------------------------------------------------
// Codec identification, the bus link and the coefficients.

TEST_F(FilterTest, IdentificationFallsBackToTheSecondInterfaceVersion) {
  Build();
  Bus().refuseV1 = true;
  Kvlnk().writes.clear();
  TestFile file(u"\\eLineOutWave");
  Create(file);
  EXPECT_EQ(2, stack_->filter()->BusType());
  EXPECT_EQ(0x1220u, stack_->filter()->DeviceId());
  // The fallback does not configure the bus link.
  EXPECT_TRUE(Kvlnk().writes.empty());
}

TEST_F(FilterTest, IdentificationTakesTheFirstAudioFunctionGroup) {
  auto codec = DefaultCodec();
  sim::card::FunctionGroupProfile modem;
  modem.node = 1;
  modem.type = 2;
  for (auto& g : codec.functionGroups) ++g.node;
  codec.functionGroups.insert(codec.functionGroups.begin(), modem);
  // Node ids of the widgets stay; only the group nodes move.
  Build(codec);
  TestFile file(u"\\eLineOutWave");
  Create(file);
  EXPECT_EQ(2, stack_->filter()->BusType());
  EXPECT_EQ(2u, stack_->filter()->FunctionGroupNode());
}

TEST_F(FilterTest, CodecWithoutSubordinateNodesStaysUnidentifiedButConfiguresTheLink) {
  auto codec = DefaultCodec();
  codec.functionGroups.clear();
  Build(codec);
  TestFile file(u"\\eLineOutWave");
  Create(file);
  EXPECT_EQ(-1, stack_->filter()->BusType());
  EXPECT_FALSE(Kvlnk().writes.empty());
}

TEST_F(FilterTest, Register1CGetsItsBitsSet) {
  struct Case {
    ULONG before;
    std::vector<ULONG> written;
  };
  const Case cases[] = {
      {0x00881234, {0x00881234}}, {0x12345678, {0x12885678, 0x12885678}}, {0x00801234, {0x00881234, 0x00881234}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    Build();
    Kvlnk().registers[0x1C] = c.before;
    Kvlnk().writes.clear();
    TestFile file(u"\\eLineOutWave");
    Create(file);
    std::vector<ULONG> written;
    for (auto& [index, value] : Kvlnk().writes) {
      EXPECT_EQ(0x1Cu, index);
      written.push_back(value);
    }
    // Written back once when already set: the second write is the unconditional one.
    if (c.written.size() == 1) {
      EXPECT_EQ(std::vector<ULONG>({c.before}), written);
    } else {
      EXPECT_EQ(c.written, written);
    }
    stack_.reset();
  }
}

TEST_F(FilterTest, DsdModesProgramTheirCoefficientSets) {
  struct Case {
    ULONG mode;
    std::vector<USHORT> values;
    bool mute;
  };
  const Case cases[] = {{0, {0x0660, 0x5757, 0x3005, 0xFA00, 0xC080}, false},
                        {1, {0x1860, 0x5757, 0x3C05, 0xFA18, 0xC080}, false},
                        {2, {0x1860, 0x5757, 0x7C05, 0xFA18, 0xD080}, false},
                        {3, {0x1860, 0x5757, 0xBC05, 0xFA18, 0xE080}, true},
                        {7, {0x0660, 0x5757, 0x3005, 0xFA00, 0xC080}, false}};
  const USHORT indexes[] = {0x15, 0x41, 0x43, 0x44, 0x45};
  Build();
  TestFile file(u"\\eLineOutWave");
  Create(file);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Bus().codec->ClearVerbLog();
    auto value = Ulong(c.mode);
    const Answer a = Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_DSD, KSPROPERTY_TYPE_SET, value, 4);
    EXPECT_EQ(STATUS_SUCCESS, a.status);
    EXPECT_EQ(0u, a.information);
    EXPECT_FALSE(a.reached_lower);
    const auto log = Bus().codec->VerbLog();
    ASSERT_EQ(25u, log.size());
    for (int row = 0; row < 5; ++row) {
      EXPECT_EQ(0x02050000u | indexes[row], log[row * 5].command);
      EXPECT_EQ(0x02040000u | c.values[row], log[row * 5 + 1].command);
      EXPECT_EQ(0x020C0000u, log[row * 5 + 3].command);
      EXPECT_EQ(c.mute ? 0x00D37080u : 0x00D37000u, log[row * 5 + 4].command);
      EXPECT_EQ(c.values[row], Bus().codec->Coefficient(0x20, indexes[row]));
      EXPECT_EQ(c.values[row], g_DsdCoefficients[row].Current);
    }
  }
}

TEST_F(FilterTest, CodecVerbPropertyAnswersOrFailsDefinedly) {
  Build();
  TestFile file(u"\\eLineOutWave");
  Create(file);
  auto value = Ulong(0x000F0000);
  Answer a =
      Property(file, KSPROPSETID_OraFiltCodec, KSPROPERTY_ORAFILTCODEC_VERB, KSPROPERTY_TYPE_BASICSUPPORT, value, 4);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_EQ(4u, a.information);
  EXPECT_EQ(0x10EC1220u, ReadUlong(value));
  // A failed transfer is reported, and the value stays as sent.
  Bus().failTransfersFrom = Bus().transferCalls + 1;
  value = Ulong(0x000F0000);
  a = Property(file, KSPROPSETID_OraFiltCodec, KSPROPERTY_ORAFILTCODEC_VERB, KSPROPERTY_TYPE_BASICSUPPORT, value, 4);
  EXPECT_EQ(Bus().failStatus, a.status);
  EXPECT_EQ(0u, a.information);
  EXPECT_EQ(0x000F0000u, ReadUlong(value));
  // Without the flag the request is not ours.
  a = Property(file, KSPROPSETID_OraFiltCodec, KSPROPERTY_ORAFILTCODEC_VERB, KSPROPERTY_TYPE_GET, value, 4);
  EXPECT_TRUE(a.reached_lower);
}

TEST_F(FilterTest, CodecVerbWithoutBusInterfaceIsDeviceNotReady) {
  Bus().refuseV2 = true;
  Build();
  EXPECT_FALSE(stack_->filter()->BusInterfaceValid());
  TestFile file(u"\\eLineOutWave");
  auto value = Ulong(0x000F0000);
  const Answer a =
      Property(file, KSPROPSETID_OraFiltCodec, KSPROPERTY_ORAFILTCODEC_VERB, KSPROPERTY_TYPE_BASICSUPPORT, value, 4);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, a.status);
  EXPECT_EQ(0u, a.information);
  EXPECT_EQ(0x000F0000u, ReadUlong(value));
}

TEST_F(FilterTest, BusDwordReadsWritesAndRefusesOutOfBlockOffsets) {
  Build();
  TestFile file(u"\\eLineOutWave");
  struct Case {
    ULONG write, selector, offset, value;
    ULONG expected;
    bool touches;
  };
  Kvlnk().control[0x10] = 0x44;
  const Case cases[] = {
      {0, 0, 0x10, 0x99, 0x44, false}, {1, 0, 0x20, 0xABCD, 0xABCD, true}, {1, 1, 0xFFC, 0x1234, 0x1234, true},
      {1, 1, 0xFFD, 0x1234, 0, false}, {1, 0, 0x1000, 7, 0, false},        {1, 0, 0xFFFFFFFF, 7, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    const auto control = Kvlnk().control;
    const auto aux = Kvlnk().aux;
    std::vector<UCHAR> value(16 + 4, 0xEE);
    const ULONG words[4] = {c.write, c.selector, c.offset, c.value};
    std::memcpy(value.data(), words, 16);
    const Answer a = Property(file, KSPROPSETID_OraFiltCodec, KSPROPERTY_ORAFILTCODEC_BUSDWORD,
                              KSPROPERTY_TYPE_BASICSUPPORT, value, 16);
    EXPECT_EQ(STATUS_SUCCESS, a.status);
    EXPECT_EQ(16u, a.information);
    EXPECT_EQ(c.expected, ReadUlong(value, 12));
    EXPECT_EQ(0xEEu, value[16]);
    if (!c.touches) {
      EXPECT_EQ(control, Kvlnk().control);
      EXPECT_EQ(aux, Kvlnk().aux);
    }
  }
}

// ---------------------------------------------------------------------------
// The private set, the format check and the completion edits.

TEST_F(FilterTest, PresentAnswersOnEveryFilterEvenBeforeIdentification) {
  Build();
  for (const char16_t* name : {u"\\eLineOutWave", u"\\eLineInWave", u"\\espdifoutwave", u"\\eLineOutWave\\pin"}) {
    TestFile file(name);
    std::vector<UCHAR> value(8, 0xEE);
    const Answer a = Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_PRESENT, KSPROPERTY_TYPE_GET, value, 4);
    EXPECT_EQ(STATUS_SUCCESS, a.status);
    EXPECT_EQ(4u, a.information);
    EXPECT_EQ(1u, ReadUlong(value));
    EXPECT_EQ(0xEEu, value[4]);
    EXPECT_FALSE(a.reached_lower);
  }
  TestFile file(u"\\eLineOutWave");
  std::vector<UCHAR> small(2, 0xEE);
  EXPECT_TRUE(
      Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_PRESENT, KSPROPERTY_TYPE_GET, small, 2).reached_lower);
  EXPECT_EQ(0xEEu, small[0]);
  // A property header shorter than a KSPROPERTY is not examined.
  std::vector<UCHAR> value(4, 0);
  EXPECT_TRUE(
      Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_PRESENT, KSPROPERTY_TYPE_GET, value, 4, 20).reached_lower);
}

void SetCapability(FilterTest*, PDEVICE_OBJECT top, bool capable) {
  Kvlnk().control[0x300] = capable ? 0 : 0x10;
  Request r(top);
  r.stack()->MajorFunction = IRP_MJ_POWER;
  r.stack()->MinorFunction = IRP_MN_SET_POWER;
  r.stack()->Parameters.Power.Type = DevicePowerState;
  r.stack()->Parameters.Power.State.DeviceState = PowerDeviceD0;
  r.Send();
}

TEST_F(FilterTest, DsdAnswerOnlyOnTheLineOutOfADsdCapable1220) {
  Build();
  TestFile first(u"\\eLineInWave");
  Create(first);
  struct Case {
    const char16_t* name;
    bool capable;
    ULONG expected;
  };
  const Case cases[] = {{u"\\eLineOutWave", true, 1},
                        {u"\\ELINEOUTWAVE", true, 1},
                        {u"\\eLineInWave", true, 0},
                        {u"\\eLineOutWave", false, 0},
                        {u"\\espdifoutwave", true, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    SetCapability(this, stack_->top(), c.capable);
    EXPECT_EQ(c.capable ? 1u : 0u, stack_->filter()->DsdCapable());
    TestFile file(c.name);
    std::vector<UCHAR> value = Ulong(0xEEEEEEEE);
    const Answer a = Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_DSD, KSPROPERTY_TYPE_GET, value, 4);
    EXPECT_EQ(STATUS_SUCCESS, a.status);
    EXPECT_EQ(4u, a.information);
    EXPECT_EQ(c.expected, ReadUlong(value));
  }
}

TEST_F(FilterTest, DsdAnswerIsZeroOnOtherCodecs) {
  Build(Codec0899());
  TestFile file(u"\\eLineOutWave");
  Create(file);
  EXPECT_EQ(0u, stack_->filter()->DsdCapable());
  std::vector<UCHAR> value = Ulong(7);
  EXPECT_EQ(STATUS_SUCCESS,
            Property(file, KSPROPSETID_OraFilt, KSPROPERTY_ORAFILT_DSD, KSPROPERTY_TYPE_GET, value, 4).status);
  EXPECT_EQ(0u, ReadUlong(value));
}

// A proposal: KSDATAFORMAT and WAVEFORMATEXTENSIBLE.
std::vector<UCHAR> Proposal(ULONG channels, ULONG rate, ULONG bits, DWORD mask, ULONG format_size = 104) {
  std::vector<UCHAR> bytes(104, 0);
  KSDATAFORMAT format{};
  format.FormatSize = format_size;
  format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE wave{};
  wave.Format.nChannels = static_cast<WORD>(channels);
  wave.Format.nSamplesPerSec = rate;
  wave.Format.wBitsPerSample = 32;
  wave.Samples.wValidBitsPerSample = static_cast<WORD>(bits);
  wave.dwChannelMask = mask;
  std::memcpy(bytes.data(), &format, sizeof(format));
  std::memcpy(bytes.data() + 64, &wave, sizeof(wave));
  return bytes;
}

TEST_F(FilterTest, FormatCheckOfBothCodecs) {
  struct Case {
    bool is1220;
    bool capable;
    const char16_t* name;
    ULONG channels, rate, bits;
    DWORD mask;
    bool rejected;
  };
  const Case cases[] = {
      {true, true, u"\\eLineOutWave", 2, 176400, 24, 3, true},
      {true, true, u"\\eLineInWave", 2, 176400, 24, 3, false},
      {true, false, u"\\eLineOutWave", 8, 48000, 24, 0xFF, true},
      {true, true, u"\\eLineOutWave", 8, 48000, 24, 0xFF, false},
      {true, true, u"\\eLineOutWave", 6, 48000, 24, 0x60F, true},
      {true, true, u"\\eLineOutWave", 6, 48000, 24, 0x3F, false},
      {true, true, u"\\eLineOutWave", 4, 48000, 16, 0x33, true},
      {true, true, u"\\eLineInWave", 2, 48000, 32, 3, true},
      {true, true, u"\\eMixedCaptureWave", 2, 192000, 16, 3, true},
      {true, true, u"\\eLineOutWave", 2, 192000, 16, 3, false},
      {false, false, u"\\eSlavedHpLineOutWave", 2, 192000, 24, 3, false},
      {false, false, u"\\eDuplicatedHpLineOutWave", 2, 192000, 24, 3, false},
      {false, false, u"\\eLineOutWave", 2, 192000, 24, 3, true},
      {false, false, u"\\eSlavedHpLineOutWave", 4, 192000, 24, 0x33, true},
      {false, false, u"\\eLineOutWave", 6, 48000, 24, 0x60F, true},
      {false, false, u"\\eLineOutWave", 2, 96000, 32, 3, false},
  };
  for (bool is1220 : {true, false}) {
    Build(is1220 ? DefaultCodec() : Codec0899());
    TestFile first(u"\\eLineInWave");
    Create(first);
    for (const Case& c : cases) {
      if (c.is1220 != is1220) continue;
      SCOPED_TRACE(testing::Message() << c.channels << " ch " << c.rate << " Hz " << c.bits << " bits");
      if (is1220) SetCapability(this, stack_->top(), c.capable);
      TestFile file(c.name);
      auto value = Proposal(c.channels, c.rate, c.bits, c.mask);
      const Answer a = Property(file, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, value,
                                static_cast<ULONG>(value.size()));
      EXPECT_EQ(c.rejected ? STATUS_NO_MATCH : STATUS_SUCCESS, a.status);
      EXPECT_EQ(!c.rejected, a.reached_lower);
      EXPECT_EQ(0u, a.information);
    }
    // Too short to hold the extensible format, or a plain WAVEFORMATEX: never rejected.
    TestFile file(u"\\eLineOutWave");
    auto value = Proposal(4, 48000, 16, 0x33);
    EXPECT_TRUE(Property(file, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, value, 64)
                    .reached_lower);
    value = Proposal(4, 48000, 16, 0x33, 82);
    EXPECT_TRUE(Property(file, KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, value, 104)
                    .reached_lower);
    stack_.reset();
  }
}

// The lower driver's data-range answer: a header and two audio ranges.
std::vector<UCHAR> Ranges(ULONG channels, ULONG bits, ULONG rate) {
  std::vector<UCHAR> bytes(8 + 2 * 88, 0);
  const KSMULTIPLE_ITEM header{static_cast<ULONG>(bytes.size()), 2};
  std::memcpy(bytes.data(), &header, sizeof(header));
  for (int i = 0; i < 2; ++i) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(range);
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = 44100;
    range.MaximumSampleFrequency = rate;
    std::memcpy(bytes.data() + 8 + i * 88, &range, sizeof(range));
  }
  return bytes;
}

TEST_F(FilterTest, CompletionNarrowsTheFirstDataRangeAndTheSpdifPinCount) {
  struct Case {
    bool is1220;
    bool capable;
    const char16_t* name;
    ULONG channels, bits, rate;
    ULONG out_channels, out_bits, out_rate;
  };
  const Case cases[] = {
      {true, false, u"\\eLineOutWave", 8, 32, 192000, 6, 24, 192000},
      {true, true, u"\\eLineOutWave", 8, 32, 192000, 8, 24, 192000},
      {true, true, u"\\eMixedCaptureWave", 2, 24, 192000, 2, 24, 96000},
      {false, false, u"\\eLineOutWave", 2, 32, 192000, 2, 32, 96000},
      {false, false, u"\\eLineOutWave", 6, 32, 192000, 6, 32, 192000},
  };
  for (bool is1220 : {true, false}) {
    Build(is1220 ? DefaultCodec() : Codec0899());
    TestFile first(u"\\eLineInWave");
    Create(first);
    for (const Case& c : cases) {
      if (c.is1220 != is1220) continue;
      SCOPED_TRACE(testing::Message() << c.channels << " ch " << c.rate << " Hz");
      if (is1220) SetCapability(this, stack_->top(), c.capable);
      const auto answer = Ranges(c.channels, c.bits, c.rate);
      Lower().handler = [&](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->UserBuffer, answer.data(), answer.size());
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = answer.size();
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
      };
      TestFile file(c.name);
      std::vector<UCHAR> value(answer.size() + 4, 0xEE);
      const Answer a = Property(file, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, value,
                                static_cast<ULONG>(answer.size()));
      EXPECT_EQ(STATUS_SUCCESS, a.status);
      EXPECT_EQ(answer.size(), a.information);
      KSDATARANGE_AUDIO first_range, second_range;
      std::memcpy(&first_range, value.data() + 8, sizeof(first_range));
      std::memcpy(&second_range, value.data() + 96, sizeof(second_range));
      EXPECT_EQ(c.out_channels, first_range.MaximumChannels);
      EXPECT_EQ(c.out_bits, first_range.MaximumBitsPerSample);
      EXPECT_EQ(c.out_rate, first_range.MaximumSampleFrequency);
      EXPECT_EQ(0, std::memcmp(answer.data() + 96, &second_range, sizeof(second_range)));
      EXPECT_EQ(0xEEu, value[answer.size()]);
    }
    // An answer shorter than one audio range is left as returned.
    const auto answer = Ranges(8, 32, 192000);
    Lower().handler = [&](PDEVICE_OBJECT, PIRP irp) {
      std::memcpy(irp->UserBuffer, answer.data(), 40);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 40;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    };
    TestFile file(u"\\eLineOutWave");
    std::vector<UCHAR> value(answer.size(), 0);
    Property(file, KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET, value,
             static_cast<ULONG>(value.size()));
    EXPECT_EQ(0, std::memcmp(answer.data(), value.data(), 40));
    EXPECT_EQ(0u, value[40]);
    stack_.reset();
  }

  // The S/PDIF output shows no pins on a 1220 without DSD.
  Build();
  TestFile first(u"\\eLineInWave");
  Create(first);
  Lower().handler = [](PDEVICE_OBJECT, PIRP irp) {
    const ULONG count = 3;
    std::memcpy(irp->UserBuffer, &count, 4);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  for (bool capable : {false, true}) {
    SetCapability(this, stack_->top(), capable);
    TestFile spdif(u"\\espdifoutwave");
    auto value = Ulong(0);
    Property(spdif, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET, value, 4);
    EXPECT_EQ(capable ? 3u : 0u, ReadUlong(value));
  }
}

TEST_F(FilterTest, DrmContentIdIsForwardedToTheFunctionDriver) {
  Build();
  TestFile file(u"\\eLineOutWave");
  std::vector<UCHAR> value(16, 0);
  value[0] = 42;
  Answer a =
      Property(file, KSPROPSETID_DrmAudioStream, KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_SET, value, 16);
  EXPECT_EQ(STATUS_SUCCESS, a.status);
  EXPECT_FALSE(a.reached_lower);
  ASSERT_EQ(1u, Drm().calls.size());
  EXPECT_EQ(42u, Drm().calls[0].first);
  EXPECT_EQ(stack_->filter()->LowerDeviceObject(), Drm().calls[0].second.DeviceObject);
  EXPECT_EQ(&file.file, Drm().calls[0].second.FileObject);
  EXPECT_EQ(&file.file, Drm().calls[0].second.Context);
  Drm().result = STATUS_NOT_SUPPORTED;
  a = Property(file, KSPROPSETID_DrmAudioStream, KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_SET, value, 16);
  EXPECT_TRUE(a.reached_lower);
}

}  // namespace
