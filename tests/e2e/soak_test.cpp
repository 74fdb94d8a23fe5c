// End to end: hundreds of back-to-back scans of 42 ports give the same bytes
// every time and leave nothing behind: no port open, exclusive or locked, no
// lock file, no process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

#ifndef COMSCAN_BINARY
#error "COMSCAN_BINARY must name the Linux comscan executable"
#endif

namespace e2e {
namespace {

constexpr int kRuns = 300;
constexpr double kRunSeconds = 10;

// Entries of the lock directories as the program sees them, through its own
// root (a symbolic link there would lead to ours, so those are skipped).
std::string LockFiles(pid_t pid) {
  std::string found;
  for (const char* dir : {"/run/lock", "/var/lock"}) {
    std::string path = "/proc/" + std::to_string(pid) + "/root" + dir;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    DIR* d = opendir(path.c_str());
    if (!d) continue;
    while (dirent* ent = readdir(d))
      if (ent->d_name[0] != '.') found += std::string(dir) + "/" + ent->d_name + " ";
    closedir(d);
  }
  return found;
}

TEST(Soak, BackToBackScansOfFortyTwoPortsAreIdenticalAndLeaveNothing) {
  std::string why;
  if (!NamespacesUsable(&why)) GTEST_SKIP() << why;
  // Orphans of a run become our children, so a stray process shows.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  std::vector<std::unique_ptr<Pty>> ptys;
  std::vector<std::string> names;
  Sandbox box;
  ASSERT_TRUE(AddEveryPort(&box, &ptys, &names));
  std::vector<const Pty*> all;
  for (const auto& pty : ptys) all.push_back(pty.get());
  const std::string want = Expected(names);
  const RunOptions o = ProgramRun(COMSCAN_BINARY, StdinMode::kHeldPipe);

  // The first run that goes wrong ends the soak: its messages say enough.
  for (int run = 0; run < kRuns && !::testing::Test::HasFailure(); ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    {
      Process p(box, o);
      ASSERT_EQ(p.setup_error(), "");
      EXPECT_TRUE(p.WaitForOutputEnding(kPrompt, kRunSeconds)) << p.errors();
      // Waiting for Enter: the scan is over and must have let go of it all.
      EXPECT_EQ(OpenPtyDescriptors(p.pid(), all), "");
      EXPECT_EQ(LockFiles(p.pid()), "");
      for (size_t i = 0; i < ptys.size(); ++i) {
        EXPECT_FALSE(ptys[i]->Exclusive()) << names[i];
        EXPECT_TRUE(ptys[i]->FreeToLock()) << names[i];
        EXPECT_TRUE(LeftAsFound(*ptys[i])) << names[i];
      }
      p.WriteStdin("\n");
      Exit e = p.Finish(kRunSeconds);
      EXPECT_TRUE(e.Normal(0)) << e.Describe();
      EXPECT_EQ(Escaped(p.output()), Escaped(want));
      EXPECT_EQ(p.errors(), "");
    }
    pid_t stray = waitpid(-1, nullptr, WNOHANG);
    EXPECT_TRUE(stray < 0 && errno == ECHILD) << "a process outlived the run";
  }
}

}  // namespace
}  // namespace e2e
