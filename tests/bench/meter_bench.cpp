// The rate meter's CPU per report on the simulated stream: the gaming mouse of the
// built-in PC plays 1,000, 4,000 and 8,000 reports per second for ten simulated
// seconds while the meter reads them as its window does (the display timer every
// 50 ms reads what is queued; at 1,000 also message by message), and the window's
// texts are made at each tick as a repaint makes them. Prints, per rate, the process
// CPU time per report of the reads (the simulated Raw Input functions included),
// of the texts and figures, and of both. A program to run by hand, not a test.
//
//   meter_bench [seconds]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "devices/DeviceList.h"
#include "platform/platform.h"
#include "platform/sim/sim.h"
#include "setup/RateMeterF.h"

namespace {

const char* const kGamingMouse = "USB\\VID_1A2C&PID_0E24\\6&1F2A3B4C&0&1";
constexpr LONGLONG kTicksPerMs = 10'000;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Result {
  std::uint64_t reports = 0;
  double readSeconds = 0;
  double textSeconds = 0;
  std::string verdict;
};

// `messages`: every WM_INPUT handled on its own (each 1 ms), as at low rates; else
// only the timer's buffered reads.
Result Run(std::uint32_t rate, int seconds, bool messages) {
  auto machine = sim::Machine::Default();
  platform::ScopedBackend scope(machine->Backend());
  morvane::TMeterTarget target;
  {
    morvane::TDeviceList list(0);
    for (int i = 0; i < list.Count(); ++i) {
      if (list.GetDevice(i).InstanceId == kGamingMouse) target = morvane::MeterTargetFor(list.GetDevice(i));
    }
  }
  morvane::TfrmRateMeter meter(target);
  const HWND window = reinterpret_cast<HWND>(0x4242);
  if (!meter.Start(window)) std::abort();
  sim::RawInputStream stream;
  stream.device = kGamingMouse;
  stream.rate = rate;
  stream.start = machine->RawInput().Now() + 1;
  machine->RawInput().Play(stream);

  Result result;
  for (int tick = 0; tick < seconds * 20; ++tick) {
    for (int ms = 0; ms < 50; ++ms) {
      machine->RawInput().Advance(kTicksPerMs);
      if (messages) {
        if (HRAWINPUT input = machine->RawInput().NextMessage()) {
          const double t0 = CpuSeconds();
          meter.OnInput(input);
          result.readSeconds += CpuSeconds() - t0;
        }
      }
    }
    double t0 = CpuSeconds();
    meter.OnTimer();
    result.readSeconds += CpuSeconds() - t0;
    t0 = CpuSeconds();
    const std::vector<std::string> lines = meter.Lines();  // what a repaint draws
    result.textSeconds += CpuSeconds() - t0;
    result.verdict = lines[lines.size() - 2];
  }
  result.reports = meter.Meter().Figures().Count;
  meter.Stop();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  std::printf("%-22s %9s %14s %14s %14s  %s\n", "stream", "reports", "reads us/rep", "texts us/rep", "total us/rep",
              "verdict");
  struct Case {
    std::uint32_t rate;
    bool messages;
  };
  for (const Case c : {Case{1000, true}, Case{1000, false}, Case{4000, false}, Case{8000, false}}) {
    const Result r = Run(c.rate, seconds, c.messages);
    const double n = static_cast<double>(r.reports > 0 ? r.reports : 1);
    const std::string name = std::to_string(c.rate) + " Hz" + (c.messages ? " (messages)" : " (timer reads)");
    std::printf("%-22s %9llu %14.3f %14.3f %14.3f  %s\n", name.c_str(), static_cast<unsigned long long>(r.reports),
                r.readSeconds * 1e6 / n, r.textSeconds * 1e6 / n, (r.readSeconds + r.textSeconds) * 1e6 / n,
                r.verdict.c_str());
  }
  return 0;
}
