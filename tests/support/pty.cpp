// Only this file sees the kernel's termbits; <termios.h> must stay out of it.
#include "pty.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace e2e {
namespace {

LineSettings FromKernel(const termios2& t) {
  LineSettings s;
  s.iflag = t.c_iflag;
  s.oflag = t.c_oflag;
  s.cflag = t.c_cflag;
  s.lflag = t.c_lflag;
  s.line = t.c_line;
  static_assert(sizeof(s.cc) == sizeof(t.c_cc), "termios2 c_cc size");
  std::memcpy(s.cc, t.c_cc, sizeof(s.cc));
  s.ispeed = t.c_ispeed;
  s.ospeed = t.c_ospeed;
  return s;
}

termios2 ToKernel(const LineSettings& s) {
  termios2 t{};
  t.c_iflag = s.iflag;
  t.c_oflag = s.oflag;
  t.c_cflag = s.cflag;
  t.c_lflag = s.lflag;
  t.c_line = s.line;
  std::memcpy(t.c_cc, s.cc, sizeof(s.cc));
  t.c_ispeed = s.ispeed;
  t.c_ospeed = s.ospeed;
  return t;
}

long DecodeRate(uint32_t code, uint32_t explicit_rate) {
  switch (code) {
    case B0: return 0;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case BOTHER: return explicit_rate;
    default: return -1;
  }
}

}  // namespace

bool LineSettings::operator==(const LineSettings& o) const {
  return iflag == o.iflag && oflag == o.oflag && cflag == o.cflag &&
         lflag == o.lflag && line == o.line &&
         std::memcmp(cc, o.cc, sizeof(cc)) == 0 && ispeed == o.ispeed &&
         ospeed == o.ospeed;
}

std::string Describe(const LineSettings& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "iflag=0%o oflag=0%o cflag=0%o lflag=0%o ispeed=%u ospeed=%u "
                "(decoded out %ld in %ld) VMIN=%u VTIME=%u",
                s.iflag, s.oflag, s.cflag, s.lflag, s.ispeed, s.ospeed,
                OutputBaud(s), InputBaud(s), s.cc[VMIN], s.cc[VTIME]);
  return buf;
}

long OutputBaud(const LineSettings& s) {
  return DecodeRate(s.cflag & CBAUD, s.ospeed);
}

long InputBaud(const LineSettings& s) {
  uint32_t code = (s.cflag >> IBSHIFT) & CBAUD;
  if (code == B0) return OutputBaud(s);  // input rate follows output rate
  return DecodeRate(code, s.ispeed);
}

::testing::AssertionResult ConfiguredByScan(const LineSettings& s) {
  std::string wrong;
  if (OutputBaud(s) != 38400) wrong += " output rate not 38400;";
  if (InputBaud(s) != 38400) wrong += " input rate not 38400;";
  if ((s.cflag & CSIZE) != CS8) wrong += " not CS8;";
  if (s.cflag & CSTOPB) wrong += " CSTOPB set;";
  if (s.cflag & CRTSCTS) wrong += " CRTSCTS set;";
  if (!(s.cflag & CREAD)) wrong += " CREAD clear;";
  if (s.lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN))
    wrong += " line discipline not raw (ICANON/ECHO/ECHONL/ISIG/IEXTEN);";
  if (s.oflag & OPOST) wrong += " OPOST set;";
  if (s.iflag & (INLCR | IGNCR | ICRNL | ISTRIP))
    wrong += " input translation on (INLCR/IGNCR/ICRNL/ISTRIP);";
  if (wrong.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << wrong << " settings: " << Describe(s);
}

::testing::AssertionResult LeftAsFound(const Pty& pty) {
  LineSettings now = pty.Settings();
  if (now == pty.initial()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << pty.path() << " left as " << Describe(now) << ", found as "
                                       << Describe(pty.initial());
}

bool ReadLineSettings(int fd, LineSettings* out) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  *out = FromKernel(t);
  return true;
}

bool WriteLineSettings(int fd, const LineSettings& s) {
  termios2 t = ToKernel(s);
  return ioctl(fd, TCSETS2, &t) == 0;
}

