#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "pty.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Everything the child needs, prepared before fork so that the child only
// makes system calls.
struct ChildPlan {
  struct Mount {
    enum Op { kBindFile, kBindDir, kWriteFile, kMakeDir, kMakeFifo } op;
    std::string source;  // for binds
    std::string target;  // full path under the staging dir
    std::string content; // for kWriteFile
  };
  std::string staging;
  std::vector<Mount> dev;
  std::vector<NamespaceFile> files;
  bool private_lock_dirs = true;
  bool private_ptys = false;
  std::string lock_dir_options;  // tmpfs options of the lock directories
  int in = -1, out = -1, err = -1;  // descriptors to become 0, 1, 2
  bool close_stdin = false;
  bool controlling_terminal = false;
  std::vector<char*> argv;
  std::vector<char*> envp;
};

[[noreturn]] void ChildFail(int report, const std::string& step) {
  std::string msg = step + ": " + std::strerror(errno);
  ssize_t r = write(report, msg.data(), msg.size());
  (void)r;
  _exit(127);
}

bool MakeEmptyFile(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool WriteWhole(const std::string& path, const std::string& content,
                mode_t mode = 0644) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), content.size()) ==
                static_cast<ssize_t>(content.size()) &&
            fchmod(fd, mode) == 0;
  close(fd);
  return ok;
}

// Moves a descriptor out of the 0..2 range so that the dup2 calls below
// cannot clobber one another (the test process may itself run without fd 0).
int High(int report, int fd) {
  if (fd < 0) return fd;
  int h = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  if (h < 0) ChildFail(report, "F_DUPFD");
  return h;
}

[[noreturn]] void RunChild(const ChildPlan& plan, int report) {
  report = High(report, report);
  if (unshare(CLONE_NEWNS) != 0) ChildFail(report, "unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    ChildFail(report, "mount / private");
  if (mount("tmpfs", plan.staging.c_str(), "tmpfs", MS_NOSUID, "mode=755") != 0)
    ChildFail(report, "tmpfs on " + plan.staging);
  for (const auto& m : plan.dev) {
    switch (m.op) {
      case ChildPlan::Mount::kBindFile:
        if (!MakeEmptyFile(m.target)) ChildFail(report, "create " + m.target);
        if (mount(m.source.c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
          ChildFail(report, "bind " + m.source + " on " + m.target);
        break;
      case ChildPlan::Mount::kBindDir:
        if (mkdir(m.target.c_str(), 0755) != 0) ChildFail(report, "mkdir " + m.target);
        if (mount(m.source.c_str(), m.target.c_str(), nullptr, MS_BIND | MS_REC,
                  nullptr) != 0)
          ChildFail(report, "bind " + m.source + " on " + m.target);
        break;
      case ChildPlan::Mount::kWriteFile:
        if (!WriteWhole(m.target, m.content)) ChildFail(report, "write " + m.target);
        break;
      case ChildPlan::Mount::kMakeDir:
        if (mkdir(m.target.c_str(), 0755) != 0) ChildFail(report, "mkdir " + m.target);
        break;
      case ChildPlan::Mount::kMakeFifo:
        if (mkfifo(m.target.c_str(), 0666) != 0) ChildFail(report, "mkfifo " + m.target);
        break;
    }
  }
  if (mount(plan.staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0)
    ChildFail(report, "move " + plan.staging + " onto /dev");
  if (plan.private_ptys) {
    if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=620") != 0)
      ChildFail(report, "devpts on /dev/pts");
    if (symlink("pts/ptmx", "/dev/ptmx") != 0) ChildFail(report, "symlink /dev/ptmx");
  }
  if (plan.private_lock_dirs) {
    for (const char* dir : {"/run/lock", "/var/lock"}) {
      struct stat st;
      if (lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) &&
          mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV,
                plan.lock_dir_options.c_str()) != 0)
        ChildFail(report, std::string("tmpfs on ") + dir);
    }
  }
  for (const auto& f : plan.files)
    if (!WriteWhole(f.path, f.content, f.mode)) ChildFail(report, "write " + f.path);

  int in = High(report, plan.in), out = High(report, plan.out),
      err = High(report, plan.err);
  if (in >= 0 && dup2(in, 0) != 0) ChildFail(report, "dup2 stdin");
  if (plan.close_stdin) close(0);
  if (dup2(out, 1) != 1) ChildFail(report, "dup2 stdout");
  if (dup2(err, 2) != 2) ChildFail(report, "dup2 stderr");
  if (plan.controlling_terminal) {
    if (setsid() < 0) ChildFail(report, "setsid");
    if (ioctl(0, TIOCSCTTY, 0) != 0) ChildFail(report, "TIOCSCTTY");
  }
  // Exec keeps ignored signals ignored and the mask as it is: start clean,
  // so that what the program does about SIGPIPE and SIGHUP is its own.
  for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) ChildFail(report, "close_range");
  execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  ChildFail(report, std::string("execve ") + plan.argv[0]);
}

std::string ReadAll(int fd, double seconds) {
  std::string got;
  auto start = Clock::now();
  char buf[512];
  while (SecondsSince(start) < seconds) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, n);
  }
  return got;
}

}  // namespace

