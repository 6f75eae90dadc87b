// The simulated PC's demonstration: boots the default card with OraFilt in
// its codec's stack, drives OraAsio's driver object through the ASIO host
// library, and checks what the card's line output played against what the
// host rendered.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "asio/asio.h"
#include "host/asio_host.h"
#include "sim/card/audio_io.h"
#include "sim/core/debug_log.h"
#include "sim/machine.h"

namespace {

int Fail(const std::string& what) {
  std::printf("FAILED: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string profile = argc > 1 ? argv[1] : "default.json";
  const std::string filter = argc > 2 ? argv[2] : ORA_FILTER_IMAGE_PATH;
  sim::MachineOptions options;
  options.card_profile = profile;
  options.install_filter = true;
  options.filter_image = filter;
  sim::Machine machine(options);
  std::printf("Simulated PC booted with card profile %s (upper filter %s)\n", profile.c_str(),
              machine.FilterInstalled() ? "OraFilt loaded by PnP" : "not installed");

  auto* driver = new CAsio();
  driver->AddRef();
  int rc = 0;
  {
    ora::host::AsioHost host(driver);
    driver->Release();
    if (auto s = host.Init(nullptr); !s) return Fail(s.message);
    if (auto s = host.QueryDriver(); !s) return Fail(s.message);
    const auto& info = host.info();
    std::printf("\nDriver \"%s\" version %d: %d inputs, %d outputs at %.0f Hz\n", info.name.c_str(),
                static_cast<int>(info.version), static_cast<int>(info.numInputs), static_cast<int>(info.numOutputs),
                info.sampleRate);
    for (const auto& c : info.outputs)
      std::printf("  out %2d  group %d  %s\n", static_cast<int>(c.channel), static_cast<int>(c.group), c.name.c_str());
    for (const auto& c : info.inputs)
      std::printf("  in  %2d  group %d  %s\n", static_cast<int>(c.channel), static_cast<int>(c.group), c.name.c_str());
    std::printf("Buffer sizes: min %d, max %d, preferred %d frames; latencies in %d, out %d frames\n",
                static_cast<int>(info.bufferSizes.min), static_cast<int>(info.bufferSizes.max),
                static_cast<int>(info.bufferSizes.preferred), static_cast<int>(info.inputLatency),
                static_cast<int>(info.outputLatency));

    if (auto s = host.CreateBuffers({{}, {0, 1}, 0}); !s) return Fail(s.message);
    if (auto s = host.Start(); !s) return Fail(s.message);
    constexpr std::uint64_t kSwitches = 200;
    const bool ran = host.RunSwitches(kSwitches, 60 * sim::kSecond);
    host.Stop();
    const auto report = host.Report();
    std::printf("\nStreamed a per-channel ramp on outputs 0 and 1: %llu buffer switches of %d frames, %llu gaps%s\n",
                static_cast<unsigned long long>(report.switches), static_cast<int>(host.bufferSize()),
                static_cast<unsigned long long>(report.gaps), ran ? "" : " (stopped early)");

    // The line output holds the host's ramp, frame after frame, after the
    // start-up alignment: count the frames whose samples are the host's.
    const auto played = sim::card::Sink::Get().Played("eLineOutWave");
    std::uint64_t exact = 0, jumps = 0;
    int64_t previous = -1;
    for (std::uint64_t f = 0; f < played.frames; ++f) {
      const auto left = static_cast<uint32_t>(played.Sample(f, 0));
      const auto right = static_cast<uint32_t>(played.Sample(f, 1));
      const int64_t frame = left & 0xFFFFFF;
      if (left == ora::host::RampSource::Sample32(0, frame) && right == ora::host::RampSource::Sample32(1, frame))
        ++exact;
      if (previous >= 0 && frame != previous + 1) ++jumps;
      previous = frame;
    }
    std::printf("The card's line output played %llu frames; %llu carry the host's samples bit for bit, "
                "with %llu realignment(s) of the write position\n",
                static_cast<unsigned long long>(played.frames), static_cast<unsigned long long>(exact),
                static_cast<unsigned long long>(jumps));
    if (!ran || played.frames == 0 || exact != played.frames || jumps != 1) rc = Fail("the played audio differs");
    host.Close();
  }
  machine.Shutdown();
  const auto leaks = machine.Leaks();
  for (const auto& leak : leaks) std::printf("leak: %s\n", leak.c_str());
  if (!leaks.empty()) rc = Fail("the run left objects behind");
  std::printf("\nVirtual time elapsed: %.3f s. %s\n", static_cast<double>(machine.Now()) / sim::kSecond,
              rc == 0 ? "Everything the host rendered reached the card unchanged." : "");
  return rc;
}
