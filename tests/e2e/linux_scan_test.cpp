// End to end: the real Linux binary in a private /dev of pseudo-terminals.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <stdexcept>
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

// Generous: sanitizer builds are slow. A run that needs it has hung.
constexpr double kRunSeconds = 10;
// What "promptly" means for ending on a signal or a line.
constexpr double kPromptSeconds = 3;

void Pause(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

class E2e : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
  }

  Pty& NewPty() {
    auto p = Pty::Open();
    if (!p) throw std::runtime_error("no pseudo-terminal for the case");
    ptys_.push_back(std::move(p));
    return *ptys_.back();
  }

  static RunOptions Options(StdinMode in, StdoutMode out = StdoutMode::kPipe) {
    return ProgramRun(COMSCAN_BINARY, in, out);
  }

  std::vector<const Pty*> AllPtys() const {
    std::vector<const Pty*> all;
    for (const auto& p : ptys_) all.push_back(p.get());
    return all;
  }

  // Runs to the end; fails the test on a setup error or a hang.
  struct Result {
    std::string out;
    Exit exit;
  };
  Result RunToEnd(const Sandbox& sandbox, const RunOptions& options) {
    Process p(sandbox, options);
    Result r;
    if (!p.setup_error().empty()) {
      ADD_FAILURE() << "sandbox setup failed: " << p.setup_error();
      return r;
    }
    r.exit = p.Finish(kRunSeconds);
    r.out = p.output();
    EXPECT_FALSE(r.exit.timed_out) << "the program hung; output so far "
                                   << Escaped(r.out) << "\nstderr: " << p.errors();
    return r;
  }

  // Every pty of the case that the program should have let go of again.
  void ExpectReleased(const Pty& pty) {
    EXPECT_FALSE(pty.Exclusive()) << pty.path() << " left in exclusive mode";
    EXPECT_TRUE(pty.FreeToLock()) << pty.path() << " still locked by the program";
  }

  // A port held by someone else: its line as the test set it, not exclusive.
  void ExpectUntouched(const Pty& held) {
    SCOPED_TRACE(held.path());
    EXPECT_TRUE(LeftAsFound(held));
    EXPECT_FALSE(held.Exclusive());
  }

  std::vector<std::unique_ptr<Pty>> ptys_;
};

// ---------------------------------------------------------------------------
// No port at all: the three lines, exactly, however stdin and stdout look.

using NoPort = E2e;

TEST_F(NoPort, ExactOutputAndExitZeroWhateverStdinIs) {
  const struct {
    StdinMode mode;
    const char* what;
  } cases[] = {{StdinMode::kDevNull, "stdin /dev/null"},
               {StdinMode::kClosedPipe, "stdin a pipe closed at once"},
               {StdinMode::kClosedFd, "descriptor 0 closed"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = RunToEnd(Sandbox{}, Options(c.mode));
    EXPECT_EQ(Escaped(r.out), Escaped(Expected({})));
    EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  }
}

TEST_F(NoPort, EndOfInputAfterAPartialLineEndsTheWait) {
  // The long line is read in time linear in its length: in quadratic time
  // (a copy of all read so far at every growth) it takes minutes.
  for (size_t length : {size_t(3), size_t(16) << 20}) {
    SCOPED_TRACE(std::to_string(length) + " bytes");
    Process p(Sandbox{}, Options(StdinMode::kHeldPipe));
    ASSERT_EQ(p.setup_error(), "");
    ASSERT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds)) << Escaped(p.output());
    // Written meanwhile, so that the deadline bounds the reading too.
    std::thread writer([&] {
      p.WriteStdin(std::string(length, 'a'));
      p.CloseStdin();
    });
    Exit e = p.Finish(kRunSeconds);
    writer.join();
    EXPECT_TRUE(e.Normal(0)) << e.Describe() << "\nstderr: " << p.errors();
    EXPECT_EQ(Escaped(p.output()), Escaped(Expected({})));
  }
}

