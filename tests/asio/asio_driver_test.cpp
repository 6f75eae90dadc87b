// CAsio on the simulated card whose device paths carry vendor id 0x5A3C,
// driven directly and through the ASIO host library.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "host/asio_host.h"
#include "sim/card/audio_io.h"
#include "sim/machine.h"

namespace {

using ora::host::AsioHost;
using ora::host::RampSource;
using ora::host::StreamRequest;

constexpr sim::Nanos kLimit = 10'000'000'000;  // 10 s of virtual time

struct DriverDeleter {
  void operator()(CAsio* p) const { p->Release(); }
};
using DriverPtr = std::unique_ptr<CAsio, DriverDeleter>;

DriverPtr MakeDriver() {
  auto* p = new CAsio();
  p->AddRef();
  return DriverPtr(p);
}

class AsioDriverTest : public ::testing::Test {
 protected:
  void TearDown() override {
    sim::card::Sink::Get().Clear();
    sim::card::Source::Get().Clear();
  }
  sim::Machine machine_{sim::MachineOptions{.card_profile = "vendor_5a3c.json"}};
};

TEST_F(AsioDriverTest, InitFindsTheCardsChannelsAndNames) {
  DriverPtr d = MakeDriver();
  LONG in = -1, out = -1;
  EXPECT_EQ(ASE_OK, d->GetChannels(&in, &out));
  EXPECT_EQ(0, in);
  EXPECT_EQ(0, out);
  ASSERT_EQ(ASIOTrue, d->Init(nullptr));
  EXPECT_EQ(ASE_NotPresent, d->Init(nullptr));
  EXPECT_EQ(kAsioInitialized, d->State());
  ASSERT_EQ(ASE_OK, d->GetChannels(&in, &out));
  // Speakers (8) and headphones (2); the S/PDIF output is left out.
  EXPECT_EQ(10, out);
  EXPECT_EQ(4, in);

  const std::vector<std::string> outputs = {"Front L/R",  "Front L/R", "Rear L/R", "Rear L/R",       "Center/Sub",
                                            "Center/Sub", "Side L/R",  "Side L/R", "Headphones L/R", "Headphones L/R"};
  for (LONG c = 0; c < 10; ++c) {
    ASIOChannelInfo info{};
    info.channel = c;
    info.isInput = ASIOFalse;
    std::memset(info.name, 'x', sizeof(info.name));
    ASSERT_EQ(ASE_OK, d->GetChannelInfo(&info));
    EXPECT_EQ(outputs[c], info.name) << c;
    EXPECT_EQ(ASIOFalse, info.isActive);
    EXPECT_EQ(c < 8 ? 0 : 1, info.channelGroup) << c;
    EXPECT_EQ(ASIOSTInt32LSB, info.type);
  }
  // Both inputs of this card are also analog inputs; the later rule's name wins.
  const std::vector<std::string> inputs = {"Aux-In L/R", "Aux-In L/R", "Aux-In L/R", "Aux-In L/R"};
  for (LONG c = 0; c < 4; ++c) {
    ASIOChannelInfo info{};
    info.channel = c;
    info.isInput = ASIOTrue;
    ASSERT_EQ(ASE_OK, d->GetChannelInfo(&info));
    EXPECT_EQ(inputs[c], info.name) << c;
    EXPECT_EQ(c < 2 ? 0 : 1, info.channelGroup) << c;
  }
  // Beyond the channel count but below 50: accepted, empty.
  ASIOChannelInfo info{};
  info.channel = 49;
  ASSERT_EQ(ASE_OK, d->GetChannelInfo(&info));
  EXPECT_STREQ("", info.name);
  EXPECT_EQ(0, info.channelGroup);
  EXPECT_EQ(ASIOFalse, info.isActive);
}

TEST_F(AsioDriverTest, ArgumentErrorsGiveTheirCodesAndWriteNothing) {
  DriverPtr d = MakeDriver();
  ASSERT_EQ(ASIOTrue, d->Init(nullptr));
  constexpr LONG kGuard = 0x5A5A5A5A;
  LONG a = kGuard, b = kGuard, c = kGuard;
  EXPECT_EQ(ASE_InvalidParameter, d->GetChannels(nullptr, &a));
  EXPECT_EQ(ASE_InvalidParameter, d->GetChannels(&a, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, d->GetLatencies(&a, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, d->GetBufferSize(&a, &b, &c, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, d->GetBufferSize(nullptr, &a, &b, &c));
  EXPECT_EQ(ASE_InvalidParameter, d->GetSampleRate(nullptr));
  ASIOClockSource clock{};
  clock.index = kGuard;
  EXPECT_EQ(ASE_InvalidParameter, d->GetClockSources(&clock, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, d->GetClockSources(nullptr, &a));
  ASIOSamples pos{kGuard, kGuard};
  ASIOTimeStamp ts{kGuard, kGuard};
  EXPECT_EQ(ASE_InvalidParameter, d->GetSamplePosition(&pos, nullptr));
  EXPECT_EQ(ASE_InvalidParameter, d->GetSamplePosition(nullptr, &ts));
  EXPECT_EQ(ASE_InvalidParameter, d->GetChannelInfo(nullptr));
  for (LONG channel : {-1, 50, 1000}) {
    ASIOChannelInfo info{};
    info.channel = channel;
    std::memset(info.name, 'x', sizeof(info.name));
    info.isActive = kGuard;
    EXPECT_EQ(ASE_InvalidParameter, d->GetChannelInfo(&info));
    EXPECT_EQ(kGuard, info.isActive);
    EXPECT_EQ('x', info.name[0]);
  }
  EXPECT_EQ(kGuard, a);
  EXPECT_EQ(kGuard, b);
  EXPECT_EQ(kGuard, c);
  EXPECT_EQ(kGuard, clock.index);
  EXPECT_EQ(static_cast<ULONG>(kGuard), pos.hi);
  EXPECT_EQ(static_cast<ULONG>(kGuard), ts.lo);

  ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {nullptr, nullptr}}};
  ASIOCallbacks callbacks{};
  EXPECT_EQ(ASE_InvalidParameter, d->CreateBuffers(infos, 1, 256, &callbacks));  // no bufferSwitch
  EXPECT_EQ(ASE_InvalidParameter, d->CreateBuffers(nullptr, 1, 256, &callbacks));
  EXPECT_EQ(nullptr, infos[0].buffers[0]);
  EXPECT_EQ(kAsioInitialized, d->State());
}

TEST_F(AsioDriverTest, BufferSizesAndSampleRates) {
  DriverPtr d = MakeDriver();
  ASSERT_EQ(ASIOTrue, d->Init(nullptr));
  LONG mn = 0, mx = 0, pref = 0, gran = 0;
  EXPECT_EQ(ASE_OK, d->GetBufferSize(&mn, &mx, &pref, &gran));
  EXPECT_EQ(48, mn);
  EXPECT_EQ(4800, mx);
  EXPECT_GE(pref, 2400);
  EXPECT_EQ(pref / 50, gran);
  LONG in = 0, out = 0;
  EXPECT_EQ(ASE_OK, d->GetLatencies(&in, &out));
  EXPECT_EQ(pref, out);
  EXPECT_EQ(pref, in);
  EXPECT_EQ(ASE_OK, d->CanSampleRate(96000.0));
  EXPECT_EQ(ASE_NoClock, d->CanSampleRate(8000.0));
  EXPECT_EQ(ASE_NoClock, d->SetSampleRate(8000.0));
  double rate = 0;
  EXPECT_EQ(ASE_OK, d->GetSampleRate(&rate));
  EXPECT_EQ(48000.0, rate);
  ASIOClockSource clocks[2] = {};
  LONG n = 2;
  EXPECT_EQ(ASE_OK, d->GetClockSources(clocks, &n));
  EXPECT_EQ(1, n);
  EXPECT_STREQ("Internal Clock", clocks[0].name);
  EXPECT_EQ(-1, clocks[0].associatedChannel);
  EXPECT_EQ(ASE_OK, d->SetClockSource(0));
  EXPECT_EQ(ASE_NotPresent, d->SetClockSource(1));
  for (LONG s : {1, 2, 10, 11}) EXPECT_EQ(ASE_SUCCESS, d->Future(s, nullptr)) << s;
  for (LONG s : {0, 3}) EXPECT_EQ(ASE_NotPresent, d->Future(s, nullptr)) << s;
  EXPECT_EQ(ASE_NotPresent, d->OutputReady());
  char name[32];
  std::memset(name, 'x', sizeof(name));
  d->GetDriverName(name);
  EXPECT_STREQ("Calvex VN ORA ASIO", name);
  EXPECT_EQ(2, d->GetDriverVersion());
  char error[124];
  std::memset(error, 'x', sizeof(error));
  d->GetErrorMessage(error);
  EXPECT_STREQ("", error);
}

TEST_F(AsioDriverTest, QueryInterfaceAnswersForTheClassId) {
  DriverPtr d = MakeDriver();
  void* p = nullptr;
  ASSERT_EQ(S_OK, d->QueryInterface(CLSID_CAsio, &p));
  EXPECT_EQ(static_cast<IAsio*>(d.get()), p);
  static_cast<IAsio*>(p)->Release();
  ASSERT_EQ(S_OK, d->QueryInterface(IID_IAsio, &p));
  static_cast<IAsio*>(p)->Release();
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, d->QueryInterface(GUID_NULL, &p));
  EXPECT_EQ(nullptr, p);
}

// Every method with an entry condition, in each of the four states.
TEST_F(AsioDriverTest, StateTable) {
  struct Row {
    const char* method;
    ASIOError loaded, initialized, prepared, running;
  };
  const Row rows[] = {
      {"Init", ASIOTrue, ASE_NotPresent, ASE_NotPresent, ASE_NotPresent},
      {"CreateBuffers", ASE_NotPresent, ASE_OK, ASE_NotPresent, ASE_NotPresent},
      {"Start", ASE_NotPresent, ASE_NotPresent, ASE_OK, ASE_NotPresent},
      {"Stop", ASE_OK, ASE_OK, ASE_OK, ASE_OK},
      {"DisposeBuffers", ASE_InvalidMode, ASE_InvalidMode, ASE_OK, ASE_InvalidMode},
      {"ControlPanel", ASE_NotPresent, ASE_NotPresent, ASE_NotPresent, ASE_NotPresent},
      {"GetChannels", ASE_OK, ASE_OK, ASE_OK, ASE_OK},
      {"GetSamplePosition", ASE_OK, ASE_OK, ASE_OK, ASE_OK},
      {"Future", ASE_SUCCESS, ASE_SUCCESS, ASE_SUCCESS, ASE_SUCCESS},
  };
  static LONG switches = 0;
  ASIOCallbacks callbacks{};
  callbacks.bufferSwitch = [](LONG, ASIOBool) { ++switches; };
  for (const Row& row : rows) {
    for (LONG state = kAsioLoaded; state <= kAsioRunning; ++state) {
      DriverPtr d = MakeDriver();
      ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
      if (state >= kAsioInitialized) {
        ASSERT_EQ(ASIOTrue, d->Init(nullptr));
      }
      if (state >= kAsioPrepared) {
        ASSERT_EQ(ASE_OK, d->CreateBuffers(infos, 2, 480, &callbacks));
      }
      if (state >= kAsioRunning) {
        ASSERT_EQ(ASE_OK, d->Start());
      }
      ASSERT_EQ(state, d->State());
      const ASIOError expected = state == 0   ? row.loaded
                                 : state == 1 ? row.initialized
                                 : state == 2 ? row.prepared
                                              : row.running;
      const std::string m = row.method;
      ASIOError got = 0;
      ASIOBufferInfo more[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
      LONG a = 0, b = 0;
      ASIOSamples pos{};
      ASIOTimeStamp ts{};
      if (m == "Init") got = d->Init(nullptr);
      if (m == "CreateBuffers") got = d->CreateBuffers(more, 2, 480, &callbacks);
      if (m == "Start") got = d->Start();
      if (m == "Stop") got = d->Stop();
      if (m == "DisposeBuffers") got = d->DisposeBuffers();
      if (m == "ControlPanel") got = d->ControlPanel();
      if (m == "GetChannels") got = d->GetChannels(&a, &b);
      if (m == "GetSamplePosition") got = d->GetSamplePosition(&pos, &ts);
      if (m == "Future") got = d->Future(kAsioCanTimeInfo, nullptr);
      EXPECT_EQ(expected, got) << row.method << " in state " << state;
      // Take whatever was reached back down so the driver ends clean.
      d->Stop();
      d->DisposeBuffers();
    }
  }
  std::string leaks;
  for (const auto& l : machine_.Leaks()) leaks += l + "\n";
  EXPECT_TRUE(machine_.Leaks().empty()) << leaks;
}

// The card's line output plays exactly what the host wrote into outputs 0
// and 1, in pair mode at 24 bits in 32-bit containers.
TEST_F(AsioDriverTest, RenderReachesTheSinkUnchanged) {
  DriverPtr d = MakeDriver();
  AsioHost host(d.get());
  ASSERT_TRUE(host.Init(nullptr));
  ASSERT_TRUE(host.QueryDriver());
  constexpr LONG kN = 480;
  auto s = host.CreateBuffers(StreamRequest{{}, {0, 1}, kN});
  ASSERT_TRUE(s) << s.message;
  EXPECT_TRUE(d->Slot(0).master);
  EXPECT_TRUE(d->Slot(0).stream->PairMode());
  EXPECT_EQ(2, d->Slot(0).stream->Format().Format.nChannels);
  s = host.Start();
  ASSERT_TRUE(s) << s.message;
  ASSERT_TRUE(host.RunSwitches(40, kLimit));
  ASSERT_TRUE(host.Stop());
  const ULONG writeOffset = d->Slot(0).stream->WriteOffset();

  auto switches = host.Switches();
  ASSERT_GE(switches.size(), 40u);
  for (size_t i = 0; i < switches.size(); ++i) {
    EXPECT_EQ(static_cast<LONG>(i % 2), switches[i].index) << i;
    EXPECT_EQ(static_cast<int64_t>(kN) * static_cast<int64_t>(i + 1), switches[i].samplePosition) << i;
  }
  ASSERT_TRUE(host.DisposeBuffers());
  host.Close();

  // Start-up alignment: the two pre-roll periods (host frames 0..2N-1) sit
  // at cyclic frames 0..2N-1 and are played from device frame 0. At the
  // first notification the write offset is taken from the position
  // register, 0.85 of a period ahead of the hardware; from then on the host
  // frame 2N + j lands at device frame 2N - K + j with K = 2N - writeOffset
  // (mod 2N), so the device skips the last K frames of the second pre-roll.
  const sim::card::PlayedSegment played = sim::card::Sink::Get().Played("eLineOutWave");
  ASSERT_EQ(2u, played.format.channels);
  ASSERT_EQ(32u, played.format.containerBits);
  const uint64_t k = (2 * kN - writeOffset) % (2 * kN);
  EXPECT_EQ(static_cast<uint64_t>(15 * kN / 100), k);
  const uint64_t frames = played.frames;
  ASSERT_GE(frames, 30u * kN);
  // Every device frame carries a ramp sample of its own channel; the host
  // frames follow each other one by one except where the write offset is
  // taken from the hardware at start-up (device frame 2N - K, K frames
  // skipped); after that no period is lost or repeated.
  std::vector<uint64_t> jumps;
  int64_t previous = -1;
  uint64_t foreign = 0;
  for (uint64_t f = 0; f < 30u * kN; ++f) {
    const uint32_t left = static_cast<uint32_t>(played.Sample(f, 0));
    const uint32_t right = static_cast<uint32_t>(played.Sample(f, 1));
    const int64_t hostFrame = left & 0xFFFFFF;
    if (left != RampSource::Sample32(0, hostFrame) || right != RampSource::Sample32(1, hostFrame)) ++foreign;
    if (previous >= 0 && hostFrame != previous + 1) jumps.push_back(f);
    previous = hostFrame;
  }
  EXPECT_EQ(0u, foreign);
  ASSERT_FALSE(jumps.empty());
  EXPECT_EQ(2 * kN - k, jumps[0]);
  EXPECT_EQ(static_cast<uint32_t>(RampSource::Sample32(0, static_cast<int64_t>(2 * kN))),
            static_cast<uint32_t>(played.Sample(2 * kN - k, 0)));
  EXPECT_EQ(1u, jumps.size()) << "a period was lost or repeated at device frame " << jumps.back();
  d.reset();
  EXPECT_TRUE(machine_.Leaks().empty());
}

// Time info at every switch: the two pre-roll switches of Start come on the
// host's thread with positions N and 2N before the card runs; the card's
// first notification then brings index 0 and position 3N, and every switch
// after that moves the position by exactly N and the time stamp forward by
// one period.
TEST_F(AsioDriverTest, SamplePositionsAndTimeStampsFollowEverySwitch) {
  DriverPtr d = MakeDriver();
  AsioHost host(d.get());
  ASSERT_TRUE(host.Init(nullptr));
  ASSERT_TRUE(host.QueryDriver());
  constexpr LONG kN = 480;  // 10 ms at 48000 Hz
  constexpr int64_t kPeriodNs = 10'000'000;
  auto s = host.CreateBuffers(StreamRequest{{}, {0, 1}, kN});
  ASSERT_TRUE(s) << s.message;
  s = host.Start();
  ASSERT_TRUE(s) << s.message;
  // Start returns after the pre-roll: the host has seen two switches, the
  // card none.
  ASSERT_EQ(2u, host.switchCount());
  ASSERT_TRUE(host.RunSwitches(40, kLimit));
  ASSERT_TRUE(host.Stop());

  const auto switches = host.Switches();
  ASSERT_GE(switches.size(), 42u);
  for (size_t i = 0; i < switches.size(); ++i) {
    const auto& r = switches[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(ora::host::SwitchKind::TimeInfo, r.kind);
    EXPECT_EQ(ASIOTrue, r.directProcess);
    ASSERT_TRUE(r.hasPosition);
    EXPECT_EQ(kSystemTimeValid | kSamplePositionValid, r.timeFlags & (kSystemTimeValid | kSamplePositionValid));
    EXPECT_EQ(static_cast<LONG>(i % 2), r.index);
    EXPECT_EQ(static_cast<int64_t>(kN) * static_cast<int64_t>(i + 1), r.samplePosition);
    if (i > 0) {
      EXPECT_EQ(kN, r.positionStep);
      EXPECT_FALSE(r.gap);
      EXPECT_FALSE(r.irregular);
    }
  }
  // Pre-roll: positions N and 2N at once, one after the other, with the same
  // time stamp (nothing has played yet).
  EXPECT_EQ(0, switches[0].index);
  EXPECT_EQ(kN, switches[0].samplePosition);
  EXPECT_EQ(1, switches[1].index);
  EXPECT_EQ(2 * kN, switches[1].samplePosition);
  EXPECT_EQ(switches[0].hostTime, switches[1].hostTime);
  EXPECT_EQ(switches[0].systemTime, switches[1].systemTime);
  // The first notification: the card has played one period.
  EXPECT_EQ(0, switches[2].index);
  EXPECT_EQ(3 * kN, switches[2].samplePosition);
  EXPECT_NEAR(kPeriodNs, switches[2].hostTime - switches[1].hostTime, 1'000'000);
  // The time stamp has millisecond resolution: each later one is a period
  // after its predecessor, within one millisecond, and never goes back.
  for (size_t i = 2; i < switches.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_GT(switches[i].systemTime, switches[i - 1].systemTime);
    EXPECT_NEAR(kPeriodNs, switches[i].systemTime - switches[i - 1].systemTime, 1'000'000);
    EXPECT_NEAR(kPeriodNs, switches[i].sincePrevious, 1'000'000);
  }
  EXPECT_EQ(static_cast<ULONGLONG>(switches.size() - 2), d->SwitchCount());
  const auto report = host.Report();
  EXPECT_EQ(0u, report.gaps);
  EXPECT_EQ(0u, report.irregularSteps);
  EXPECT_EQ(0u, report.repeatedIndices);
  ASSERT_TRUE(host.DisposeBuffers());
  host.Close();
  d.reset();
  EXPECT_TRUE(machine_.Leaks().empty());
}

// Inputs 0 and 1 record the line output through the card's loopback: what
// reaches the host's input buffers is the host's own ramp, channel by
// channel, delayed by one constant number of frames.
TEST_F(AsioDriverTest, CaptureOfTheLineOutputLoopbackIsTheRampDelayed) {
  // Both stereo capture filters listen to the line output, whichever of them
  // carries inputs 0 and 1.
  for (const char* capture : {"eMixedCaptureWave", "eLineInWave"}) {
    sim::card::SourceConfig loop;
    loop.kind = sim::card::SourceKind::Loopback;
    loop.output = "eLineOutWave";
    sim::card::Source::Get().Configure(capture, loop);
  }
  DriverPtr d = MakeDriver();
  AsioHost host(d.get());
  ASSERT_TRUE(host.Init(nullptr));
  ASSERT_TRUE(host.QueryDriver());
  constexpr LONG kN = 480;
  auto s = host.CreateBuffers(StreamRequest{{0, 1}, {0, 1}, kN});
  ASSERT_TRUE(s) << s.message;
  s = host.Start();
  ASSERT_TRUE(s) << s.message;
  ASSERT_TRUE(host.RunSwitches(40, kLimit));
  ASSERT_TRUE(host.Stop());

  const std::vector<uint32_t> in[2] = {ora::host::Samples32(host.Captured(0).bytes),
                                       ora::host::Samples32(host.Captured(1).bytes)};
  ASSERT_EQ(in[0].size(), in[1].size());
  ASSERT_GE(in[0].size(), 40u * kN);
  const sim::card::PlayedSegment played = sim::card::Sink::Get().Played("eLineOutWave");
  ASSERT_EQ(2u, played.format.channels);
  ASSERT_EQ(32u, played.format.containerBits);

  // The delay D in frames is where the first recorded sample shows up: the
  // host's first ramp frame, played at device frame 0. Before it the host
  // sees silence: the two pre-roll periods of capture read a cyclic buffer
  // still empty, and the first period after the card runs starts K frames
  // behind the capture pin's first frame (the window ending 0.85 of a
  // period before the hardware position).
  const uint64_t k = 15 * kN / 100;
  size_t delay = 0;
  while (delay < in[0].size() && in[0][delay] == 0) ++delay;
  ASSERT_LT(delay, in[0].size()) << "nothing of the line output reached the host";
  EXPECT_EQ(2 * kN + k, delay);
  // From there every sample is the line output's, frame for frame, on its
  // own channel, with that one delay.
  ASSERT_GE(played.frames + delay, in[0].size());
  uint64_t silent = 0, wrong = 0;
  for (LONG c = 0; c < 2; ++c) {
    for (size_t i = 0; i < in[c].size(); ++i) {
      if (i < delay) {
        silent += in[c][i] != 0;
        continue;
      }
      wrong += in[c][i] != static_cast<uint32_t>(played.Sample(i - delay, static_cast<uint32_t>(c)));
    }
  }
  EXPECT_EQ(0u, silent);
  EXPECT_EQ(0u, wrong);
  // In the host's own frames: the first samples carry the ramp from host
  // frame 0 with the delay D; once the render write offset is taken from the
  // hardware (device frame 2N - K, the last K pre-roll frames are not
  // played) the round trip is exactly two periods, for the rest of the run.
  uint64_t foreign = 0;
  for (LONG c = 0; c < 2; ++c) {
    for (size_t i = delay; i < in[c].size(); ++i) {
      const int64_t hostFrame = i < 4u * kN ? static_cast<int64_t>(i - delay) : static_cast<int64_t>(i - 2 * kN);
      foreign += in[c][i] != RampSource::Sample32(c, hostFrame);
    }
  }
  EXPECT_EQ(0u, foreign);
  EXPECT_EQ(RampSource::Sample32(0, 0), in[0][delay]);
  EXPECT_EQ(RampSource::Sample32(1, 0), in[1][delay]);
  EXPECT_EQ(RampSource::Sample32(1, static_cast<int64_t>(in[0].size() - 1 - 2 * kN)), in[1].back());
  ASSERT_TRUE(host.DisposeBuffers());
  host.Close();
  d.reset();
  EXPECT_TRUE(machine_.Leaks().empty());
}

// All eight speaker outputs: the device frame is in channel-mask order (FL FR
// FC LFE BL BR SL SR), so "Center/Sub" (outputs 4 and 5) lands on the center
// and low-frequency slots and "Rear L/R" (outputs 2 and 3) on the back ones.
TEST_F(AsioDriverTest, EightChannelRenderPlacesEachOutputOnItsSpeaker) {
  DriverPtr d = MakeDriver();
  AsioHost host(d.get());
  ASSERT_TRUE(host.Init(nullptr));
  ASSERT_TRUE(host.QueryDriver());
  constexpr LONG kN = 480;
  auto s = host.CreateBuffers(StreamRequest{{}, {0, 1, 2, 3, 4, 5, 6, 7}, kN});
  ASSERT_TRUE(s) << s.message;
  ASSERT_TRUE(d->Slot(0).master);
  EXPECT_TRUE(d->Slot(0).stream->EightChannelMode());
  EXPECT_FALSE(d->Slot(0).stream->PairMode());
  EXPECT_EQ(8, d->Slot(0).stream->Format().Format.nChannels);
  s = host.Start();
  ASSERT_TRUE(s) << s.message;
  ASSERT_TRUE(host.RunSwitches(40, kLimit));
  ASSERT_TRUE(host.Stop());

  const sim::card::PlayedSegment played = sim::card::Sink::Get().Played("eLineOutWave");
  ASSERT_EQ(8u, played.format.channels);
  ASSERT_EQ(32u, played.format.containerBits);
  ASSERT_GE(played.frames, 30u * kN);
  // The ASIO output each device slot plays.
  constexpr LONG kOutputOfSlot[8] = {0, 1, 4, 5, 2, 3, 6, 7};
  const uint64_t k = 15 * kN / 100;
  uint64_t foreign = 0;
  std::vector<uint64_t> jumps;
  int64_t previous = -1;
  for (uint64_t f = 0; f < 30u * kN; ++f) {
    const int64_t hostFrame = static_cast<uint32_t>(played.Sample(f, 0)) & 0xFFFFFF;
    for (uint32_t slot = 0; slot < 8; ++slot) {
      const uint32_t got = static_cast<uint32_t>(played.Sample(f, slot));
      if (got != RampSource::Sample32(kOutputOfSlot[slot], hostFrame)) {
        if (foreign++ < 4) ADD_FAILURE() << "device frame " << f << " slot " << slot << ": " << std::hex << got;
      }
    }
    if (previous >= 0 && hostFrame != previous + 1) jumps.push_back(f);
    previous = hostFrame;
  }
  EXPECT_EQ(0u, foreign);
  // The only discontinuity is the start-up alignment, as with two channels.
  ASSERT_EQ(1u, jumps.size());
  EXPECT_EQ(2 * kN - k, jumps[0]);
  EXPECT_EQ(RampSource::Sample32(4, static_cast<int64_t>(2 * kN)), static_cast<uint32_t>(played.Sample(2 * kN - k, 2)));
  ASSERT_TRUE(host.DisposeBuffers());
  host.Close();
  d.reset();
  EXPECT_TRUE(machine_.Leaks().empty());
}

}  // namespace
