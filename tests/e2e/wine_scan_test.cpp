// End to end: a Windows exe under wine, in a throw-away prefix. Which exe,
// loader and prefix come from the environment: COMSCAN_WINDOWS_EXE, and
// COMSCAN_WINE_LOADER and COMSCAN_WINE_ARCH (default: wine64, a win64
// prefix; the i686 release exe runs with the 32-bit loader in a win32 one).
//
// Every wine process runs in a private mount namespace whose /dev has no
// ttyS* node at all (ttyS0 is this machine's console and must never be
// opened), and the prefix's dosdevices hold no comN link but the ones a case
// makes, each to a pty opened fresh for that run: the C library here refuses
// a tcsetattr the pty driver adjusts, so a pty configured once before may
// refuse wine's second configuration with error 87.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr double kBootSeconds = 180;
constexpr double kRunSeconds = 60;
bool Executable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

std::string FindOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && Executable(dir + "/" + name)) return dir + "/" + name;
  return "";
}

std::string FindWine64() {
  std::string p = FindOnPath("wine64");
  if (!p.empty()) return p;
  // Debian keeps the 64-bit loader out of PATH.
  for (const char* c : {"/usr/lib/wine/wine64", "/usr/lib64/wine/wine64",
                        "/usr/libexec/wine/wine64", "/opt/wine/bin/wine64"})
    if (Executable(c)) return c;
  return "";
}

std::string FindWineserver(const std::string& wine64) {
  std::string dir = fs::path(wine64).parent_path().string();
  for (const std::string& c : {dir + "/wineserver64", dir + "/wineserver"})
    if (Executable(c)) return c;
  return FindOnPath("wineserver");
}

// Lines of wine's debug output on the comm channel (and its errors).
std::string CommTrace(const std::string& errors) {
  std::stringstream in(errors);
  std::string line, kept;
  while (std::getline(in, line))
    if (line.find(":comm:") != std::string::npos) kept += line + "\n";
  return kept;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + what.size()))
    ++n;
  return n;
}

