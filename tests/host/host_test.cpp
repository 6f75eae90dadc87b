// The host library against a small fake driver, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "fake_asio.h"
#include "host/asio_host.h"
#include "sim/machine.h"

namespace {

using ora::host::AsioHost;
using ora::host::HostOptions;
using ora::host::HostPhase;
using ora::host::RampSource;
using ora::host::StreamRequest;
using ora::host::SwitchKind;

constexpr sim::Nanos kLimit = 10 * sim::kSecond;

struct Releaser {
  void operator()(fake::Driver* d) const noexcept { d->Release(); }
};
using DriverRef = std::unique_ptr<fake::Driver, Releaser>;

class HostTest : public ::testing::Test {
 protected:
  void TearDown() override {
    host_.reset();
    if (driver_) {
      EXPECT_EQ(1u, driver_->refs()) << "the host kept or lost a reference";
    }
    driver_.reset();
    for (const auto& leak : machine_.Leaks()) ADD_FAILURE() << "left open: " << leak;
    EXPECT_EQ(nullptr, AsioHost::Current());
  }

  AsioHost& Make(fake::Config config = {}, HostOptions options = {}) {
    driver_.reset(new fake::Driver(std::move(config)));
    host_ = std::make_unique<AsioHost>(driver_.get(), options);
    return *host_;
  }

  // Init, QueryDriver, CreateBuffers, Start; every step must work.
  void Stream(AsioHost& host, const StreamRequest& request) {
    ASSERT_TRUE(host.Init(nullptr).ok);
    auto s = host.QueryDriver();
    ASSERT_TRUE(s.ok) << s.message;
    s = host.CreateBuffers(request);
    ASSERT_TRUE(s.ok) << s.message;
    s = host.Start();
    ASSERT_TRUE(s.ok) << s.message;
  }

