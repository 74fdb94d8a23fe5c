// Pseudo-terminals for every test that needs a terminal: standing in for
// serial ports, or for the user's console. Their line settings are
// read and written through the termios2 ioctls (the C library's tcsetattr
// refuses any request the pty driver adjusts, and a pty always adjusts parity).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace e2e {

// The kernel's termios2, copied field by field so that this header does not
// pull in the kernel's termbits (which clash with <termios.h>).
struct LineSettings {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;
  uint32_t lflag = 0;
  uint8_t line = 0;
  uint8_t cc[19] = {};
  uint32_t ispeed = 0;
  uint32_t ospeed = 0;

  bool operator==(const LineSettings& other) const;
  bool operator!=(const LineSettings& other) const { return !(*this == other); }
};

std::string Describe(const LineSettings& s);

// Output and input rates as the kernel decodes them (Bxxx code or BOTHER
// plus the explicit rate); -1 for a code outside the small table here.
long OutputBaud(const LineSettings& s);
long InputBaud(const LineSettings& s);

// What the scan must leave on a port it found: 38400 baud both ways, 8 data
// bits, one stop bit, no hardware flow control, and raw (no line editing,
// echo, signals, output processing or CR/NL translation). Parity is not
// checked: a pty drops it.
::testing::AssertionResult ConfiguredByScan(const LineSettings& s);

class Pty;
// What the Linux program must leave on every port, found or held: the line
// exactly as the test set it up.
::testing::AssertionResult LeftAsFound(const Pty& pty);

// A pty pair opened by the test process. The slave starts in a state the
// scan must change on every count it checks: 9600 baud, two stop bits,
// RTS/CTS flow control, canonical mode with echo and signals, output
// processing, CR to NL translation.
class Pty {
 public:
  // Fails the current test (and returns null) when no pty can be had.
  static std::unique_ptr<Pty> Open();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int master() const { return master_; }
  // The slave, opened by the test at the first call and kept: from then on
  // the port is held by the test.
  int slave() const;
  // "/dev/pts/N" in the test's own mount namespace.
  const std::string& path() const { return path_; }
  dev_t rdev() const { return rdev_; }
  // The settings written at Open.
  const LineSettings& initial() const { return initial_; }

  // Current settings of the slave, read through the master.
  LineSettings Settings() const;
  // TIOCGEXCL: is the terminal left in exclusive mode?
  bool Exclusive() const;
  // Can a fresh open of the slave take flock(LOCK_EX) at once? (The lock is
  // dropped again before returning.)
  bool FreeToLock() const;
  // TIOCNXCL, to undo what a faulty run left, so the next run starts clean.
  void ClearExclusive() const;
  // What the slave side wrote, read from the master until it stays quiet
  // for quiet_ms.
  std::string ReadMaster(int quiet_ms = 200) const;
  // Closes the master: a hang-up for whoever has the slave as terminal.
  void CloseMaster();

 private:
  Pty() = default;
  // A slave descriptor of the test's own for one request, not through the
  // name; -1 (the test failed) when none can be had.
  int Peer() const;
  int master_ = -1;
  mutable int slave_ = -1;
  std::string path_;
  dev_t rdev_ = 0;
  LineSettings initial_;
};

// Reads and writes the settings of a terminal descriptor; false on failure.
bool ReadLineSettings(int fd, LineSettings* out);
bool WriteLineSettings(int fd, const LineSettings& s);
// Raw 8-bit settings (no echo, no translation) for a pty the test reads as a
// console.
LineSettings RawConsole(const LineSettings& from);
// The same, but Enter typed as CR reaches the reader as a newline, as at a
// user's terminal.
LineSettings TypingConsole(const LineSettings& from);

}  // namespace e2e
