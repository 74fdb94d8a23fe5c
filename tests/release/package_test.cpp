// The release files as a user gets them: every Debian package unpacked (the
// installed program is run by debian/tests), and the Windows zip unpacked and
// its exe's headers read.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#ifndef COMSCAN_DIST
#error "COMSCAN_DIST, COMSCAN_VERSION and COMSCAN_ZIP must locate the release files"
#endif

namespace {

// stdout of a shell command; *status its exit code.
std::string Capture(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// What follows `key` on each line where it starts a word (objdump puts an
// offset before some keys).
std::multiset<std::string> Values(const std::string& text, const std::string& key) {
  std::multiset<std::string> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(key);
    if (at != std::string::npos && (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t'))
      values.insert(line.substr(line.find_first_not_of(" \t", at + key.size())));
  }
  return values;
}

class Release : public ::testing::Test {
 protected:
  // Unpacks `archive` into a fresh scratch directory with `unpack` ("%s %s"
  // gets archive and directory).
  void Unpack(const char* archive, const char* unpack) {
    TearDown();
    if (access(archive, R_OK) != 0)
      GTEST_SKIP() << archive << " is missing: run scripts/release.sh first";
    char pattern[] = "/tmp/comscan-release-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    char command[1024];
    std::snprintf(command, sizeof command, unpack, archive, dir_.c_str());
    int status;
    Capture(command, &status);
    ASSERT_EQ(status, 0) << command;
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
    dir_.clear();
  }
  std::string dir_;
};

TEST_F(Release, EveryDebianPackageHoldsTheProgramItsDocumentsAndComputedDependencies) {
  for (const char* arch : {"amd64", "i386", "arm64", "armhf"}) {
    SCOPED_TRACE(arch);
    std::string deb = COMSCAN_DIST "/comscan_" COMSCAN_VERSION "_" + std::string(arch) + ".deb";
    ASSERT_NO_FATAL_FAILURE(Unpack(deb.c_str(), "dpkg-deb -x %s %s"));
    if (IsSkipped()) return;
    for (const char* file : {"usr/bin/comscan", "usr/share/man/man1/comscan.1.gz",
                             "usr/share/doc/comscan/copyright", "usr/share/doc/comscan/README.md.gz"})
      EXPECT_EQ(access((dir_ + "/" + file).c_str(), R_OK), 0) << file << " not installed";
    int status;
    std::string depends = Capture("dpkg-deb -f " + deb + " Depends", &status);
    EXPECT_NE(depends.find("libc6 (>="), std::string::npos) << "computed dependencies: " << depends;
  }
}

TEST_F(Release, WindowsZipHoldsAConsoleExeWithOnlyTheSystemDllsAndItsManifest) {
  ASSERT_NO_FATAL_FAILURE(Unpack(COMSCAN_ZIP, "unzip -q %s -d %s"));
  if (IsSkipped()) return;
  int status;
  EXPECT_EQ(Capture("unzip -Z1 " + std::string(COMSCAN_ZIP), &status), "README.txt\ncomscan.exe\n");

  std::string readme = FileBytes(dir_ + "/README.txt");
  ASSERT_FALSE(readme.empty());
  EXPECT_EQ(readme.substr(readme.size() - 2), "\r\n");
  for (size_t at = readme.find('\n'); at != std::string::npos; at = readme.find('\n', at + 1))
    ASSERT_TRUE(at > 0 && readme[at - 1] == '\r') << "bare LF at byte " << at << " of README.txt";

  std::string exe = dir_ + "/comscan.exe";
  std::string headers = Capture("i686-w64-mingw32-objdump -p " + exe, &status);
  ASSERT_EQ(status, 0);
  EXPECT_NE(headers.find("file format pei-i386"), std::string::npos);
  EXPECT_EQ(Values(headers, "Magic"), std::multiset<std::string>{"010b\t(PE32)"});
  EXPECT_EQ(Values(headers, "Subsystem"), std::multiset<std::string>{"00000003\t(Windows CUI)"});
  EXPECT_EQ(Values(headers, "Time/Date"), std::multiset<std::string>{"Thu Jan  1 00:00:00 1970"});
  EXPECT_EQ(Values(headers, "DLL Name:"), (std::multiset<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
  // One resource: type 24 (a manifest), one name, one language, one leaf.
  std::multiset<std::string> entries = Values(headers, "Entry: ID:");
  ASSERT_EQ(entries.size(), 3u) << headers;
  EXPECT_EQ(entries.begin()->substr(0, 8), "0x000001");  // the name
  EXPECT_EQ(entries.count("0x000018, Value: 0x80000018"), 1u);
  EXPECT_EQ(Values(headers, "Leaf:").size(), 1u);

  std::string bytes = FileBytes(exe);
  size_t start = bytes.find("<?xml"), end = bytes.find("</assembly>");
  ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << "no manifest in the exe";
  std::string manifest = bytes.substr(start, end - start);
  for (const char* part :
       {"<assemblyIdentity version=\"1.0.0.0\" processorArchitecture=\"X86\" name=\"comscan\" type=\"win32\"/>",
        "<dependentAssembly>", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "processorArchitecture=\"X86\" publicKeyToken=\"6595b64144ccf1df\""})
    EXPECT_NE(manifest.find(part), std::string::npos) << part << "\nin\n" << manifest;
}

}  // namespace