  sim::Machine machine_;
  DriverRef driver_;
  std::unique_ptr<AsioHost> host_;
};

TEST_F(HostTest, FullSequenceIsLoggedInOrder) {
  auto& host = Make();
  Stream(host, {{0, 1}, {0, 1, 2, 3}, 0});
  ASSERT_TRUE(host.RunSwitches(8, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  ASSERT_TRUE(host.DisposeBuffers().ok);
  host.Close();
  EXPECT_EQ(HostPhase::Closed, host.phase());

  const std::vector<std::string> expected = {"Init",           "GetDriverName",   "GetDriverVersion", "GetChannels",
                                             "GetChannelInfo", "GetChannelInfo",  "GetChannelInfo",   "GetChannelInfo",
                                             "GetChannelInfo", "GetChannelInfo",  "GetBufferSize",    "GetLatencies",
                                             "GetSampleRate",  "GetClockSources", "CreateBuffers",    "Start",
                                             "Stop",           "DisposeBuffers",  "Release"};
  EXPECT_EQ(expected, host.log().Methods());
  const auto& r = host.log().records();
  EXPECT_EQ("inputs=2, outputs=4", r[3].args);
  EXPECT_EQ("channel=1, isInput=0, isActive=0, group=0, type=18, name=\"Out 2\"", r[7].args);
  EXPECT_EQ("min=64, max=4096, preferred=256, granularity=-1", r[10].args);
  EXPECT_EQ("numChannels=6, bufferSize=256, channels=in0 in1 out0 out1 out2 out3 callbacks=4", r[14].args);
  EXPECT_EQ("1", r.back().result);  // the test's own reference is left
  for (const auto& rec : r) EXPECT_TRUE(rec.ok) << rec.method;
  EXPECT_EQ("Fake ASIO", host.info().name);
  EXPECT_EQ(7, host.info().version);
  ASSERT_EQ(1u, host.info().clocks.size());
  EXPECT_EQ("Internal", host.info().clocks[0].name);
  EXPECT_EQ(8u, host.Report().switches);
}

TEST_F(HostTest, RampIsWrittenExactlyPerChannelAndHalf) {
  for (ASIOSampleType type : {ASIOSTInt32LSB, ASIOSTInt16LSB}) {
    SCOPED_TRACE(type);
    fake::Config config;
    config.type = type;
    auto& host = Make(config);
    Stream(host, {{}, {0, 1, 3}, 128});
    ASSERT_TRUE(host.RunSwitches(5, kLimit));
    ASSERT_TRUE(host.Stop().ok);
    ASSERT_TRUE(host.DisposeBuffers().ok);
    EXPECT_EQ(0u, driver_->otherHalfWrites());
    for (LONG c : {0, 1, 3}) {
      SCOPED_TRACE(c);
      const auto& played = driver_->Played(c);
      ASSERT_EQ(5u * 128 * (type == ASIOSTInt32LSB ? 4 : 2), played.size());
      if (type == ASIOSTInt32LSB) {
        const auto samples = ora::host::Samples32(played);
        for (std::size_t f = 0; f < samples.size(); ++f)
          ASSERT_EQ(RampSource::Sample32(c, static_cast<std::int64_t>(f)), samples[f]) << "frame " << f;
      } else {
        const auto samples = ora::host::Samples16(played);
        for (std::size_t f = 0; f < samples.size(); ++f)
          ASSERT_EQ(RampSource::Sample16(c, static_cast<std::int64_t>(f)), samples[f]) << "frame " << f;
      }
      // What the host says it rendered is what the card played.
      const auto rendered = host.Rendered(c);
      EXPECT_EQ(type, rendered.type);
      EXPECT_TRUE(std::equal(played.begin(), played.end(), rendered.bytes.begin(), rendered.bytes.end()));
    }
    EXPECT_TRUE(driver_->Played(2).empty());
    EXPECT_TRUE(host.Rendered(2).bytes.empty());
    TearDown();
  }
}

TEST_F(HostTest, CapturedInputIsKeptInOrder) {
  auto& host = Make();
  Stream(host, {{1, 0}, {0}, 64});
  ASSERT_TRUE(host.RunSwitches(6, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  for (LONG c : {0, 1}) {
    SCOPED_TRACE(c);
    const auto samples = ora::host::Samples32(host.Captured(c).bytes);
    ASSERT_EQ(6u * 64, samples.size());
    for (std::size_t f = 0; f < samples.size(); ++f)
      ASSERT_EQ(fake::InputSample32(c, static_cast<std::int64_t>(f)), samples[f]) << "frame " << f;
  }
  EXPECT_EQ(0u, host.Report().captureOverflowFrames);
}

TEST_F(HostTest, StoresStopAtTheirCapacityAndCountTheRest) {
  HostOptions options;
  options.storeFrames = 200;
  auto& host = Make({}, options);
  Stream(host, {{0}, {0}, 64});
  ASSERT_TRUE(host.RunSwitches(4, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  // Stores hold whole multiples of 8 frames (200 here), so 56 of 256 frames are lost per direction.
  EXPECT_EQ(200u * 4, host.Captured(0).bytes.size());
  EXPECT_EQ(200u * 4, host.Rendered(0).bytes.size());
  EXPECT_EQ(56u, host.Report().captureOverflowFrames);
  EXPECT_EQ(56u, host.Report().renderOverflowFrames);
  const auto samples = ora::host::Samples32(host.Captured(0).bytes);
  EXPECT_EQ(fake::InputSample32(0, 199), samples.back());
}

TEST_F(HostTest, SwitchRecordsCarryPositionsTimesAndSteps) {
  auto& host = Make();
  Stream(host, {{}, {0, 1}, 480});  // 10 ms at 48000 Hz
  ASSERT_TRUE(host.RunSwitches(4, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  const auto records = host.Switches();
  ASSERT_EQ(4u, records.size());
  for (std::size_t k = 0; k < records.size(); ++k) {
    SCOPED_TRACE(k);
    const auto& r = records[k];
    EXPECT_EQ(k, r.sequence);
    EXPECT_EQ(SwitchKind::TimeInfo, r.kind);
    EXPECT_EQ(static_cast<LONG>(k % 2), r.index);
    EXPECT_EQ(ASIOTrue, r.directProcess);
    EXPECT_TRUE(r.hasPosition);
    EXPECT_EQ(static_cast<std::int64_t>(k) * 480, r.samplePosition);
    EXPECT_EQ(static_cast<std::int64_t>(k + 1) * 10 * sim::kMillisecond, r.systemTime);
    EXPECT_EQ(kSystemTimeValid | kSamplePositionValid | kSampleRateValid, r.timeFlags);
    EXPECT_EQ(k == 0 ? -1 : 10 * sim::kMillisecond, r.sincePrevious);
    EXPECT_EQ(k == 0 ? 0 : 480, r.positionStep);
    EXPECT_FALSE(r.gap || r.irregular || r.badIndex);
  }
  const auto report = host.Report();
  EXPECT_EQ(0u, report.gaps);
  EXPECT_EQ(0u, report.repeatedIndices);
  EXPECT_EQ(0, report.firstPosition);
  EXPECT_EQ(3 * 480, report.lastPosition);
}

TEST_F(HostTest, MissedNotificationIsReportedAsAGap) {
  fake::Config config;
  config.missedTicks = {2};
  auto& host = Make(config);
  Stream(host, {{}, {0}, 256});
  ASSERT_TRUE(host.RunSwitches(4, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  const auto report = host.Report();
  EXPECT_EQ(4u, report.switches);
  EXPECT_EQ(1u, report.gaps);
  EXPECT_EQ(0u, report.irregularSteps);
  EXPECT_EQ(1u, report.repeatedIndices);  // ticks 1 and 3 both hand over half 1
  const auto records = host.Switches();
  EXPECT_TRUE(records[2].gap);
  EXPECT_EQ(512, records[2].positionStep);
  EXPECT_EQ(4 * 256, report.lastPosition);
}

TEST_F(HostTest, TimeInfoOrPlainSwitchFollowsTheHostsAnswers) {
  struct Case {
    const char* what;
    LONG engineVersion;
    bool supportsTimeInfo;
    bool offerCallback;
    SwitchKind kind;
  } cases[] = {
      {"time info offered and supported", 2, true, true, SwitchKind::TimeInfo},
      {"time info not supported", 2, false, true, SwitchKind::Plain},
      {"engine version 1", 1, true, true, SwitchKind::Plain},
      {"no bufferSwitchTimeInfo callback", 2, true, false, SwitchKind::Plain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HostOptions options;
    options.engineVersion = c.engineVersion;
    options.supportsTimeInfo = c.supportsTimeInfo;
    options.offerTimeInfoCallback = c.offerCallback;
    auto& host = Make({}, options);
    Stream(host, {{}, {0}, 256});
    ASSERT_TRUE(host.RunSwitches(3, kLimit));
    ASSERT_TRUE(host.Stop().ok);
    EXPECT_EQ(c.kind == SwitchKind::TimeInfo, driver_->usesTimeInfo());
    const auto records = host.Switches();
    ASSERT_EQ(3u, records.size());
    for (const auto& r : records) {
      EXPECT_EQ(c.kind, r.kind);
      // A plain switch asks GetSamplePosition, so positions are known either way.
      EXPECT_TRUE(r.hasPosition);
      EXPECT_EQ(static_cast<std::int64_t>(r.sequence) * 256, r.samplePosition);
    }
    const auto report = host.Report();
    EXPECT_EQ(c.kind == SwitchKind::TimeInfo ? 3u : 0u, report.timeInfoSwitches);
    EXPECT_EQ(c.kind == SwitchKind::Plain ? 3u : 0u, report.plainSwitches);
    EXPECT_EQ(0u, report.gaps + report.irregularSteps);
    TearDown();
  }
}

TEST_F(HostTest, AsioMessageAnswersAndRecordsRequests) {
  HostOptions options;
  options.supportsTimeCode = true;
  auto& host = Make({}, options);
  ASSERT_TRUE(host.Init(nullptr).ok);
  ASSERT_TRUE(host.CreateBuffers({{}, {0}, 256}).ok);
  // CreateBuffers asked the usual questions.
  auto messages = host.Messages();
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ(kAsioEngineVersion, messages[0].selector);
  EXPECT_EQ(2, messages[0].answer);
  EXPECT_EQ(kAsioSupportsTimeInfo, messages[1].selector);
  EXPECT_EQ(1, messages[1].answer);
  EXPECT_EQ(kAsioSupportsTimeCode, messages[2].selector);
  EXPECT_EQ(1, messages[2].answer);

  struct Case {
    LONG selector, value, answer;
  } cases[] = {
      {kAsioSelectorSupported, kAsioSelectorSupported, 1},
      {kAsioSelectorSupported, kAsioEngineVersion, 1},
      {kAsioSelectorSupported, kAsioResetRequest, 1},
      {kAsioSelectorSupported, kAsioBufferSizeChange, 1},
      {kAsioSelectorSupported, kAsioResyncRequest, 1},
      {kAsioSelectorSupported, kAsioLatenciesChanged, 1},
      {kAsioSelectorSupported, kAsioSupportsTimeInfo, 1},
      {kAsioSelectorSupported, kAsioSupportsTimeCode, 1},
      {kAsioSelectorSupported, kAsioMMCCommand, 0},
      {kAsioSelectorSupported, kAsioOverload, 0},
      {kAsioSelectorSupported, 0x7777, 0},
      {kAsioEngineVersion, 0, 2},
      {kAsioSupportsTimeInfo, 0, 1},
      {kAsioSupportsTimeCode, 0, 1},
      {kAsioResetRequest, 0, 1},
      {kAsioResyncRequest, 0, 1},
      {kAsioLatenciesChanged, 0, 1},
      {kAsioBufferSizeChange, 512, 0},
      {kAsioMMCCommand, 0, 0},
      {0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "selector " << c.selector << " value " << c.value);
    EXPECT_EQ(c.answer, driver_->SendMessage(c.selector, c.value));
  }
  EXPECT_EQ(1u, host.resetRequests());
  EXPECT_EQ(1u, host.resyncRequests());
  EXPECT_EQ(1u, host.latencyChanges());
  EXPECT_EQ(1u, host.bufferSizeChanges());
  EXPECT_EQ(512, host.requestedBufferSize());
  messages = host.Messages();
  ASSERT_EQ(3u + std::size(cases), messages.size());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(3 + i, messages[3 + i].sequence);
    EXPECT_EQ(cases[i].selector, messages[3 + i].selector);
    EXPECT_EQ(cases[i].value, messages[3 + i].value);
  }
  // A reset request is only noted: the host is still prepared.
  EXPECT_EQ(HostPhase::Prepared, host.phase());
}

TEST_F(HostTest, TimeCodeAnswerIsConfigurable) {
  auto& host = Make();
  ASSERT_TRUE(host.Init(nullptr).ok);
  ASSERT_TRUE(host.CreateBuffers({{}, {0}, 256}).ok);
  EXPECT_EQ(0, driver_->SendMessage(kAsioSupportsTimeCode, 0));
}

TEST_F(HostTest, SampleRateChangeIsRecordedWithTheResetRequest) {
  auto& host = Make();
  ASSERT_TRUE(host.Init(nullptr).ok);
  ASSERT_TRUE(host.CreateBuffers({{}, {0}, 256}).ok);
  ASSERT_TRUE(host.CanSampleRate(96000).ok);
  ASSERT_TRUE(host.SetSampleRate(96000).ok);
  EXPECT_EQ(std::vector<double>{96000}, host.SampleRateChanges());
  EXPECT_EQ(1u, host.resetRequests());
  EXPECT_EQ(96000, host.info().sampleRate);
  const auto refused = host.SetSampleRate(22050);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(ASE_NoClock, refused.code);
  EXPECT_EQ("SetSampleRate 22050: ASE_NoClock", refused.message);
}

TEST_F(HostTest, DriverErrorsGiveClearHostErrors) {
  struct Case {
    const char* what;
    fake::Config config;
    const char* failingStep;
    ASIOError code;
    const char* message;
    HostPhase phaseAfter;
  };
  fake::Config initFails, createFails, startFails;
  initFails.failInit = true;
  createFails.createBuffersResult = ASE_NoMemory;
  startFails.startResult = ASE_HWMalfunction;
  const Case cases[] = {
      {"Init", initFails, "Init", ASE_OK, "Init failed: No card found", HostPhase::Loaded},
      {"CreateBuffers", createFails, "CreateBuffers", ASE_NoMemory, "CreateBuffers: ASE_NoMemory",
       HostPhase::Initialized},
      {"Start", startFails, "Start", ASE_HWMalfunction, "Start: ASE_HWMalfunction", HostPhase::Prepared},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto& host = Make(c.config);
    ora::host::HostStatus s = host.Init(nullptr);
    if (s) s = host.QueryDriver();
    if (s) s = host.CreateBuffers({{0}, {0}, 0});
    if (s) s = host.Start();
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(c.code, s.code);
    EXPECT_EQ(c.message, s.message);
    EXPECT_EQ(c.phaseAfter, host.phase());
    EXPECT_EQ(c.phaseAfter == HostPhase::Prepared ? &host : nullptr, AsioHost::Current());
    ASSERT_FALSE(host.log().records().empty());
    const auto& failed = std::string(c.failingStep) == "Init" ? host.log().records()[0] : host.log().records().back();
    EXPECT_EQ(c.failingStep, failed.method);
    EXPECT_FALSE(failed.ok);
    if (std::string(c.failingStep) == "Init") {
      EXPECT_EQ("GetErrorMessage", host.log().records()[1].method);
      EXPECT_EQ("\"No card found\"", host.log().records()[1].args);
    }
    host.Close();  // disposes what the failed run left
    EXPECT_EQ("Release", host.log().records().back().method);
    TearDown();
  }
}

TEST_F(HostTest, ImpossibleAnswersAreReportedNotTrusted) {
  struct Case {
    const char* what;
    fake::Config config;
    const char* message;
  };
  fake::Config negative, sizes, rate, nulls;
  negative.answeredInputs = -1;
  sizes.minAboveMax = true;
  rate.answeredRate = -1;
  nulls.nullBuffers = true;
  const Case cases[] = {
      {"negative channel count", negative, "GetChannels: impossible channel counts (inputs=-1, outputs=4)"},
      {"min above max", sizes,
       "GetBufferSize: inconsistent buffer sizes (min=4097, max=4096, preferred=256, granularity=-1)"},
      {"negative sample rate", rate, "GetSampleRate: impossible sample rate -1"},
      {"null buffers", nulls, "CreateBuffers: the driver gave input channel 0 the buffers (nil) and (nil)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto& host = Make(c.config);
    ASSERT_TRUE(host.Init(nullptr).ok);
    ora::host::HostStatus s = host.QueryDriver();
    if (s) s = host.CreateBuffers({{0}, {0}, 0});
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(c.message, s.message);
    EXPECT_EQ(HostPhase::Initialized, host.phase());
    const auto& records = host.log().records();
    EXPECT_EQ(1, std::count_if(records.begin(), records.end(), [](const auto& r) { return !r.ok; }));
    // Buffers the driver did make are given back at once.
    if (c.config.nullBuffers) {
      EXPECT_EQ("DisposeBuffers", records.back().method);
    }
    TearDown();
  }
}

TEST_F(HostTest, BadRequestsAreRefusedBeforeTheDriverSeesThem) {
  auto& host = Make();
  ASSERT_TRUE(host.Init(nullptr).ok);
  ASSERT_TRUE(host.QueryDriver().ok);
  const std::size_t logged = host.log().records().size();
  struct Case {
    StreamRequest request;
    const char* message;
  } cases[] = {
      {{{2}, {0}, 0}, "CreateBuffers: input channel 2 does not exist (2 channels)"},
      {{{}, {-1}, 0}, "CreateBuffers: output channel -1 does not exist (4 channels)"},
      {{{}, {1, 1}, 0}, "CreateBuffers: output channel 1 is listed twice"},
      {{{}, {}, 0}, "CreateBuffers: no channels requested"},
      {{{}, {0}, -5}, "CreateBuffers: invalid buffer size -5"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.message, host.CreateBuffers(c.request).message);
  EXPECT_EQ(logged, host.log().records().size());
  EXPECT_EQ(nullptr, AsioHost::Current());
  EXPECT_EQ("Start: no buffers, or already running", host.Start().message);
}

TEST_F(HostTest, OneHostStreamsAtATime) {
  auto& host = Make();
  Stream(host, {{}, {0}, 256});
  DriverRef other(new fake::Driver({}));
  {
    AsioHost second(other.get());
    ASSERT_TRUE(second.Init(nullptr).ok);
    const auto s = second.CreateBuffers({{}, {0}, 256});
    EXPECT_EQ("CreateBuffers: another host is streaming in this process", s.message);
    EXPECT_EQ(&host, AsioHost::Current());
  }
  EXPECT_EQ(1u, other->refs());
  // Closing a running host stops and disposes in order.
  host.Close();
  const auto methods = host.log().Methods();
  EXPECT_EQ((std::vector<std::string>{"Stop", "DisposeBuffers", "Release"}),
            std::vector<std::string>(methods.end() - 3, methods.end()));
}

TEST_F(HostTest, DsdIsSelectedThroughTheIoFormatAndFilledAsBytes) {
  fake::Config config;
  config.dsd = true;
  config.preferredSize = 2048;
  auto& host = Make(config);
  ASSERT_TRUE(host.Init(nullptr).ok);
  ASSERT_TRUE(host.CanDoIoFormat(kASIODSDFormat).ok);
  ASSERT_TRUE(host.SetIoFormat(kASIODSDFormat).ok);
  ASIOIoFormatType format = kASIOFormatInvalid;
  ASSERT_TRUE(host.GetIoFormat(&format).ok);
  EXPECT_EQ(kASIODSDFormat, format);
  ASSERT_TRUE(host.QueryDriver().ok);
  EXPECT_EQ(ASIOSTDSDInt8LSB1, host.info().outputs[0].type);
  ASSERT_TRUE(host.CreateBuffers({{}, {0, 1}, 0}).ok);
  ASSERT_TRUE(host.Start().ok);
  ASSERT_TRUE(host.RunSwitches(3, kLimit));
  ASSERT_TRUE(host.Stop().ok);
  for (LONG c : {0, 1}) {
    const auto& played = driver_->Played(c);
    ASSERT_EQ(3u * 2048 / 8, played.size());
    for (std::size_t b = 0; b < played.size(); ++b)
      ASSERT_EQ(RampSource::DsdByte(c, static_cast<std::int64_t>(b)), played[b]) << "byte " << b;
  }
  // DSD buffer sizes must fill whole bytes.
  ASSERT_TRUE(host.DisposeBuffers().ok);
  EXPECT_EQ("CreateBuffers: 2044 frames do not fill whole bytes of DSDInt8LSB1",
            host.CreateBuffers({{}, {0}, 2044}).message);
}

TEST_F(HostTest, FutureSelectorsTheDriverLacksAreErrors) {
  auto& host = Make();
  ASSERT_TRUE(host.Init(nullptr).ok);
  EXPECT_TRUE(host.Future(kAsioCanTimeInfo, nullptr).ok);
  const auto s = host.SetIoFormat(kASIODSDFormat);
  EXPECT_EQ(ASE_NotPresent, s.code);
  EXPECT_EQ("Future 0x23111961: ASE_NotPresent", s.message);
}

}  // namespace