class Wine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_.clear();
    broken_.clear();
    const char* exe = getenv("COMSCAN_WINDOWS_EXE");
    if (!exe || !*exe) {
      skip_ = "COMSCAN_WINDOWS_EXE is not set (scripts/test.sh sets it to "
              "build/windows-x86_64/comscan.exe)";
      return;
    }
    exe_ = exe;
    const char* loader = getenv("COMSCAN_WINE_LOADER");
    const char* arch = getenv("COMSCAN_WINE_ARCH");
    arch_ = arch && *arch ? arch : "win64";
    wine_ = loader && *loader ? loader : FindWine64();
    if (wine_.empty()) {
      skip_ = "wine64 not found (on PATH or in /usr/lib/wine)";
      return;
    }
    if (!Executable(wine_)) {
      skip_ = "COMSCAN_WINE_LOADER=" + wine_ + " cannot be run (scripts/wine32.sh puts the "
              "32-bit wine in build/wine32 where it can, and says why where it cannot)";
      return;
    }
    wineserver_ = FindWineserver(wine_);
    std::string why;
    if (!NamespacesUsable(&why)) {
      skip_ = "wine must run where /dev has no ttyS*: " + why;
      return;
    }
    if (access(exe_.c_str(), R_OK) != 0) {
      // scripts/test.sh builds the x86_64 exe before the tests, and fails
      // if it cannot; the i686 one comes from the release zip, if any.
      skip_ = "COMSCAN_WINDOWS_EXE=" + exe_ + " cannot be read (" + std::strerror(errno) +
              "): the i686 exe is unpacked from the zip scripts/release.sh puts in dist/";
      return;
    }
    if (wineserver_.empty()) {
      broken_ = "no wineserver beside " + wine_;
      return;
    }
    char tmpl[] = "/tmp/comscan-e2e-wine-XXXXXX";
    if (!mkdtemp(tmpl)) {
      broken_ = std::string("mkdtemp: ") + std::strerror(errno);
      return;
    }
    dir_ = tmpl;
    prefix_ = dir_ + "/prefix";

    auto start = std::chrono::steady_clock::now();
    Process boot(WineBox(), Options({wine_, "wineboot", "-i"}, "-all",
                                    StdinMode::kDevNull));
    if (!boot.setup_error().empty()) {
      broken_ = "sandbox for wineboot: " + boot.setup_error();
      return;
    }
    Exit e = boot.Finish(kBootSeconds);
    StopServer();
    boot_seconds_ = std::chrono::duration<double>(
                        std::chrono::steady_clock::now() - start).count();
    if (!e.Normal(0) || !fs::is_directory(prefix_ + "/dosdevices"))
      broken_ = "wineboot -i: " + e.Describe() + "\n" + boot.errors();
  }

  static void TearDownTestSuite() {
    if (prefix_.empty()) return;
    StopServer();
    RemoveServerDir();
    std::error_code ec;
    fs::remove_all(dir_, ec);  // symlinks (z: -> /) are removed, not followed
    prefix_.clear();
    dir_.clear();
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_EQ(broken_, "") << "no wine prefix to run in";
    RecordProperty("wineboot_seconds", std::to_string(boot_seconds_));
    RemoveComLinks();
  }

  void TearDown() override {
    if (skip_.empty() && broken_.empty()) StopServer();
  }

  static Sandbox WineBox() {
    Sandbox box;
    box.carried = {"null", "zero", "urandom", "random", "pts", "ptmx", "shm"};
    return box;
  }

  static RunOptions Options(std::vector<std::string> argv, const std::string& debug,
                            StdinMode in) {
    RunOptions o;
    o.argv = std::move(argv);
    o.env = {"WINEPREFIX=" + prefix_,
             "WINEARCH=" + arch_,
             "WINEDEBUG=" + debug,
             "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d",
             "WINESERVER=" + wineserver_,
             // Whatever wine writes outside the prefix stays in the temp dir.
             "HOME=" + dir_,
             "XDG_CONFIG_HOME=" + dir_ + "/config",
             "XDG_DATA_HOME=" + dir_ + "/data",
             "XDG_CACHE_HOME=" + dir_ + "/cache",
             "PATH=/usr/bin:/bin"};
    o.in = in;
    return o;
  }

  // Ends the prefix's wineserver (and with it every wine process) and waits
  // until it is gone, so that the next run starts one in its own namespace.
  static void StopServer() {
    for (const char* flag : {"-k", "-w"}) {
      RunOptions o = Options({wineserver_, flag}, "-all", StdinMode::kDevNull);
      Process p(WineBox(), o);
      Exit e = p.Finish(30);
      if (e.timed_out) ADD_FAILURE() << "wineserver " << flag << " hung";
    }
  }

  // The stopped server leaves its directory, named after the prefix's device
  // and inode, in a /tmp/wine-XXXXXX (or /tmp/.wine-UID) directory: remove
  // ours, and its parent when nothing else is in it.
  static void RemoveServerDir() {
    struct stat st;
    if (stat(prefix_.c_str(), &st) != 0) return;
    char name[64];
    std::snprintf(name, sizeof name, "server-%llx-%llx",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
      std::string parent = entry.path().filename().string();
      if (parent.rfind("wine-", 0) != 0 && parent.rfind(".wine-", 0) != 0) continue;
      fs::path server = entry.path() / name;
      if (!fs::is_directory(fs::symlink_status(server, ec))) continue;
      fs::remove_all(server, ec);
      if (fs::is_empty(entry.path(), ec)) fs::remove(entry.path(), ec);
    }
  }

  static std::string DosDevices() { return prefix_ + "/dosdevices"; }

  static void RemoveComLinks() {
    static const std::regex com("com[0-9]+", std::regex::icase);
    for (const auto& entry : fs::directory_iterator(DosDevices())) {
      std::string name = entry.path().filename().string();
      if (std::regex_match(name, com)) fs::remove(entry.path());
    }
  }

  static void Link(const std::string& com, const Pty& pty) {
    fs::create_symlink(pty.path(), DosDevices() + "/" + com);
  }

  // "name -> target" for every dosdevices entry, for messages, and whether
  // any of them leads to a ttyS device.
  static std::string Listing(bool* leads_to_ttys) {
    std::string out;
    *leads_to_ttys = false;
    for (const auto& entry : fs::directory_iterator(DosDevices())) {
      std::error_code ec;
      std::string target = fs::read_symlink(entry.path(), ec).string();
      out += entry.path().filename().string() + " -> " + target + "\n";
      if (target.find("ttyS") != std::string::npos) *leads_to_ttys = true;
    }
    return out;
  }

  Pty& NewPty() {
    auto p = Pty::Open();
    if (!p) throw std::runtime_error("no pseudo-terminal for the case");
    ptys_.push_back(std::move(p));
    return *ptys_.back();
  }

  std::vector<std::unique_ptr<Pty>> ptys_;

  static std::string skip_, broken_, exe_, wine_, arch_, wineserver_, dir_, prefix_;
  static double boot_seconds_;
};