DevNode PtyNode(const std::string& name, const Pty& pty) {
  return DevNode{name, DevNode::kPty, &pty};
}

bool Exit::Normal(int code) const {
  return exited && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool Exit::KilledBy(int sig) const {
  return exited && WIFSIGNALED(status) && WTERMSIG(status) == sig;
}

std::string Exit::Describe() const {
  if (timed_out) return "hung: killed by the test after the deadline";
  if (!exited) return "not ended";
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return std::string("killed by signal ") + std::to_string(WTERMSIG(status)) +
           " (" + strsignal(WTERMSIG(status)) + ")";
  return "status " + std::to_string(status);
}

namespace {

// Empty when the program and emulator named in the environment (see
// ProgramCommand) can be run, else which cannot and why: the foreign build is
// unpacked from its package (or cross-built), and the emulator fetched, only
// where that could be done.
std::string ForeignProgramMissing() {
  const struct {
    const char* variable;
    const char* remedy;
  } named[] = {
      {"COMSCAN_E2E_PROGRAM",
       "it is unpacked from the release's package in dist/, which scripts/release.sh makes, "
       "or built with the fault shim by its architecture's preset"},
      {"COMSCAN_E2E_EMULATOR", "scripts/emulator.sh fetches it, and says why when it cannot"},
  };
  for (const auto& n : named) {
    const char* path = getenv(n.variable);
    if (path && *path && access(path, X_OK) != 0)
      return std::string(n.variable) + "=" + path + " cannot be run (" + std::strerror(errno) +
             "): " + n.remedy;
  }
  return "";
}

}  // namespace

bool NamespacesUsable(std::string* why) {
  std::string missing = ForeignProgramMissing();
  if (!missing.empty()) {
    if (why) *why = missing;
    return false;
  }
  static int known = -1;
  static std::string reason;
  if (known < 0) {
    if (geteuid() != 0) {
      reason = "needs root (uid " + std::to_string(geteuid()) +
               ") to make a private mount namespace and /dev";
      known = 0;
    } else {
      int report[2];
      if (pipe2(report, O_CLOEXEC) != 0) {
        reason = "pipe failed";
        known = 0;
      } else {
        pid_t pid = fork();
        if (pid == 0) {
          close(report[0]);
          if (unshare(CLONE_NEWNS) != 0) ChildFail(report[1], "unshare(CLONE_NEWNS)");
          if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ChildFail(report[1], "mount / private");
          _exit(0);
        }
        close(report[1]);
        std::string msg = ReadAll(report[0], 10);
        close(report[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        known = msg.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!known) reason = "cannot make a private mount namespace: " + msg;
      }
    }
  }
  if (why) *why = reason;
  return known == 1;
}

Process::Process(const Sandbox& sandbox, const RunOptions& options) {
  signal(SIGPIPE, SIG_IGN);  // writing to a dead child's stdin must not kill us
  char tmpl[] = "/tmp/comscan-e2e-XXXXXX";
  if (!mkdtemp(tmpl)) {
    setup_error_ = std::string("mkdtemp: ") + std::strerror(errno);
    return;
  }
  dir_ = tmpl;
  ChildPlan plan;
  plan.staging = dir_ + "/dev";
  if (mkdir(plan.staging.c_str(), 0755) != 0) {
    setup_error_ = std::string("mkdir staging: ") + std::strerror(errno);
    return;
  }
  plan.private_ptys = sandbox.private_ptys;
  if (plan.private_ptys)
    plan.dev.push_back({ChildPlan::Mount::kMakeDir, "", plan.staging + "/pts", ""});
  for (const auto& name : sandbox.carried) {
    if (plan.private_ptys && (name == "pts" || name == "ptmx")) continue;
    struct stat st;
    std::string src = "/dev/" + name;
    if (stat(src.c_str(), &st) != 0) continue;  // nothing to carry
    plan.dev.push_back({S_ISDIR(st.st_mode) ? ChildPlan::Mount::kBindDir
                                            : ChildPlan::Mount::kBindFile,
                        src, plan.staging + "/" + name, ""});
  }
  for (const auto& node : sandbox.nodes) {
    std::string target = plan.staging + "/" + node.name;
    switch (node.kind) {
      case DevNode::kPty:
        plan.dev.push_back({ChildPlan::Mount::kBindFile, node.pty->path(), target, ""});
        break;
      case DevNode::kRegularFile:
        plan.dev.push_back({ChildPlan::Mount::kWriteFile, "", target, "not a terminal\n"});
        break;
      case DevNode::kDirectory:
        plan.dev.push_back({ChildPlan::Mount::kMakeDir, "", target, ""});
        break;
      case DevNode::kFifo:
        plan.dev.push_back({ChildPlan::Mount::kMakeFifo, "", target, ""});
        break;
      case DevNode::kNullDevice:
        plan.dev.push_back({ChildPlan::Mount::kBindFile, "/dev/null", target, ""});
        break;
    }
  }
  plan.files = sandbox.files;
  plan.private_lock_dirs = sandbox.private_lock_dirs;
  char mode[32];
  std::snprintf(mode, sizeof mode, "mode=%o", static_cast<unsigned>(sandbox.lock_dir_mode));
  plan.lock_dir_options = mode;

  std::vector<int> child_side;  // closed in the parent after fork
  int p[2];
  switch (options.in) {
    case StdinMode::kDevNull:
      plan.in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      child_side.push_back(plan.in);
      break;
    case StdinMode::kClosedPipe:
    case StdinMode::kHeldPipe:
      if (pipe2(p, O_CLOEXEC) != 0) break;
      plan.in = p[0];
      child_side.push_back(p[0]);
      if (options.in == StdinMode::kHeldPipe) in_fd_ = p[1]; else close(p[1]);
      break;
    case StdinMode::kClosedFd:
      plan.close_stdin = true;
      break;
    case StdinMode::kTerminal:
      plan.in = options.terminal->slave();
      plan.controlling_terminal = true;
      break;
  }
  switch (options.out) {
    case StdoutMode::kPipe:
    case StdoutMode::kBrokenPipe:
      if (pipe2(p, O_CLOEXEC) != 0) break;
      plan.out = p[1];
      child_side.push_back(p[1]);
      if (options.out == StdoutMode::kPipe) out_fd_ = p[0]; else close(p[0]);
      break;
    case StdoutMode::kFile:
      out_file_ = dir_ + "/stdout";
      plan.out = open(out_file_.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
      child_side.push_back(plan.out);
      break;
    case StdoutMode::kTerminal:
      plan.out = options.terminal->slave();
      out_fd_ = fcntl(options.terminal->master(), F_DUPFD_CLOEXEC, 3);
      terminal_ = options.terminal;
      break;
  }
  if (pipe2(p, O_CLOEXEC) == 0) {
    plan.err = p[1];
    child_side.push_back(p[1]);
    err_fd_ = p[0];
  }
  if (plan.out < 0 || plan.err < 0 || (plan.in < 0 && !plan.close_stdin)) {
    setup_error_ = std::string("stdio setup: ") + std::strerror(errno);
    for (int fd : child_side) close(fd);
    return;
  }

  std::vector<std::string> argv = options.argv, env = options.env;
  for (auto& a : argv) plan.argv.push_back(&a[0]);
  plan.argv.push_back(nullptr);
  for (auto& e : env) plan.envp.push_back(&e[0]);
  plan.envp.push_back(nullptr);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    setup_error_ = "report pipe";
    for (int fd : child_side) close(fd);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(report[0]);
    RunChild(plan, report[1]);
  }
  close(report[1]);
  for (int fd : child_side) close(fd);
  if (pid_ < 0) {
    setup_error_ = std::string("fork: ") + std::strerror(errno);
    close(report[0]);
    return;
  }
  std::string msg = ReadAll(report[0], 20);
  close(report[0]);
  if (!msg.empty()) {
    setup_error_ = msg;
    Reap(true);
  }
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    Reap(true);
  }
  for (int fd : {out_fd_, err_fd_, in_fd_})
    if (fd >= 0) close(fd);
  if (!dir_.empty()) {
    if (!out_file_.empty()) unlink(out_file_.c_str());
    rmdir((dir_ + "/dev").c_str());
    rmdir(dir_.c_str());
  }
}

void Process::Collect(int timeout_ms) {
  struct pollfd fds[2];
  int n = 0;
  int* owners[2];
  std::string* sinks[2];
  if (out_fd_ >= 0) {
    fds[n] = {out_fd_, POLLIN, 0};
    owners[n] = &out_fd_;
    sinks[n++] = &output_;
  }
  if (err_fd_ >= 0) {
    fds[n] = {err_fd_, POLLIN, 0};
    owners[n] = &err_fd_;
    sinks[n++] = &errors_;
  }
  if (n == 0) {
    if (timeout_ms > 0) usleep(timeout_ms * 1000);
    return;
  }
  if (poll(fds, n, timeout_ms) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    ssize_t got = read(fds[i].fd, buf, sizeof buf);
    if (got > 0) {
      sinks[i]->append(buf, got);
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      close(*owners[i]);  // end of stream (EIO on a hung-up terminal)
      *owners[i] = -1;
    }
  }
}

void Process::Reap(bool block) {
  if (reaped_ || pid_ <= 0) return;
  pid_t r;
  do {
    r = waitpid(pid_, &status_, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) reaped_ = true;
}

bool Process::Running() {
  Reap(false);
  return pid_ > 0 && !reaped_;
}

bool Process::WaitForOutputEnding(const std::string& suffix, double seconds) {
  auto ends = [&] {
    return output_.size() >= suffix.size() &&
           output_.compare(output_.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  auto start = Clock::now();
  while (!ends() && SecondsSince(start) < seconds) {
    if (out_fd_ < 0) break;
    Collect(20);
    if (!Running()) {
      for (int i = 0; i < 50 && out_fd_ >= 0 && !ends(); ++i) Collect(5);
      break;
    }
  }
  return ends();
}

void Process::WriteStdin(const std::string& bytes) {
  if (in_fd_ < 0) return;
  ssize_t r = write(in_fd_, bytes.data(), bytes.size());
  (void)r;  // a program that already ended gives EPIPE; Finish tells
}

void Process::CloseStdin() {
  if (in_fd_ >= 0) close(in_fd_);
  in_fd_ = -1;
}

void Process::Signal(int sig) {
  if (Running()) kill(pid_, sig);
}

void Process::HangUpTerminal() {
  if (!terminal_) return;
  if (out_fd_ >= 0) close(out_fd_);
  out_fd_ = -1;
  terminal_->CloseMaster();
}

Exit Process::Finish(double seconds) {
  Exit e;
  if (pid_ <= 0) return e;
  auto start = Clock::now();
  while (!reaped_) {
    Collect(20);
    Reap(false);
    if (reaped_) break;
    if (SecondsSince(start) >= seconds) {
      kill(pid_, SIGKILL);
      Reap(true);
      e.timed_out = true;
      break;
    }
  }
  // What the program wrote before it ended is in the pipe already; a
  // descendant still holding the write end must not keep us here.
  for (int i = 0; i < 20 && (out_fd_ >= 0 || err_fd_ >= 0); ++i) {
    size_t before = output_.size() + errors_.size();
    Collect(10);
    if (output_.size() + errors_.size() == before) break;
  }
  if (!out_file_.empty()) {
    std::ifstream f(out_file_, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    output_ = ss.str();
  }
  e.exited = !e.timed_out;
  e.status = status_;
  return e;
}

std::string OpenPtyDescriptors(pid_t pid, const std::vector<const Pty*>& ptys) {
  std::string found;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (!d) return "cannot list " + dir + ": " + std::strerror(errno);
  while (dirent* ent = readdir(d)) {
    if (ent->d_name[0] == '.') continue;
    struct stat st;
    std::string fd = dir + "/" + ent->d_name;
    if (stat(fd.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    for (const Pty* p : ptys)
      if (st.st_rdev == p->rdev())
        found += "fd " + std::string(ent->d_name) + " -> " + p->path() + "\n";
  }
  closedir(d);
  return found;
}

OpenWatch::OpenWatch() { fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

OpenWatch::~OpenWatch() {
  if (fd_ >= 0) close(fd_);
}

void OpenWatch::Add(const Pty& pty) {
  int wd = inotify_add_watch(fd_, pty.path().c_str(), IN_OPEN);
  if (wd < 0) {
    ADD_FAILURE_AT(__FILE__, __LINE__) << "inotify on " << pty.path() << ": "
                                       << std::strerror(errno);
    return;
  }
  watches_.push_back({wd, &pty});
  counts_.push_back({&pty, 0});
}

void OpenWatch::Drain() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return;
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      if (ev->mask & IN_OPEN)
        for (auto& w : watches_)
          if (w.first == ev->wd)
            for (auto& c : counts_)
              if (c.first == w.second) ++c.second;
      p += sizeof(inotify_event) + ev->len;
    }
  }
}

int OpenWatch::Opens(const Pty& pty) {
  Drain();
  for (auto& c : counts_)
    if (c.first == &pty) return c.second;
  return -1;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

RunOptions RunOf(const std::string& binary, StdinMode in, StdoutMode out) {
  RunOptions o;
  o.argv = {binary};
  o.env = ProgramEnvironment();
  o.in = in;
  o.out = out;
  return o;
}

std::vector<std::string> ProgramCommand(const std::string& built) {
  const char* program = getenv("COMSCAN_E2E_PROGRAM");
  if (!program || !*program) return {built};
  const char* emulator = getenv("COMSCAN_E2E_EMULATOR");
  if (!emulator || !*emulator) return {program};
  return {emulator, program};
}

RunOptions ProgramRun(const std::string& built, StdinMode in, StdoutMode out) {
  RunOptions o = RunOf(built, in, out);
  o.argv = ProgramCommand(built);
  return o;
}

bool AddEveryPort(Sandbox* box, std::vector<std::unique_ptr<Pty>>* ptys,
                  std::vector<std::string>* names) {
  for (const char* family : {"ttyUSB", "ttyACM"})
    for (int i = 0; i <= 20; ++i) {
      ptys->push_back(Pty::Open());
      if (!ptys->back()) return false;
      names->push_back(std::string("/dev/") + family + std::to_string(i));
      box->nodes.push_back(PtyNode(names->back().substr(5), *ptys->back()));
    }
  return true;
}

std::vector<std::string> ProgramEnvironment() {
  std::vector<std::string> env;
  for (const char* name :
       {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  return env;
}

std::string Escaped(const std::string& bytes) {
  std::string s = "\"";
  for (unsigned char c : bytes) {
    if (c == '\r') s += "\\r";
    else if (c == '\n') s += "\\n\n";  // keep long outputs readable
    else if (c == '\\' || c == '"') { s += '\\'; s += c; }
    else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    } else s += c;
  }
  return s + "\"";
}

}  // namespace e2e