TEST_F(NoPort, WaitsUntilAWholeLineArrivesOnAnOpenPipe) {
  Process p(Sandbox{}, Options(StdinMode::kHeldPipe));
  ASSERT_EQ(p.setup_error(), "");
  ASSERT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds)) << Escaped(p.output());
  Pause(0.3);
  EXPECT_TRUE(p.Running()) << "ended without any input while the writer is open";
  p.WriteStdin("abc");
  Pause(0.3);
  EXPECT_TRUE(p.Running()) << "ended on a partial line";
  p.WriteStdin("\n");
  Exit e = p.Finish(kPromptSeconds);
  EXPECT_TRUE(e.Normal(0)) << e.Describe();
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({})));
}

// ---------------------------------------------------------------------------
// Ports found: exact output, line settings written, nothing left held.

using Found = E2e;

TEST_F(Found, UsbZeroAndAcmOneConfiguredReleasedAndWaitingForEnter) {
  Pty& usb0 = NewPty();
  Pty& acm1 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0), PtyNode("ttyACM1", acm1)};
  Process p(box, Options(StdinMode::kHeldPipe));
  ASSERT_EQ(p.setup_error(), "");
  ASSERT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds))
      << "no prompt; got " << Escaped(p.output()) << "\nstderr: " << p.errors();
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({"/dev/ttyUSB0", "/dev/ttyACM1"})));

  // Waiting for Enter: every port is closed, unlocked, not exclusive.
  EXPECT_EQ(OpenPtyDescriptors(p.pid(), AllPtys()), "")
      << "port descriptors still open while waiting";
  for (const Pty* pty : {&usb0, &acm1}) {
    SCOPED_TRACE(pty->path());
    ExpectReleased(*pty);
    EXPECT_TRUE(LeftAsFound(*pty));
  }
  Pause(0.3);
  EXPECT_TRUE(p.Running()) << "did not wait for Enter";

  p.WriteStdin("\n");
  Exit e = p.Finish(kPromptSeconds);
  EXPECT_TRUE(e.Normal(0)) << e.Describe();
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({"/dev/ttyUSB0", "/dev/ttyACM1"})))
      << "nothing may follow the prompt";
}

TEST_F(Found, IndexTwentyIsLastTriedAndNoOtherNameIsOpened) {
  Pty& usb20 = NewPty();
  Pty& acm20 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB20", usb20), PtyNode("ttyACM20", acm20)};
  // Names the scan must never try: past the range, zero-padded, and the
  // on-board UART family (its real node is the machine's console).
  std::vector<std::pair<std::string, Pty*>> decoys;
  for (const char* name : {"ttyUSB21", "ttyACM21", "ttyUSB01", "ttyACM01",
                           "ttyUSB00", "ttyS0", "ttyS1"}) {
    Pty& d = NewPty();
    decoys.push_back({name, &d});
    box.nodes.push_back(PtyNode(name, d));
  }
  OpenWatch watch;
  for (auto& d : decoys) watch.Add(*d.second);

  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB20", "/dev/ttyACM20"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  EXPECT_TRUE(LeftAsFound(usb20));
  EXPECT_TRUE(LeftAsFound(acm20));
  for (auto& d : decoys) {
    EXPECT_EQ(watch.Opens(*d.second), 0) << "/dev/" << d.first << " was opened";
    EXPECT_EQ(d.second->Settings(), d.second->initial())
        << "/dev/" << d.first << " was configured";
  }
}

TEST_F(Found, AllFortyTwoNamesReportedInScanOrder) {
  Sandbox box;
  std::vector<std::string> names;
  for (const char* family : {"ttyUSB", "ttyACM"})
    for (int i = 0; i <= 20; ++i) names.push_back(family + std::to_string(i));
  // Created out of order, so that directory order cannot stand in for the
  // scan order.
  for (auto it = names.rbegin(); it != names.rend(); ++it)
    box.nodes.push_back(PtyNode(*it, NewPty()));
  std::vector<std::string> expected;
  for (const auto& n : names) expected.push_back("/dev/" + n);

  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected(expected)));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  for (const auto& p : ptys_) {
    SCOPED_TRACE(p->path());
    EXPECT_TRUE(LeftAsFound(*p));
    ExpectReleased(*p);
  }
}

