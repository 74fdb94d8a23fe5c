// The whole program, four ports, one failure at a time: every heap operation
// of a run, and every open/close/read/write/ioctl/flock with each of
// EINTR, EIO, EBUSY and EACCES. Whatever fails, the run ends with a report
// that agrees with its port lines (exit 0) or with the out-of-memory message
// (exit 3), never lists or touches a held port, and leaves no port
// exclusive, locked or open.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

#ifndef COMSCAN_FAULTY
#error "COMSCAN_FAULTY must name the program built with the fault shim"
#endif

namespace e2e {
namespace {

constexpr double kRunSeconds = 10;
const char kOutOfMemory[] = "comscan: out of memory\r\n";

// What the shim says at exit; sys -1 when it said nothing.
struct ShimReport {
  long sys = -1, heap = -1;
  std::string hit;
  int hit_fd = -1, touched = 0, ptys = 0;
};

std::vector<std::string> Lines(const std::string& out) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = out.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(out.substr(at, end - at));
  return lines;
}

std::string Join(const std::vector<std::string>& lines, size_t skip) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i)
    if (i != skip) out += lines[i] + "\r\n";
  return out;
}

// Exit 0: the report agrees with the port lines. When a write of standard
// output failed for good, that one line may be missing, but no other.
bool Consistent(const std::string& out, bool one_line_lost) {
  std::vector<std::string> lines = Lines(out), ports, listed;
  for (const auto& l : lines) {
    if (l.rfind("/dev/", 0) == 0 && listed.empty()) ports.push_back(l);
    if (l.rfind("total : ", 0) != 0) continue;
    std::stringstream list(l.substr(8));
    for (std::string p; std::getline(list, p, '|');)
      if (!p.empty()) listed.push_back(p);
  }
  if (!one_line_lost) return out == Expected(ports);
  for (const auto& found : {ports, listed}) {
    std::vector<std::string> whole = Lines(Expected(found));
    for (size_t skip = 0; skip < whole.size(); ++skip)
      if (Join(whole, skip) == out) return true;
  }
  return false;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
    for (auto* p : {&usb0_, &usb1_, &usb2_, &acm0_}) {
      *p = Pty::Open();
      ASSERT_TRUE(*p);
    }
    // Another program holds ttyUSB1 by flock, and ttyUSB2 by a lock file.
    ASSERT_EQ(flock(usb1_->slave(), LOCK_EX | LOCK_NB), 0);
    char lock[32];
    std::snprintf(lock, sizeof lock, "%10d\n", static_cast<int>(getpid()));
    box_.nodes = {PtyNode("ttyUSB0", *usb0_), PtyNode("ttyUSB1", *usb1_),
                  PtyNode("ttyUSB2", *usb2_), PtyNode("ttyACM0", *acm0_)};
    box_.files = {{"/var/lock/LCK..ttyUSB2", lock}};
    char report[] = "/tmp/comscan-fault-XXXXXX";
    int fd = mkstemp(report);
    ASSERT_GE(fd, 0);
    close(fd);
    report_ = report;
  }
  void TearDown() override {
    if (!report_.empty()) unlink(report_.c_str());
  }

  ShimReport ReadShimReport() {
    ShimReport r;
    std::ifstream in(report_);
    std::string word;
    in >> word >> r.sys >> word >> r.heap >> word >> r.hit >> r.hit_fd >> word >> r.touched >> word >> r.ptys;
    if (!in) r.sys = -1;
    return r;
  }

  // One run under plan; what broke an invariant, or "" when none did.
  std::string Run(const std::string& plan, int error, ShimReport* report, std::string* out = nullptr) {
    std::remove(report_.c_str());
    RunOptions o;
    o.argv = {COMSCAN_FAULTY};
    o.env = ProgramEnvironment();
    o.env.push_back("COMSCAN_FAULT=" + plan);
    o.env.push_back("COMSCAN_FAULT_REPORT=" + report_);
    o.env.push_back("COMSCAN_FAULT_HELD=/dev/ttyUSB1 /dev/ttyUSB2");
    Process p(box_, o);
    if (!p.setup_error().empty()) return "sandbox: " + p.setup_error();
    Exit e = p.Finish(kRunSeconds);
    *report = ReadShimReport();
    if (out) *out = p.output();
    std::ostringstream why;
    bool line_lost = report->hit == "write" && report->hit_fd == 1 && error != EINTR;
    if (e.Normal(0)) {
      if (!Consistent(p.output(), line_lost)) why << "report disagrees with the port lines; ";
      ++outcomes_[p.output() == Expected({"/dev/ttyUSB0", "/dev/ttyACM0"}) ? "exit 0, both free ports"
                                                                         : "exit 0, fewer lines"];
    } else if (e.Normal(3)) {
      if (p.errors() != kOutOfMemory) why << "exit 3 with stderr " << Escaped(p.errors()) << "; ";
      ++outcomes_["exit 3, out of memory"];
    } else {
      why << e.Describe() << "; ";
    }
    if (p.output().find("ttyUSB1") != std::string::npos || p.output().find("ttyUSB2") != std::string::npos)
      why << "a held port listed; ";
    for (const Pty* held : {usb1_.get(), usb2_.get()})
      if (held->Settings() != held->initial()) why << held->path() << " reconfigured; ";
    for (const Pty* pty : {usb0_.get(), usb1_.get(), usb2_.get(), acm0_.get()})
      if (pty->Exclusive()) why << pty->path() << " left exclusive; ";
    for (const Pty* free : {usb0_.get(), acm0_.get()})
      if (!free->FreeToLock()) why << free->path() << " left locked; ";
    if (report->sys < 0) why << "no report from the shim; ";
    if (report->touched) why << "a held port touched " << report->touched << " times; ";
    if (report->ptys) why << report->ptys << " pty descriptors open at exit; ";
    std::string problems = why.str();
    if (!problems.empty()) problems += "output " + Escaped(p.output());
    return problems;
  }

  // Runs "<kind> N <error>" for N from 1 to count; stops after a few failures.
  void RunEach(const std::string& kind, long count, int error) {
    int failures = 0;
    for (long n = 1; n <= count && failures < 5; ++n) {
      std::string plan = kind + " " + std::to_string(n) + " " + std::to_string(error);
      ShimReport report;
      std::string problems = Run(plan, error, &report);
      ++runs_;
      if (!problems.empty()) ++failures;
      EXPECT_EQ(problems, "") << plan << " (failed " << report.hit << " on fd " << report.hit_fd << ")";
    }
  }

  ShimReport Count() {
    ShimReport counted;
    std::string out;
    EXPECT_EQ(Run("count", 0, &counted, &out), "");
    EXPECT_EQ(Escaped(out), Escaped(Expected({"/dev/ttyUSB0", "/dev/ttyACM0"})));
    EXPECT_GT(counted.sys, 0);
    EXPECT_GT(counted.heap, 0);
    return counted;
  }

  void Summary(const char* what) {
    std::cout << what << ": " << runs_ << " runs;";
    for (const auto& o : outcomes_) std::cout << " " << o.first << ": " << o.second << ";";
    std::cout << std::endl;
  }

  std::unique_ptr<Pty> usb0_, usb1_, usb2_, acm0_;
  Sandbox box_;
  std::string report_;
  long runs_ = 0;
  std::map<std::string, int> outcomes_;
};

TEST_F(Faults, EverySystemCallOfARunFailingInTurnWithEachError) {
  ShimReport counted = Count();
  std::cout << "a run makes " << counted.sys << " system calls" << std::endl;
  for (int error : {EINTR, EIO, EBUSY, EACCES}) {
    SCOPED_TRACE(std::string("errno ") + std::to_string(error));
    RunEach("sys", counted.sys, error);
  }
  Summary("system calls");
}

TEST_F(Faults, EveryHeapOperationOfARunFailingInTurn) {
  ShimReport counted = Count();
  std::cout << "a run makes " << counted.heap << " heap operations" << std::endl;
  RunEach("heap", counted.heap, 0);
  Summary("heap operations");
}

}  // namespace
}  // namespace e2e
