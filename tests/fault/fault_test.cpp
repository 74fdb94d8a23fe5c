// The whole program over four ports with one failure at a time: every heap
// operation of a run, and every open/close/read/write/ioctl/flock with each
// error. Whatever fails, the run ends with a report that agrees with its port
// lines (exit 0) or with the out-of-memory message (exit 3), never lists or
// touches a held port, and leaves no port exclusive, locked or open. The
// program is this build's, or another architecture's behind its emulator
// (COMSCAN_E2E_PROGRAM, COMSCAN_E2E_EMULATOR: see ProgramCommand).
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

#ifndef COMSCAN_FAULTY
#error "COMSCAN_FAULTY must name the program built with the fault shim"
#endif

namespace e2e {
namespace {

// Under the sanitizers a run costs ten times as much, under an emulator five:
// EBUSY and EACCES, which take the same paths through the program as EIO,
// are left to the plain native build.
#ifdef COMSCAN_FAULT_FEWER_ERRORS
const int kErrors[] = {EINTR, EIO};
#else
const int kErrors[] = {EINTR, EIO, EBUSY, EACCES};
#endif
const std::vector<std::string> kFree = {"/dev/ttyUSB0", "/dev/ttyACM0"};

std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(out.substr(at, end - at));
  return lines;
}

// The report agrees with the port lines. After a write of standard output
// failed for good, the output may lack that one line, and no other.
bool Consistent(const std::string& out, bool line_lost) {
  std::vector<std::string> ports, listed;
  for (const auto& l : Lines(out)) {
    if (l.rfind("/dev/", 0) == 0 && listed.empty()) ports.push_back(l);
    std::stringstream list(l.rfind("total : ", 0) == 0 ? l.substr(8) : "");
    for (std::string p; std::getline(list, p, '|');)
      if (!p.empty()) listed.push_back(p);
  }
  if (!line_lost) return out == Expected(ports);
  for (const auto& found : {ports, listed}) {
    std::vector<std::string> whole = Lines(Expected(found));
    for (size_t skip = 0; skip < whole.size(); ++skip) {
      std::string rest;
      for (size_t i = 0; i < whole.size(); ++i)
        if (i != skip) rest += whole[i] + "\r\n";
      if (rest == out) return true;
    }
  }
  return false;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
    for (auto* p : {&usb0_, &usb1_, &usb2_, &acm0_}) ASSERT_TRUE(*p = Pty::Open());
    // Another program holds ttyUSB1 by flock, and ttyUSB2 by a lock file.
    ASSERT_EQ(flock(usb1_->slave(), LOCK_EX | LOCK_NB), 0);
    box_.nodes = {PtyNode("ttyUSB0", *usb0_), PtyNode("ttyUSB1", *usb1_),
                  PtyNode("ttyUSB2", *usb2_), PtyNode("ttyACM0", *acm0_)};
    box_.files = {{"/var/lock/LCK..ttyUSB2", std::to_string(getpid()) + "\n"}};
    report_ = "/tmp/comscan-fault-" + std::to_string(getpid());
  }
  void TearDown() override { unlink(report_.c_str()); }