LineSettings RawConsole(const LineSettings& from) {
  LineSettings s = from;
  s.iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  s.oflag &= ~OPOST;
  s.lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  s.cflag = (s.cflag & ~(CSIZE | PARENB)) | CS8;
  return s;
}

LineSettings TypingConsole(const LineSettings& from) {
  LineSettings s = RawConsole(from);
  s.iflag |= ICRNL;
  return s;
}

std::unique_ptr<Pty> Pty::Open() {
  std::unique_ptr<Pty> p(new Pty);
  p->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (p->master_ < 0 || grantpt(p->master_) != 0 || unlockpt(p->master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return nullptr;
  }
  char name[128];
  if (ptsname_r(p->master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname_r: " << std::strerror(errno);
    return nullptr;
  }
  p->path_ = name;
  p->slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct stat st;
  if (p->slave_ < 0 || fstat(p->slave_, &st) != 0) {
    ADD_FAILURE() << "open " << name << ": " << std::strerror(errno);
    return nullptr;
  }
  p->rdev_ = st.st_rdev;

  LineSettings s;
  if (!ReadLineSettings(p->slave_, &s)) {
    ADD_FAILURE() << "TCGETS2 on " << name << ": " << std::strerror(errno);
    return nullptr;
  }
  s.cflag = (s.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | B9600 | CSTOPB |
            CRTSCTS | HUPCL | CREAD;
  s.ispeed = s.ospeed = 9600;
  s.iflag |= ICRNL | BRKINT;
  s.oflag |= OPOST | ONLCR;
  s.lflag |= ICANON | ECHO | ISIG | IEXTEN;
  if (!WriteLineSettings(p->slave_, s) || !ReadLineSettings(p->slave_, &s)) {
    ADD_FAILURE() << "TCSETS2 on " << name << ": " << std::strerror(errno);
    return nullptr;
  }
  if (OutputBaud(s) != 9600 || !(s.cflag & CSTOPB) || !(s.cflag & CRTSCTS)) {
    ADD_FAILURE() << "pty did not take the starting settings: " << Describe(s);
    return nullptr;
  }
  p->initial_ = s;
  // Nobody but the program under test may have a port open, or it is held:
  // the test keeps the master, through which the line is still read.
  close(p->slave_);
  p->slave_ = -1;
  return p;
}

int Pty::slave() const {
  if (slave_ < 0) slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return slave_;
}

int Pty::Peer() const {
  int fd = ioctl(master_, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) ADD_FAILURE() << "TIOCGPTPEER on " << path_ << ": " << std::strerror(errno);
  return fd;
}

Pty::~Pty() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

LineSettings Pty::Settings() const {
  LineSettings s;
  // A master's line requests address its slave.
  if (!ReadLineSettings(master_, &s))
    ADD_FAILURE() << "TCGETS2 on " << path_ << ": " << std::strerror(errno);
  return s;
}

bool Pty::Exclusive() const {
  int excl = 0, fd = Peer();
  if (fd < 0 || ioctl(fd, TIOCGEXCL, &excl) != 0) {
    ADD_FAILURE() << "TIOCGEXCL on " << path_ << ": " << std::strerror(errno);
    excl = 1;
  }
  if (fd >= 0) close(fd);
  return excl != 0;
}

bool Pty::FreeToLock() const {
  int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "reopen " << path_ << ": " << std::strerror(errno);
    return false;
  }
  bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);  // drops the lock, if taken
  return free;
}

void Pty::ClearExclusive() const {
  int fd = Peer();
  if (fd >= 0 && ioctl(fd, TIOCNXCL) != 0)
    ADD_FAILURE() << "TIOCNXCL on " << path_ << ": " << std::strerror(errno);
  if (fd >= 0) close(fd);
}

std::string Pty::ReadMaster(int quiet_ms) const {
  std::string seen;
  struct pollfd ready = {master_, POLLIN, 0};
  char buffer[256];
  while (master_ >= 0 && poll(&ready, 1, quiet_ms) > 0) {
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace e2e