std::string Wine::skip_, Wine::broken_, Wine::exe_, Wine::wine_, Wine::arch_,
    Wine::wineserver_, Wine::dir_, Wine::prefix_;
double Wine::boot_seconds_ = 0;

TEST_F(Wine, NoComPortGivesTheThreeLinesAndExitsAtEndOfInput) {
  Process p(WineBox(), Options({wine_, exe_}, "-all", StdinMode::kDevNull));
  ASSERT_EQ(p.setup_error(), "");
  Exit e = p.Finish(kRunSeconds);
  EXPECT_FALSE(e.timed_out) << "hung; stdout so far " << Escaped(p.output());
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({})));
  EXPECT_TRUE(e.Normal(0)) << e.Describe() << "\nstderr: " << p.errors();
  bool ttys = false;
  std::string listing = Listing(&ttys);
  EXPECT_FALSE(ttys) << "a dosdevices link leads to a ttyS device:\n" << listing;
}

TEST_F(Wine, Com3AndCom7FoundConfiguredAndWaitingForEnter) {
  Pty& com3 = NewPty();
  Pty& com7 = NewPty();
  Pty& com21 = NewPty();  // past the scanned range: never opened
  Link("com3", com3);
  Link("com7", com7);
  Link("com21", com21);
  OpenWatch watch;
  for (const Pty* p : {&com3, &com7, &com21}) watch.Add(*p);

  Process p(WineBox(), Options({wine_, exe_}, "-all,+comm", StdinMode::kHeldPipe));
  ASSERT_EQ(p.setup_error(), "");
  bool prompted = p.WaitForOutputEnding(kPrompt, kRunSeconds);
  bool waited = false;
  if (prompted) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    waited = p.Running();
    p.WriteStdin("\r\n");
  }
  Exit e = p.Finish(prompted ? 15 : 1);
  std::string trace = CommTrace(p.errors());
  RecordProperty("wine_comm_trace", trace.substr(0, 4000));

  ASSERT_TRUE(prompted) << "no prompt; stdout " << Escaped(p.output())
                        << "\nstderr: " << p.errors();
  EXPECT_TRUE(waited) << "did not wait for Enter on an open pipe";
  EXPECT_TRUE(e.Normal(0)) << e.Describe();
  EXPECT_GE(watch.Opens(com3), 1) << "Com3 was not tried";
  EXPECT_GE(watch.Opens(com7), 1) << "Com7 was not tried";
  EXPECT_EQ(watch.Opens(com21), 0) << "Com21 was opened";
  EXPECT_EQ(com21.Settings(), com21.initial()) << "Com21 was configured";
  bool ttys = false;
  std::string listing = Listing(&ttys);
  EXPECT_FALSE(ttys) << "a dosdevices link leads to a ttyS device:\n" << listing;

  const std::string both = Expected({"Com3", "Com7"});
  if (p.output() == both) {
    for (const Pty* port : {&com3, &com7}) {
      SCOPED_TRACE(port == &com3 ? "Com3" : "Com7");
      EXPECT_TRUE(ConfiguredByScan(port->Settings()));
      EXPECT_FALSE(port->Exclusive());
    }
    return;
  }
  // Wine may refuse the DCB when the C library's tcsetattr reports the pty
  // driver's adjustment (it drops parity) as EINVAL: wine answers error 87.
  // That is this machine, not the program, provided each port was configured
  // once only. What can still be checked: the tries (above) and the rate,
  // which wine sets in a call of its own before the line control.
  int refusals = Count(trace, "tcsetattr error 'Invalid argument'");
  int line_controls = Count(trace, "IOCTL_SERIAL_SET_LINE_CONTROL");
  if (p.output() == Expected({}) && refusals > 0 && line_controls <= 2) {
    RecordProperty("wine_refused_dcb", "yes");
    EXPECT_EQ(OutputBaud(com3.Settings()), 38400);
    EXPECT_EQ(OutputBaud(com7.Settings()), 38400);
    std::printf("NOTE: wine refused the DCB on the ptys (tcsetattr EINVAL, "
                "error 87); evidence:\n%s", trace.c_str());
    return;
  }
  ADD_FAILURE() << "stdout " << Escaped(p.output()) << "\nexpected " << Escaped(both)
                << "\nwine comm trace:\n" << trace;
}