TEST_F(Found, ClosedStdinStillScansAndEnds) {
  // With descriptor 0 closed the first port opened may land on it.
  Pty& usb0 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0)};
  Result r = RunToEnd(box, Options(StdinMode::kClosedFd));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB0"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  ExpectReleased(usb0);
}

// ---------------------------------------------------------------------------
// Ports in use by another process: refused and left exactly as they were.

using Held = E2e;

std::string HdbLock(pid_t pid) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%10d\n", static_cast<int>(pid));
  return buf;
}

TEST_F(Held, FlockAndLiveLockFilesRefuseThePortAndLeaveItUntouched) {
  Pty& usb0 = NewPty();  // flock held by the test
  Pty& usb1 = NewPty();  // /var/lock/LCK..ttyUSB1, live pid, HDB format
  Pty& acm0 = NewPty();  // /run/lock/LCK..ttyACM0, live pid, plain decimal
  Pty& usb2 = NewPty();
  Pty& acm1 = NewPty();
  ASSERT_EQ(flock(usb0.slave(), LOCK_EX | LOCK_NB), 0);
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0), PtyNode("ttyUSB1", usb1),
               PtyNode("ttyUSB2", usb2), PtyNode("ttyACM0", acm0),
               PtyNode("ttyACM1", acm1)};
  box.files = {{"/var/lock/LCK..ttyUSB1", HdbLock(getpid())},
               {"/run/lock/LCK..ttyACM0", std::to_string(getpid()) + "\n"}};

  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB2", "/dev/ttyACM1"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  for (const Pty* held : {&usb0, &usb1, &acm0}) ExpectUntouched(*held);
  for (const Pty* free : {&usb2, &acm1}) {
    SCOPED_TRACE(free->path());
    EXPECT_TRUE(LeftAsFound(*free));
  }
  flock(usb0.slave(), LOCK_UN);
}

TEST_F(Held, BinaryLockFileOfALiveProcessRefusesThePort) {
  Pty& acm1 = NewPty();
  Pty& acm2 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyACM1", acm1), PtyNode("ttyACM2", acm2)};
  const int32_t pid = getpid();  // the pid's own four bytes, no text
  box.files = {{"/run/lock/LCK..ttyACM1", std::string(reinterpret_cast<const char*>(&pid), 4)}};
  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyACM2"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  ExpectUntouched(acm1);
}

TEST_F(Held, LockFileOfAProcessThatIsGoneDoesNotHold) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  Pty& usb0 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0)};
  box.files = {{"/var/lock/LCK..ttyUSB0", HdbLock(gone)}};
  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB0"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
}

// The program as a user without privileges, as on a bench: the ports are the
// user's, lock files and lock directories may be root's. What cannot be read
// cannot be known free.
class Unprivileged : public E2e {
 protected:
  static constexpr uid_t kNobody = 65534;
  void SetUp() override {
    E2e::SetUp();
    if (IsSkipped()) return;
    if (access(kSetpriv, X_OK) != 0) GTEST_SKIP() << kSetpriv << " not installed (util-linux)";
    // The build tree may lie where that user cannot enter (/root): run a
    // copy (of the emulator too, if any) from a directory anyone may search.
    char tmpl[] = "/tmp/comscan-nobody-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    for (const std::string& file : ProgramCommand(COMSCAN_BINARY)) {
      command_.push_back(dir_ + "/" + std::filesystem::path(file).filename().string());
      std::error_code error;
      ASSERT_TRUE(std::filesystem::copy_file(file, command_.back(), error)) << error.message();
    }
  }
  void TearDown() override {
    for (const std::string& file : command_) unlink(file.c_str());
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  Pty& UsersPty() {
    Pty& p = NewPty();
    EXPECT_EQ(fchown(p.slave(), kNobody, kNobody), 0);
    EXPECT_EQ(fchmod(p.slave(), 0600), 0);
    return p;
  }
  RunOptions AsNobody() const {
    RunOptions o = Options(StdinMode::kDevNull);
    o.argv = {kSetpriv, "--reuid=" + std::to_string(kNobody),
              "--regid=" + std::to_string(kNobody), "--clear-groups"};
    o.argv.insert(o.argv.end(), command_.begin(), command_.end());
    return o;
  }
  static constexpr const char* kSetpriv = "/usr/bin/setpriv";
  std::string dir_;
  std::vector<std::string> command_;
};