  // One run under plan: what broke an invariant, or "" when nothing did.
  std::string Run(const std::string& plan, int error, std::string* out = nullptr) {
    unlink(report_.c_str());
    RunOptions o = ProgramRun(COMSCAN_FAULTY);
    o.env.insert(o.env.end(), {"COMSCAN_FAULT=" + plan, "COMSCAN_FAULT_REPORT=" + report_,
                               "COMSCAN_FAULT_HELD=/dev/ttyUSB1 /dev/ttyUSB2"});
    Process p(box_, o);
    if (!p.setup_error().empty()) return "sandbox: " + p.setup_error();
    Exit e = p.Finish(10);
    std::ifstream report(report_);
    std::string w, hit;
    int hit_fd = 0, touched = 0, ptys = 0;
    bool reported = bool(report >> w >> sys_ >> w >> heap_ >> w >> hit >> hit_fd >> w >> touched >> w >> ptys);
    if (out) *out = p.output();

    std::ostringstream why;
    if (e.Normal(0)) {
      if (!Consistent(p.output(), hit == "write" && hit_fd == 1 && error != EINTR))
        why << "report disagrees with the port lines; ";
      ++outcomes_[p.output() == Expected(kFree) ? "exit 0, both free ports" : "exit 0, fewer lines"];
    } else if (e.Normal(3) && p.errors() == "comscan: out of memory\r\n") {
      ++outcomes_["exit 3, out of memory"];
    } else {
      why << e.Describe() << ", stderr " << Escaped(p.errors()) << "; ";
    }
    if (p.output().find("ttyUSB1") != std::string::npos || p.output().find("ttyUSB2") != std::string::npos)
      why << "a held port listed; ";
    for (const Pty* held : {usb1_.get(), usb2_.get()})
      if (held->Settings() != held->initial()) why << held->path() << " reconfigured; ";
    for (const Pty* pty : {usb0_.get(), usb1_.get(), usb2_.get(), acm0_.get()})
      if (pty->Exclusive()) why << pty->path() << " left exclusive; ";
    for (const Pty* free : {usb0_.get(), acm0_.get()})
      if (!free->FreeToLock()) why << free->path() << " left locked; ";
    if (!reported) why << "no report from the shim; ";
    if (touched) why << "a held port touched " << touched << " times; ";
    if (ptys) why << ptys << " pty descriptors open at exit; ";
    if (!why.str().empty()) why << "failed " << hit << " on fd " << hit_fd << ", output " << Escaped(p.output());
    return why.str();
  }

  // Counts a clean run's calls, then fails each in turn; stops after a few
  // broken runs.
  void FailEachInTurn(const char* kind, const int* errors, size_t error_count) {
    std::string out;
    ASSERT_EQ(Run("count", 0, &out), "");
    ASSERT_EQ(Escaped(out), Escaped(Expected(kFree)));
    long count = std::string(kind) == "sys" ? sys_ : heap_;
    ASSERT_GT(count, 0);
    outcomes_.clear();
    int runs = 0, broken = 0;
    for (size_t i = 0; i < error_count; ++i)
      for (long n = 1; n <= count && broken < 5; ++n, ++runs) {
        std::string plan = std::string(kind) + " " + std::to_string(n) + " " + std::to_string(errors[i]);
        std::string problems = Run(plan, errors[i]);
        broken += !problems.empty();
        EXPECT_EQ(problems, "") << plan;
      }
    std::cout << kind << ": " << count << " calls a run, " << runs << " runs;";
    for (const auto& o : outcomes_) std::cout << " " << o.first << ": " << o.second << ";";
    std::cout << std::endl;
  }

  std::unique_ptr<Pty> usb0_, usb1_, usb2_, acm0_;
  Sandbox box_;
  std::string report_;
  long sys_ = 0, heap_ = 0;
  std::map<std::string, int> outcomes_;
};

TEST_F(Faults, EverySystemCallOfARunFailingInTurnWithEachError) {
  const char* emulator = getenv("COMSCAN_E2E_EMULATOR");
  FailEachInTurn("sys", kErrors, emulator && *emulator ? 2 : std::size(kErrors));
}

// Where the kernel would let the program past an exclusive mark and the mark
// cannot be read, every port counts as held: none is listed or touched.
TEST_F(Faults, AnUnreadableMarkHoldsThePort) {
  std::string out;
  EXPECT_EQ(Run("unmarked 0 0", 0, &out), "");
  EXPECT_EQ(Escaped(out), Escaped(Expected({})));
}

TEST_F(Faults, EveryHeapOperationOfARunFailingInTurn) {
  const int none = 0;
  FailEachInTurn("heap", &none, 1);
}

}  // namespace
}  // namespace e2e
