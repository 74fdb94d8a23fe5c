// End to end: whatever signal ends a scan of 42 ports, the program ends by
// that signal, promptly, and leaves no port exclusive or locked. The signal
// lands at a seeded random moment of the scan or of the wait for Enter;
// COMSCAN_E2E_SEED replays a failing sequence.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

#ifndef COMSCAN_BINARY
#error "COMSCAN_BINARY must name the Linux comscan executable"
#endif

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The close event's window (a port opened after the ports were closed) is
// narrower than a plain kill's, so SIGHUP gets more runs. COMSCAN_E2E_RUNS
// asks for more, to measure a rare fault.
int RunsPerSignal(int sig) {
  if (const char* s = getenv("COMSCAN_E2E_RUNS")) return atoi(s);
  return sig == SIGHUP ? 120 : 48;
}
// How long a signalled program may take to end.
constexpr double kEndSeconds = 3;
constexpr double kRunSeconds = 10;

unsigned Seed() {
  if (const char* s = getenv("COMSCAN_E2E_SEED")) return (unsigned)strtoul(s, nullptr, 0);
  return (unsigned)std::random_device{}();
}

class SignalDuringScan : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::string why;
    if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
    const int sig = GetParam();
    const char* emulator = getenv("COMSCAN_E2E_EMULATOR");
    if (emulator && *emulator && (sig >= SIGRTMIN || sig == SIGABRT || sig == SIGILL))
      GTEST_SKIP() << "the user-mode emulator keeps real-time signals for itself and passes crash "
                      "signals on as its own, so the program under it never sees this one as sent";
    // SIGQUIT dumps core by default: no core files in the build tree.
    struct rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    ASSERT_TRUE(AddEveryPort(&box_, &ptys_, &names_));
  }

  // Held stdin: waits at the prompt until the signal.
  static RunOptions Options() { return ProgramRun(COMSCAN_BINARY, StdinMode::kHeldPipe); }

  // Seconds from start to the prompt of an undisturbed run: the window the
  // signals are spread over.
  double ScanSeconds() {
    Process p(box_, Options());
    if (!p.setup_error().empty()) return 0;
    auto start = Clock::now();
    bool prompted = p.WaitForOutputEnding(kPrompt, kRunSeconds);
    double took = SecondsSince(start);
    EXPECT_TRUE(prompted) << Escaped(p.output()) << p.errors();
    EXPECT_EQ(Escaped(p.output()), Escaped(Expected(names_)));
    p.Signal(SIGKILL);
    return took;
  }

  // What the run left behind on the ports, cleared so that the next run
  // starts clean; empty when nothing.
  std::string Residue() {
    std::string left;
    for (size_t i = 0; i < ptys_.size(); ++i) {
      if (ptys_[i]->Exclusive()) {
        left += " " + names_[i] + " exclusive;";
        ptys_[i]->ClearExclusive();
      }
      if (!ptys_[i]->FreeToLock()) left += " " + names_[i] + " flock-ed;";
      if (!LeftAsFound(*ptys_[i])) {
        left += " " + names_[i] + " reconfigured;";
        WriteLineSettings(ptys_[i]->master(), ptys_[i]->initial());
      }
    }
    return left;
  }

  Sandbox box_;
  std::vector<std::unique_ptr<Pty>> ptys_;
  std::vector<std::string> names_;
};

TEST_P(SignalDuringScan, EndsByTheSignalAndLeavesNoPortHeld) {
  const int sig = GetParam();
  const unsigned seed = Seed();
  SCOPED_TRACE("COMSCAN_E2E_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const double window = ScanSeconds();
  ASSERT_GT(window, 0) << "no undisturbed run";
  // Most signals land inside the scan, the rest while waiting for Enter.
  std::uniform_real_distribution<double> delay(0, window * 1.25);

  const int runs = RunsPerSignal(sig);
  int residues = 0, wrong_ends = 0;
  std::string report;
  for (int run = 0; run < runs; ++run) {
    double after = delay(random);
    Process p(box_, Options());
    ASSERT_EQ(p.setup_error(), "");
    std::this_thread::sleep_for(std::chrono::duration<double>(after));
    auto sent = Clock::now();
    p.Signal(sig);
    Exit e = p.Finish(kEndSeconds);
    double took = SecondsSince(sent);
    std::string where = "run " + std::to_string(run) + " (signal after " +
                        std::to_string(after * 1000) + " ms): ";
    if (!e.KilledBy(sig)) {
      ++wrong_ends;
      report += where + e.Describe() + " after " + std::to_string(took) + " s; stderr " +
                p.errors() + "\n";
    }
    std::string left = Residue();
    if (!left.empty()) {
      ++residues;
      report += where + "left" + left + "\n";
    }
  }
  EXPECT_EQ(residues, 0) << strsignal(sig) << ": " << residues << " of " << runs
                         << " runs left a port held\n" << report;
  EXPECT_EQ(wrong_ends, 0) << strsignal(sig) << ": " << wrong_ends << " of " << runs << " runs did not end by the signal within "
                           << kEndSeconds << " s\n" << report;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDuringScan,
                         // The close event's four, others whose default
                         // action ends the process, and crashes.
                         ::testing::Values(SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1, SIGALRM, SIGPWR,
                                           SIGXCPU, SIGRTMIN, SIGRTMAX, SIGABRT, SIGILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                           const char* name = sigabbrev_np(info.param);
                           return name ? std::string(name) : "RT" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace e2e
