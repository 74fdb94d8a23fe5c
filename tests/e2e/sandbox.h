// Runs a real binary inside a private mount namespace whose /dev holds only
// what the case puts there, with its standard streams wired as the case
// wants, and every wait bounded by a deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

class Pty;

// Something placed under /dev/<name> in the private /dev.
struct DevNode {
  enum Kind {
    kPty,          // bind mount of a pty slave opened by the test
    kRegularFile,  // a plain file with a little text in it
    kDirectory,    // an empty directory
    kFifo,         // a named pipe nobody writes to
    kNullDevice,   // bind mount of /dev/null: a character device, not a tty
  };
  std::string name;
  Kind kind;
  const Pty* pty = nullptr;  // for kPty
};

DevNode PtyNode(const std::string& name, const Pty& pty);

// A file written inside the namespace after the lock directories got their
// own tmpfs, e.g. {"/var/lock/LCK..ttyUSB1", "      4242\n"}.
struct NamespaceFile {
  std::string path;
  std::string content;
  mode_t mode = 0644;  // set exactly, whatever the umask
};

struct Sandbox {
  std::vector<DevNode> nodes;
  // Entries of the real /dev carried over by bind mount (files or dirs).
  std::vector<std::string> carried = {"null", "pts", "ptmx"};
  std::vector<NamespaceFile> files;
  // Give /var/lock and /run/lock (when they are real directories) a fresh
  // tmpfs, so no lock file of the machine is seen and none is left behind.
  bool private_lock_dirs = true;
  // Their mode: 0700 makes them unsearchable for anyone but root.
  mode_t lock_dir_mode = 01777;
  // A pty instance of the namespace's own at /dev/pts (with /dev/ptmx), in
  // place of the carried ones, for programs that make terminals themselves
  // (tmux): the machine's /dev/pts may stack instances a bind cannot show.
  bool private_ptys = false;
};

enum class StdinMode {
  kDevNull,
  kClosedPipe,   // a pipe whose write end is closed before the program starts
  kClosedFd,     // descriptor 0 not open at all
  kHeldPipe,     // a pipe the test keeps open and writes to (WriteStdin)
  kTerminal,     // a pty slave, also stdout and stderr, made the controlling
                 // terminal of a new session
};

enum class StdoutMode {
  kPipe,        // collected by the test
  kFile,        // a regular file, read back after the run
  kBrokenPipe,  // a pipe whose read end is closed before the program starts
  kTerminal,    // see StdinMode::kTerminal
};

struct RunOptions {
  std::vector<std::string> argv;  // argv[0] is the path executed
  std::vector<std::string> env;   // the complete environment
  StdinMode in = StdinMode::kDevNull;
  StdoutMode out = StdoutMode::kPipe;
  Pty* terminal = nullptr;  // for kTerminal
};

// `binary` alone, in ProgramEnvironment(), with stdio as asked.
RunOptions RunOf(const std::string& binary, StdinMode in = StdinMode::kDevNull,
                 StdoutMode out = StdoutMode::kPipe);

// The command that runs the comscan program under test: `built`, this
// build's, unless COMSCAN_E2E_PROGRAM names another build of it (another
// architecture's, from its package), which then runs behind the user-mode
// emulator named by COMSCAN_E2E_EMULATOR when that is set, as CMake's
// CMAKE_CROSSCOMPILING_EMULATOR runs a cross-built program: no binfmt
// registration needed.
std::vector<std::string> ProgramCommand(const std::string& built);

// RunOf for the program under test: ProgramCommand(built) as argv.
RunOptions ProgramRun(const std::string& built, StdinMode in = StdinMode::kDevNull,
                      StdoutMode out = StdoutMode::kPipe);

// A fresh pty under each name the Linux scan tries, ttyUSB0..20 then
// ttyACM0..20, placed in `box`; `names` gets their /dev paths in that order.
// False (the test failed by Pty::Open) when a pty could not be had.
bool AddEveryPort(Sandbox* box, std::vector<std::unique_ptr<Pty>>* ptys,
                  std::vector<std::string>* names);

double SecondsSince(std::chrono::steady_clock::time_point start);

// Outcome of one process.
struct Exit {
  bool exited = false;     // ended by itself (exit or signal)
  bool timed_out = false;  // killed by the test after the deadline
  int status = 0;          // waitpid status when exited
  bool Normal(int code) const;
  bool KilledBy(int sig) const;
  std::string Describe() const;
};

// True when the cases can run here: this process may make mount namespaces
// (root, and a probe child could unshare(CLONE_NEWNS) and make / private),
// and the program and emulator named by COMSCAN_E2E_PROGRAM and
// COMSCAN_E2E_EMULATOR, if any, are there. *why tells what failed.
bool NamespacesUsable(std::string* why);

// A started program. The destructor kills it if it is still running.
class Process {
 public:
  Process(const Sandbox& sandbox, const RunOptions& options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Empty when the namespace and stdio were set up and exec succeeded;
  // otherwise what failed (the step and errno).
  const std::string& setup_error() const { return setup_error_; }
  pid_t pid() const { return pid_; }

  // Reads stdout (pipe or terminal) until what was collected ends with
  // `suffix`, the stream ends, or `seconds` pass. True when it ends so.
  bool WaitForOutputEnding(const std::string& suffix, double seconds);
  // True while the process has not ended.
  bool Running();
  void WriteStdin(const std::string& bytes);
  void CloseStdin();
  void Signal(int sig);
  // Closes every master descriptor of the terminal (kTerminal): a hang-up.
  void HangUpTerminal();
  // Waits for the end, collecting stdout meanwhile; kills after `seconds`.
  Exit Finish(double seconds);

  // All stdout bytes: the pipe's or terminal's collected so far, or the
  // file's content after Finish.
  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }

 private:
  void Collect(int timeout_ms);
  void Reap(bool block);

  pid_t pid_ = -1;
  std::string setup_error_;
  int out_fd_ = -1;  // read end of the stdout pipe, or the terminal master
  int err_fd_ = -1;  // read end of the stderr pipe
  int in_fd_ = -1;   // write end of the stdin pipe (kHeldPipe)
  Pty* terminal_ = nullptr;
  std::string out_file_;
  std::string dir_;  // temp dir for the staging mount and the output file
  std::string output_;
  std::string errors_;
  bool reaped_ = false;
  int status_ = 0;
};

// Descriptors of the running process `pid` that refer to any of `ptys`
// (matched by device number), as "fd N -> /dev/pts/M" lines; empty if none.
std::string OpenPtyDescriptors(pid_t pid, const std::vector<const Pty*>& ptys);

// Watches pty slaves for opens by anyone (IN_OPEN), e.g. to prove that a
// name was never tried.
class OpenWatch {
 public:
  OpenWatch();
  ~OpenWatch();
  void Add(const Pty& pty);
  // Number of opens seen per watched pty since the watch was added.
  int Opens(const Pty& pty);

 private:
  void Drain();
  int fd_ = -1;
  std::vector<std::pair<int, const Pty*>> watches_;
  std::vector<std::pair<const Pty*, int>> counts_;
};

// Environment for the program: none of ours, except sanitizer options.
std::vector<std::string> ProgramEnvironment();

// printable form of bytes for failure messages
std::string Escaped(const std::string& bytes);

}  // namespace e2e