// Com1 is the first name tried and Com20 the last. Past Com9 a plain name is
// a file name, so the program must open the device namespace (\\.\ComN).
TEST_F(Wine, Com1AndCom20AreFoundAndCom21NeverTried) {
  Pty& com1 = NewPty();
  Pty& com20 = NewPty();
  Pty& com21 = NewPty();
  Link("com1", com1);
  Link("com20", com20);
  Link("com21", com21);
  OpenWatch watch;
  watch.Add(com21);
  Process p(WineBox(), Options({wine_, exe_}, "-all,+comm", StdinMode::kDevNull));
  ASSERT_EQ(p.setup_error(), "");
  Exit e = p.Finish(kRunSeconds);
  EXPECT_FALSE(e.timed_out) << "hung; stdout so far " << Escaped(p.output());
  EXPECT_TRUE(e.Normal(0)) << e.Describe();
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({"Com1", "Com20"})))
      << "wine comm trace:\n" << CommTrace(p.errors());
  EXPECT_EQ(watch.Opens(com21), 0) << "Com21 was opened";
  EXPECT_EQ(com21.Settings(), com21.initial()) << "Com21 was configured";
}

// The same redirections the Linux build is run with: the Windows program
// falls back from the console calls to plain file I/O on every one of them.
TEST_F(Wine, RedirectedStreamsGetTheSameBytesAndExitZero) {
  struct Case {
    StdinMode in;
    StdoutMode out;
    const char* what;
  } cases[] = {{StdinMode::kClosedPipe, StdoutMode::kPipe, "stdin a pipe closed at once"},
               {StdinMode::kClosedFd, StdoutMode::kPipe, "descriptor 0 closed"},
               {StdinMode::kDevNull, StdoutMode::kFile, "stdout a file"},
               {StdinMode::kDevNull, StdoutMode::kBrokenPipe, "stdout a pipe whose reader is gone"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunOptions o = Options({wine_, exe_}, "-all", c.in);
    o.out = c.out;
    Process p(WineBox(), o);
    ASSERT_EQ(p.setup_error(), "");
    Exit e = p.Finish(kRunSeconds);
    EXPECT_FALSE(e.timed_out) << "hung; stdout so far " << Escaped(p.output());
    EXPECT_TRUE(e.Normal(0)) << e.Describe() << "\nstderr: " << p.errors();
    if (c.out != StdoutMode::kBrokenPipe) {
      EXPECT_EQ(Escaped(p.output()), Escaped(Expected({})));
    }
  }
}

}  // namespace
}  // namespace e2e
