// End to end: real programs hold ttyUSB0 at 115200, each locking it its own
// way or not at all, while the scan runs in the same private /dev. The scan must
// not list it nor change its line, and must still list ttyUSB1. The program
// runs detached in a tmux server of its own, inside the namespace.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <memory>
#include <ostream>
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

constexpr double kHoldSeconds = 10;  // for the program to take the port
constexpr double kRunSeconds = 10;

// How another program tells the world it holds a port.
enum Mark { kFlock = 1, kExclusive = 2, kLockFile = 4 };

struct Holder {
  const char* name;
  const char* command;  // run by sh inside tmux
  int marks;            // what it is known to set, all of which must show
  // Lock files hold the pid right-aligned in ten columns, then this. (Both
  // programs here write that format; the binary one is in the scan tests.)
  const char* lock_file_tail;
  // Holder and scan run as an ordinary user, who sees only its own
  // processes' descriptors.
  bool as_user = false;
};

// A Python script's usual open, which takes no lock; and a shell's.
#define PYSERIAL "exec python3 -c 'import serial, time; port = serial.Serial(\"/dev/ttyUSB0\", 115200); time.sleep(600)'"
#define STTY_CAT "stty -F /dev/ttyUSB0 115200 && exec cat /dev/ttyUSB0"

const Holder kHolders[] = {
    {"picocom", "exec picocom -q -b 115200 /dev/ttyUSB0", kFlock, ""},
    {"tio", "exec tio -b 115200 /dev/ttyUSB0", kFlock, ""},
    {"screen", "exec screen /dev/ttyUSB0 115200", kExclusive, ""},
    {"cu", "exec cu -l /dev/ttyUSB0 -s 115200", kLockFile, "\n"},
    {"minicom", "exec minicom -D /dev/ttyUSB0 -b 115200", kLockFile, "\n"},
    {"pyserial", PYSERIAL, 0, ""},
    {"cat", STTY_CAT, 0, ""},
    {"pyserial_as_user", PYSERIAL, 0, "", true},
    {"cat_as_user", STTY_CAT, 0, "", true},
};

// As nobody, without groups; the holder's command reaches it as $HOLD.
const char* const kAsUser[] = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

// Test names and failure messages show the program, not the record's bytes.
void PrintTo(const Holder& h, std::ostream* os) { *os << h.name; }

// Starts the holder in tmux, waits for a line on stdin (the test's word that
// the port is held), then runs the scan in the same namespace.
const char kScript[] = R"(
tmux -S "$1" -f /dev/null new-session -d -x 100 -y 30 "$2" || exit 120
tmux -S "$1" display-message -p '#{pid}' >"$3" || exit 121
read go
shift 3
exec "$@" </dev/null
)";

std::string ReadFile(const std::string& path) {
  std::string s;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
  }
  return s;
}

// The lock file as seen inside the namespace of pid, empty when absent.
std::string LockFile(pid_t pid) {
  for (const char* dir : {"/run/lock", "/var/lock"}) {
    std::string path = "/proc/" + std::to_string(pid) + "/root" + dir;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    std::string content = ReadFile(path + "/LCK..ttyUSB0");
    if (!content.empty()) return content;
  }
  return "";
}

class TerminalProgram : public ::testing::TestWithParam<Holder> {
 protected:
  void SetUp() override {
    std::string why;
    if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
    const Holder& h = GetParam();
    // The program the holder's command runs: the word after its exec.
    std::string program = h.command;
    program = program.substr(program.find("exec ") + 5);
    program = program.substr(0, program.find(' '));
    for (const std::string& tool : {std::string("tmux"), program})
      if (access(("/usr/bin/" + tool).c_str(), X_OK) != 0)
        GTEST_SKIP() << tool << " is not installed (scripts/setup.sh --tests installs it)";
    // The tmux server and the program become our children when they are
    // orphaned, so the test can see them end.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    char tmpl[] = "/tmp/comscan-holder-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
  }