TEST_F(Unprivileged, LockFileItCannotReadHoldsThePort) {
  Pty& usb0 = UsersPty();
  Pty& usb1 = UsersPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0), PtyNode("ttyUSB1", usb1)};
  box.files = {{"/run/lock/LCK..ttyUSB0", HdbLock(getpid()), 0600}};
  Result r = RunToEnd(box, AsNobody());
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB1"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  ExpectUntouched(usb0);
  EXPECT_TRUE(LeftAsFound(usb1));
}

TEST_F(Unprivileged, LockDirectoryItCannotSearchHoldsEveryPort) {
  Pty& usb0 = UsersPty();
  Pty& acm0 = UsersPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0), PtyNode("ttyACM0", acm0)};
  box.lock_dir_mode = 0700;
  Result r = RunToEnd(box, AsNobody());
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  ExpectUntouched(usb0);
  ExpectUntouched(acm0);
}

// ---------------------------------------------------------------------------
// Things under port names that are not terminals.

using NotTerminal = E2e;

TEST_F(NotTerminal, FileDirectoryFifoAndNullDeviceAreNotReportedNorHang) {
  Pty& usb3 = NewPty();
  Sandbox box;
  box.nodes = {{"ttyUSB0", DevNode::kRegularFile},
               {"ttyUSB1", DevNode::kDirectory},
               {"ttyUSB2", DevNode::kFifo},
               PtyNode("ttyUSB3", usb3),
               {"ttyACM0", DevNode::kNullDevice},
               {"ttyACM1", DevNode::kFifo}};
  Result r = RunToEnd(box, Options(StdinMode::kDevNull));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB3"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
  EXPECT_TRUE(LeftAsFound(usb3));
}

// ---------------------------------------------------------------------------
// Where stdout goes.

using Stdout = E2e;

TEST_F(Stdout, RegularFileGetsTheExactBytes) {
  Pty& usb0 = NewPty();
  Pty& acm1 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0), PtyNode("ttyACM1", acm1)};
  Result r = RunToEnd(box, Options(StdinMode::kDevNull, StdoutMode::kFile));
  EXPECT_EQ(Escaped(r.out), Escaped(Expected({"/dev/ttyUSB0", "/dev/ttyACM1"})));
  EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
}

TEST_F(Stdout, PipeWhoseReaderIsGoneStillExitsZero) {
  for (bool with_port : {false, true}) {
    SCOPED_TRACE(with_port ? "one port" : "no port");
    Sandbox box;
    std::unique_ptr<Pty> usb0;
    if (with_port) {
      usb0 = Pty::Open();
      ASSERT_TRUE(usb0);
      box.nodes = {PtyNode("ttyUSB0", *usb0)};
    }
    Result r = RunToEnd(box, Options(StdinMode::kDevNull, StdoutMode::kBrokenPipe));
    EXPECT_TRUE(r.exit.Normal(0)) << r.exit.Describe();
    if (usb0) ExpectReleased(*usb0);
  }
}