  // Ends every process the run left: the tmux server first, so the program
  // sees its terminal hang up; then whatever survived that (screen keeps a
  // detached session), all of them our children by now.
  void TearDown() override {
    if (dir_.empty()) return;
    pid_t server = atoi(ReadFile(dir_ + "/server").c_str());
    if (server > 0) kill(server, SIGTERM);
    auto start = Clock::now();
    int sig = 0;
    for (;;) {
      pid_t r = waitpid(-1, nullptr, WNOHANG);
      if (r < 0 && errno == ECHILD) break;
      double waited = SecondsSince(start);
      if (r == 0 && waited > 1 && sig != SIGKILL) {
        sig = waited > 3 ? SIGKILL : SIGTERM;
        for (pid_t child : Children()) kill(child, sig);
      }
      if (waited > 10) {
        ADD_FAILURE() << "processes of the run would not end";
        break;
      }
      if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (system(("rm -rf '" + dir_ + "'").c_str()) != 0) ADD_FAILURE() << "rm " << dir_;
  }

  static std::vector<pid_t> Children() {
    std::vector<pid_t> found;
    DIR* d = opendir("/proc");
    while (dirent* ent = d ? readdir(d) : nullptr) {
      pid_t pid = atoi(ent->d_name);
      if (pid <= 0) continue;
      std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
      size_t paren = stat.rfind(')');
      int ppid = 0;
      if (paren != std::string::npos && sscanf(stat.c_str() + paren + 2, "%*c %d", &ppid) == 1 &&
          ppid == getpid())
        found.push_back(pid);
    }
    if (d) closedir(d);
    return found;
  }

  std::string dir_;
};

TEST_P(TerminalProgram, HeldPortIsNotListedNorChangedAndTheOtherIs) {
  const Holder& h = GetParam();
  auto usb0 = Pty::Open();
  auto usb1 = Pty::Open();
  ASSERT_TRUE(usb0 && usb1);
  // cu opens the port as the uucp user: let anyone open it, as a port set up
  // for dial-out would let that user.
  ASSERT_EQ(chmod(usb0->path().c_str(), 0666), 0);
  ASSERT_EQ(chmod(usb1->path().c_str(), 0666), 0);
  Sandbox box;
  box.nodes = {PtyNode("ttyUSB0", *usb0), PtyNode("ttyUSB1", *usb1)};
  box.carried = {"null", "tty", "zero", "urandom"};
  box.private_ptys = true;
  RunOptions o = RunOf("/bin/sh", StdinMode::kHeldPipe);
  std::string hold = h.command;
  if (h.as_user) {
    hold = "exec";
    for (const char* word : kAsUser) hold += std::string(" ") + word;
    hold += " sh -c \"$HOLD\"";
  }
  o.argv = {"/bin/sh", "-c", kScript, "sh", dir_ + "/tmux", hold, dir_ + "/server"};
  if (h.as_user) o.argv.insert(o.argv.end(), std::begin(kAsUser), std::end(kAsUser));
  for (const std::string& word : ProgramCommand(COMSCAN_BINARY)) o.argv.push_back(word);
  o.env.insert(o.env.end(), {"PATH=/usr/local/bin:/usr/bin:/bin", "TERM=xterm", "HOME=" + dir_,
                             "SCREENDIR=" + dir_ + "/screen", "LANG=C", std::string("HOLD=") + h.command});
  Process p(box, o);
  ASSERT_EQ(p.setup_error(), "");

  // Held means: its line at 115200 and every mark it is known to set.
  int seen = 0;
  std::string lock;
  auto start = Clock::now();
  for (;;) {
    seen = 0;
    if (!usb0->FreeToLock()) seen |= kFlock;
    if (usb0->Exclusive()) seen |= kExclusive;
    lock = LockFile(p.pid());
    if (!lock.empty()) seen |= kLockFile;
    bool fast = OutputBaud(usb0->Settings()) == 115200;
    if (fast && (seen & h.marks) == h.marks) break;
    if (!p.Running() || SecondsSince(start) > kHoldSeconds) {
      p.Finish(1);
      FAIL() << h.name << " did not hold ttyUSB0 at 115200 within " << kHoldSeconds
             << " s (marks seen " << seen << ", line " << Describe(usb0->Settings())
             << "); stderr: " << p.errors();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (h.marks & kLockFile) {
    // The format, so that the test is known to exercise it.
    const std::string tail = h.lock_file_tail;
    EXPECT_TRUE(lock.size() > 10 && lock.find_first_not_of(" 0123456789") == 10 &&
                lock.compare(10, tail.size(), tail) == 0)
        << "lock file of " << h.name << ": " << Escaped(lock);
  }
  const LineSettings held = usb0->Settings();
  const bool exclusive = usb0->Exclusive();

  p.WriteStdin("go\n");
  Exit e = p.Finish(kRunSeconds);
  EXPECT_TRUE(e.Normal(0)) << e.Describe() << "\nstderr: " << p.errors();
  EXPECT_EQ(Escaped(p.output()), Escaped(Expected({"/dev/ttyUSB1"})))
      << h.name << " holds ttyUSB0";
  EXPECT_EQ(usb0->Settings(), held) << "line of the held port changed: "
                                    << Describe(usb0->Settings());
  EXPECT_EQ(usb0->Exclusive(), exclusive);
  EXPECT_TRUE(LeftAsFound(*usb1));
  EXPECT_FALSE(usb1->Exclusive());
  EXPECT_TRUE(usb1->FreeToLock());
}

INSTANTIATE_TEST_SUITE_P(Holders, TerminalProgram, ::testing::ValuesIn(kHolders),
                         [](const ::testing::TestParamInfo<Holder>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace e2e