TEST_F(Stdout, Utf8TerminalShowsTheAccentInUtf8AndEnterEndsTheWait) {
  const struct {
    const char* what;
    bool nonblocking;  // the terminal left in O_NONBLOCK by whoever shares it
    bool background;   // a background job of a job-control shell, SIGTTIN and
                       // SIGTTOU ignored: its read gives EIO, a read error
  } cases[] = {{"foreground", false, false},
               {"terminal left non-blocking", true, false},
               {"background job ignoring SIGTTIN", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Pty& usb0 = NewPty();
    Pty& console = NewPty();
    // Raw output, so the bytes are the program's; Enter arrives as a real
    // terminal sends it, a CR the line discipline turns into a newline.
    ASSERT_TRUE(WriteLineSettings(console.slave(), TypingConsole(console.initial())));
    if (c.nonblocking) {
      ASSERT_EQ(fcntl(console.slave(), F_SETFL, O_NONBLOCK), 0);
    }
    Sandbox box;
    box.nodes = {PtyNode("ttyUSB0", usb0)};
    RunOptions o = Options(StdinMode::kTerminal, StdoutMode::kTerminal);
    o.terminal = &console;
    o.env.push_back("LC_ALL=C.UTF-8");
    if (c.background) {
      std::vector<std::string> shell = {"/bin/sh", "-c", "set -m; trap '' TTIN TTOU; \"$@\" & wait $!", "sh"};
      o.argv.insert(o.argv.begin(), shell.begin(), shell.end());
    }
    Process p(box, o);
    ASSERT_EQ(p.setup_error(), "");
    const std::string want = Expected({"/dev/ttyUSB0"}, kPromptUtf8);
    ASSERT_TRUE(p.WaitForOutputEnding(kPromptUtf8, kRunSeconds))
        << Escaped(p.output()) << "\nstderr: " << p.errors();
    EXPECT_EQ(Escaped(p.output()), Escaped(want));
    if (!c.background) {
      Pause(0.3);
      EXPECT_TRUE(p.Running()) << "ended before Enter";
      ASSERT_EQ(write(console.master(), "\r", 1), 1);
    }
    Exit e = p.Finish(kPromptSeconds);
    EXPECT_TRUE(e.Normal(0)) << e.Describe() << "\nstderr: " << p.errors();
    // Only the echo of Enter may follow the prompt.
    EXPECT_EQ(p.output().compare(0, want.size(), want), 0) << Escaped(p.output());
    EXPECT_EQ(p.output().find_first_not_of("\r\n", want.size()), std::string::npos)
        << Escaped(p.output());
  }
}

// ---------------------------------------------------------------------------
// Hang-up while waiting for Enter.

using Hangup = E2e;

TEST_F(Hangup, SighupWhileWaitingEndsByTheDefaultAction) {
  Pty& usb0 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0)};
  Process p(box, Options(StdinMode::kHeldPipe));
  ASSERT_EQ(p.setup_error(), "");
  ASSERT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds)) << Escaped(p.output());
  auto start = std::chrono::steady_clock::now();
  p.Signal(SIGHUP);
  Exit e = p.Finish(kPromptSeconds);
  double took = SecondsSince(start);
  EXPECT_TRUE(e.KilledBy(SIGHUP)) << e.Describe();
  EXPECT_LT(took, kPromptSeconds);
  ExpectReleased(usb0);
}

TEST_F(Hangup, ClosingTheTerminalEndsTheProgramBySighup) {
  Pty& usb0 = NewPty();
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", usb0)};
  // Several rounds: the hang-up wakes the pending read and sends SIGHUP at
  // nearly the same moment, and the program must not end by the read.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Pty& console = NewPty();
    ASSERT_TRUE(WriteLineSettings(console.slave(), RawConsole(console.initial())));
    RunOptions o = Options(StdinMode::kTerminal, StdoutMode::kTerminal);
    o.terminal = &console;
    Process p(box, o);
    ASSERT_EQ(p.setup_error(), "");
    ASSERT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds)) << Escaped(p.output());
    EXPECT_EQ(Escaped(p.output()), Escaped(Expected({"/dev/ttyUSB0"})));
    p.HangUpTerminal();
    Exit e = p.Finish(kPromptSeconds);
    EXPECT_TRUE(e.KilledBy(SIGHUP)) << e.Describe() << "\nstderr: " << p.errors();
    ExpectReleased(usb0);
  }
}

}  // namespace
}  // namespace e2e
