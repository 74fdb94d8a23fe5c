// The program against its raw system-call yardsticks (the bare calls, and
// the job's own floor: see reference.c), side by side, in a
// private /dev holding 0, 4 or 42 pseudo-terminals under port names. Every
// binary's output bytes are checked first; only then are the public tools
// run on them inside the same namespace: hyperfine (wall time, the binaries
// interleaved round by round), callgrind (instructions), memcheck (heap
// allocations), /usr/bin/time (peak resident memory), strace -c -f (system
// calls by kind). Prints the tables as Markdown on standard output.
//
// Usage: comscan_bench_driver [rounds [runs-per-round]]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "expected_output.h"
#include "pty.h"
#include "sandbox.h"

namespace {

using e2e::Sandbox;

struct Binary {
  const char* label;
  const char* path;
  bool isStatic;
};

// Two linkages of three binaries each: the program, then its yardsticks.
const Binary kBinaries[] = {
    {"comscan", COMSCAN_BINARY, false},
    {"reference", REFERENCE_BINARY, false},
    {"floor", FLOOR_BINARY, false},
    {"comscan_static", COMSCAN_STATIC_BINARY, true},
    {"reference_static", REFERENCE_STATIC_BINARY, true},
    {"floor_static", FLOOR_STATIC_BINARY, true},
};
const int kBinaryCount = 6;
const int kLinkages[] = {0, 3};  // where each linkage's three begin

[[noreturn]] void Fail(const std::string& why) {
  std::fprintf(stderr, "bench: %s\n", why.c_str());
  std::exit(1);
}

// Binaries measured beside the six, from COMSCAN_BENCH_ALSO
// ("label=path,label=path"): an earlier build, or a variant of this one. A
// label that contains "static" is compared with the static floor.
struct Extra {
  std::string label, path;
  bool isStatic;
};
std::vector<Extra> extras;

void ReadExtras() {
  const char* also = std::getenv("COMSCAN_BENCH_ALSO");
  std::stringstream items(also ? also : "");
  std::string item;
  while (std::getline(items, item, ',')) {
    size_t eq = item.find('=');
    if (eq == std::string::npos || access(item.c_str() + eq + 1, X_OK) != 0)
      Fail("COMSCAN_BENCH_ALSO: \"" + item + "\" is not label=executable");
    std::string label = item.substr(0, eq);
    extras.push_back({label, item.substr(eq + 1), label.find("static") != std::string::npos});
  }
}

// Where the measured runs live: a UTF-8 locale, as on a user's machine.
const std::vector<std::string> kEnvironment = {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"};

std::string workDir;


struct Outcome {
  e2e::Exit exit;
  std::string out, err;
};

// Runs argv inside the scenario's namespace, stdin at end of file.
Outcome RunIn(const Sandbox& sandbox, const std::vector<std::string>& argv, double seconds) {
  e2e::RunOptions options;
  options.argv = argv;
  options.env = kEnvironment;
  e2e::Process process(sandbox, options);
  if (!process.setup_error().empty()) Fail("sandbox: " + process.setup_error());
  Outcome o;
  o.exit = process.Finish(seconds);
  o.out = process.output();
  o.err = process.errors();
  if (!o.exit.Normal(0))
    Fail(argv[0] + " " + argv.back() + ": " + o.exit.Describe() + "\n" + o.err);
  return o;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The q-quantile (0..1) of v, by the nearest rank below.
double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[(size_t)(q * (double)(v.size() - 1))];
}

double Median(const std::vector<double>& v) {
  if (v.size() % 2 == 1 || v.empty()) return Quantile(v, 0.5);
  std::vector<double> s = v;
  std::sort(s.begin(), s.end());
  return (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
}

long long NumberAfter(const std::string& text, const std::string& label) {
  size_t at = text.rfind(label);
  if (at == std::string::npos) return -1;
  std::string digits;
  for (size_t i = at + label.size(); i < text.size(); i++) {
    char c = text[i];
    if (c >= '0' && c <= '9') digits += c;
    else if (c == ',' || (c == ' ' && digits.empty())) continue;
    else break;
  }
  return digits.empty() ? -1 : std::atoll(digits.c_str());
}

struct Scenario {
  std::string title;
  std::vector<std::string> names;  // under /dev, in scan order
  std::vector<std::unique_ptr<e2e::Pty>> ptys;
  Sandbox sandbox;
  std::vector<std::string> found;
};

void Populate(Scenario* s, const std::vector<std::string>& names) {
  s->names = names;
  for (const auto& name : names) {
    auto pty = e2e::Pty::Open();
    if (!pty) Fail("no pseudo-terminal to be had");
    s->sandbox.nodes.push_back(e2e::PtyNode(name, *pty));
    s->found.push_back("/dev/" + name);
    s->ptys.push_back(std::move(pty));
  }
}

// Every binary prints exactly what the program must, leaves each port with
// the scan's settings (the bare calls) or as found (the job), and lets every
// port go. Each port starts from the
// pty's initial settings, so a binary that skipped one would be seen.
void CheckOutput(const Scenario& s) {
  std::string expected = e2e::Expected(s.found);
  std::vector<Binary> all(kBinaries, kBinaries + kBinaryCount);
  for (const Extra& x : extras) all.push_back({x.label.c_str(), x.path.c_str(), x.isStatic});
  for (const Binary& b : all) {
    for (const auto& pty : s.ptys)
      if (!e2e::WriteLineSettings(pty->master(), pty->initial())) Fail("cannot reset " + pty->path());
    Outcome o = RunIn(s.sandbox, {b.path}, 20);
    if (o.out != expected)
      Fail(std::string(b.label) + " in scenario '" + s.title + "' printed " + e2e::Escaped(o.out) +
           "\nexpected " + e2e::Escaped(expected));
    for (const auto& pty : s.ptys) {
      if (pty->Exclusive() || !pty->FreeToLock())
        Fail(std::string(b.label) + " left " + pty->path() + " exclusive or locked");
      // The bare calls leave the scan's settings; the job puts back what it found.
      auto left = std::string(b.label).rfind("reference", 0) == 0 ? e2e::ConfiguredByScan(pty->Settings())
                                                                  : e2e::LeftAsFound(*pty);
      if (!left) Fail(std::string(b.label) + " on " + pty->path() + ": " + left.message());
    }
  }
}

struct Figures {
  double wallMs[kBinaryCount] = {};
  double cpuMs[kBinaryCount] = {};  // user + system, median of the rounds' means
  double noise[kBinaryCount] = {};  // interquartile range of the runs, relative to the median
  long long instructions[kBinaryCount] = {};
  long long allocs[kBinaryCount] = {};
  long long heapBytes[kBinaryCount] = {};
  long long peakKb[kBinaryCount] = {};
  // system call name -> calls (errors) per binary
  std::map<std::string, std::pair<long long, long long>> calls[kBinaryCount];
  long long totalCalls[kBinaryCount] = {};
  // comscan's instructions inclusive of what each part calls, in order
  std::vector<std::pair<std::string, long long>> parts;
  int nameCalls = 0;       // calls naming a port path, no port present
  int nameOpens = 0;       // of which opens
  // The same figures for each extra binary, in the order of extras.
  // Wall time with the binaries' runs alternated one by one (see
  // Alternate): median and noise per binary, the six then the extras.
  std::vector<double> alternatedMs, alternatedNoise;
  struct One {
    double wallMs = 0, cpuMs = 0, noise = 0;
    long long instructions = -1, allocs = -1, peakKb = -1, totalCalls = -1;
  };
  std::vector<One> extra;
};

// hyperfine's JSON export: each result's "command", its "times" array and
// its mean user and system times (this hyperfine gives no per-run CPU times).
struct HyperfineResult {
  std::vector<double> times;
  double cpu = 0;
};

double NumberField(const std::string& json, size_t from, size_t to, const std::string& key) {
  size_t at = json.find("\"" + key + "\": ", from);
  return at < to ? std::atof(json.c_str() + at + key.size() + 4) : 0;
}

void ResultsFromJson(const std::string& json, std::map<std::string, HyperfineResult>* results) {
  size_t at = 0;
  while ((at = json.find("\"command\": \"", at)) != std::string::npos) {
    at += 12;
    std::string command = json.substr(at, json.find('"', at) - at);
    size_t next = json.find("\"command\": \"", at);
    HyperfineResult& r = (*results)[command];
    r.cpu = NumberField(json, at, next, "user") + NumberField(json, at, next, "system");
    size_t list = json.find("\"times\": [", at);
    if (list >= next) break;
    list += 10;
    size_t end = json.find(']', list);
    std::stringstream numbers(json.substr(list, end - list));
    std::string item;
    while (std::getline(numbers, item, ',')) r.times.push_back(std::atof(item.c_str()));
    at = end;
  }
}

void MeasureWallTime(const Scenario& s, int rounds, int runs, Figures* f) {
  const int count = kBinaryCount + (int)extras.size();
  std::vector<std::vector<double>> all(count), cpu(count);
  std::vector<std::string> paths;
  for (const Binary& b : kBinaries) paths.push_back(b.path);
  for (const Extra& x : extras) paths.push_back(x.path);
  for (int r = 0; r < rounds; r++) {
    std::string json = workDir + "/hyperfine.json";
    // At the highest priority, so that other work on the machine disturbs
    // the timings as little as it can.
    std::vector<std::string> argv = {"/usr/bin/nice", "-n", "-20", "/usr/bin/hyperfine", "-N", "--style", "none", "--warmup", "2",
                                     "--runs", std::to_string(runs), "--export-json", json};
    // Every other round in reverse order, so that no binary always runs
    // right after the same neighbour.
    for (int i = 0; i < count; i++) argv.push_back(paths[r % 2 ? count - 1 - i : i]);
    RunIn(s.sandbox, argv, 300);
    std::map<std::string, HyperfineResult> results;
    ResultsFromJson(ReadFile(json), &results);
    unlink(json.c_str());
    for (int i = 0; i < count; i++) {
      const HyperfineResult& r = results[paths[i]];
      if (r.times.empty()) Fail("hyperfine gave no times for " + paths[i]);
      all[i].insert(all[i].end(), r.times.begin(), r.times.end());
      cpu[i].push_back(r.cpu);
    }
  }
  f->extra.resize(extras.size());
  for (int i = 0; i < count; i++) {
    double wall = Median(all[i]) * 1000, noise = (Quantile(all[i], 0.75) - Quantile(all[i], 0.25)) / Median(all[i]),
           cpuMs = Median(cpu[i]) * 1000;
    if (i < kBinaryCount) {
      f->wallMs[i] = wall;
      f->noise[i] = noise;
      f->cpuMs[i] = cpuMs;
    } else {
      f->extra[i - kBinaryCount].wallMs = wall;
      f->extra[i - kBinaryCount].noise = noise;
      f->extra[i - kBinaryCount].cpuMs = cpuMs;
    }
  }
}

// Run inside the scenario's namespace by the driver itself: each binary
// once in turn, runs times, every other turn in reverse order, standard
// input at end of file and output discarded, so that a burst of other load
// falls on all of them alike rather than on one binary's block of runs.
// Prints per binary: the median wall time, the interquartile range (ms).
int Alternate(int runs, const std::vector<std::string>& paths) {
  int devnull = open("/dev/null", O_RDWR);
  if (devnull < 0) return 1;
  std::vector<std::vector<double>> wall(paths.size());
  std::vector<char*> env;
  std::vector<std::string> envText = kEnvironment;
  for (std::string& e : envText) env.push_back(&e[0]);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, devnull, 0);
  posix_spawn_file_actions_adddup2(&actions, devnull, 1);
  for (int r = 0; r < runs; r++) {
    for (size_t k = 0; k < paths.size(); k++) {
      size_t i = r % 2 ? paths.size() - 1 - k : k;
      char* argv[] = {const_cast<char*>(paths[i].c_str()), nullptr};
      timespec start, end;
      clock_gettime(CLOCK_MONOTONIC, &start);
      pid_t pid;
      if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, env.data()) != 0) return 1;
      int status = 0;
      if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
      clock_gettime(CLOCK_MONOTONIC, &end);
      wall[i].push_back((double)(end.tv_sec - start.tv_sec) * 1e3 + (double)(end.tv_nsec - start.tv_nsec) / 1e6);
    }
  }
  for (size_t i = 0; i < paths.size(); i++)
    std::printf("%.4f %.4f\n", Median(wall[i]), Quantile(wall[i], 0.75) - Quantile(wall[i], 0.25));
  return 0;
}

void MeasureAlternated(const Scenario& s, int runs, Figures* f) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) Fail("cannot find the driver's own path");
  self[n] = 0;
  std::vector<std::string> argv = {"/usr/bin/nice", "-n", "-20", self, "--alternate", std::to_string(runs)};
  for (const Binary& b : kBinaries) argv.push_back(b.path);
  for (const Extra& x : extras) argv.push_back(x.path);
  Outcome o = RunIn(s.sandbox, argv, 600);
  std::stringstream lines(o.out);
  double median, spread;
  while (lines >> median >> spread) {
    f->alternatedMs.push_back(median);
    f->alternatedNoise.push_back(median > 0 ? spread / median : 0);
  }
  if (f->alternatedMs.size() != (size_t)kBinaryCount + extras.size()) Fail("alternated runs gave no times");
}

// The rows of strace -c's summary of one run of path, split into words:
// % time, seconds, usecs/call, calls, [errors], name (the last: "total").
std::vector<std::vector<std::string>> StraceSummary(const Scenario& s, const std::string& path) {
  std::string table = workDir + "/strace.txt";
  RunIn(s.sandbox, {"/usr/bin/strace", "-f", "-c", "-o", table, path}, 60);
  std::stringstream lines(ReadFile(table));
  unlink(table.c_str());
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(lines, line)) {
    std::stringstream words(line);
    std::vector<std::string> w;
    std::string word;
    while (words >> word) w.push_back(word);
    if ((w.size() == 5 || w.size() == 6) && std::isdigit((unsigned char)w[3][0])) rows.push_back(w);
  }
  return rows;
}

// The extras' instructions, heap allocations, peak memory and system calls,
// measured as the six are.
void MeasureExtras(const Scenario& s, Figures* f) {
  f->extra.resize(extras.size());
  for (size_t i = 0; i < extras.size(); i++) {
    Figures::One& one = f->extra[i];
    const std::string& path = extras[i].path;
    std::string out = workDir + "/callgrind.out";
    Outcome o = RunIn(s.sandbox, {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, path}, 120);
    unlink(out.c_str());
    one.instructions = NumberAfter(o.err, "Collected :");
    if (!extras[i].isStatic) {
      o = RunIn(s.sandbox, {"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=no", path}, 120);
      one.allocs = NumberAfter(o.err, "total heap usage:");
    }
    std::vector<double> peaks;
    for (int r = 0; r < 11; r++) {
      o = RunIn(s.sandbox, {"/usr/bin/time", "-f", "peak %M", path}, 20);
      peaks.push_back((double)NumberAfter(o.err, "peak"));
    }
    one.peakKb = (long long)Median(peaks);
    for (const std::vector<std::string>& w : StraceSummary(s, path))
      if (w.back() == "total") one.totalCalls = std::atoll(w[3].c_str());
  }
}

// Where comscan's instructions go. The program is built with link-time
// optimisation, so its procedures are mostly inlined into one another and
// a procedure's inclusive cost says little; each line's own cost is counted
// instead, under the source file it was written in, and the files grouped
// by layer. The dynamic loader's two parts are inclusive.
const struct {
  const char* function;
  const char* what;
} kLoaderParts[] = {
    {"_dl_start", "loading: ld.so maps and relocates the program and the C library (inclusive)"},
    {"_dl_runtime_resolve_xsave", "lazy binding: each C library function's first call (inclusive)"},
};

const struct {
  const char* what;
  std::vector<const char*> files;  // under the source directory; a prefix or a name
} kLayers[] = {
    {"app/: the entry sequence and the scan", {"/app/"}},
    {"strings/: string variables and the area", {"/strings/"}},
    {"console/: output lines and input", {"/console/"}},
    {"serial/: the registry and the port operations", {"/serial/"}},
    {"platform: heaps, locks, critical sections", {"/platform/heaps", "/platform/posix/heap.cpp",
                                                   "/platform/posix/sync.cpp"}},
    {"platform: port open, claim, settings, release", {"/platform/posix/comm_", "/platform/posix/tty_",
                                                      "/platform/posix/lock_file", "/platform/posix/handles.h",
                                                      "/platform/posix/interrupted.h",
                                                      "/platform/posix/last_error"}},
    {"platform: standard handles, console calls", {"/platform/posix/std_handles", "/platform/posix/console.cpp",
                                                   "/platform/posix/code_page"}},
    {"platform: close events, exit", {"/platform/posix/ctrl_handler", "/platform/posix/close_event", "/platform/posix/process.cpp"}},
};

std::string Annotate(const std::string& callgrindOut, bool inclusive) {
  std::string listing;
  FILE* annotate = popen(("callgrind_annotate --inclusive=" + std::string(inclusive ? "yes" : "no") +
                          " --auto=no --threshold=100 " + callgrindOut + " 2>/dev/null").c_str(), "r");
  if (!annotate) return listing;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, annotate)) > 0) listing.append(buffer, n);
  pclose(annotate);
  return listing;
}

// The count a listing line starts with (12,345 (1.2%) file:function).
long long LeadingCount(const std::string& line) {
  std::string digits;
  for (char c : line.substr(0, line.find('(')))
    if (c >= '0' && c <= '9') digits += c;
  return digits.empty() ? -1 : std::atoll(digits.c_str());
}

void Attribute(const std::string& callgrindOut, Figures* f) {
  std::string inclusive = Annotate(callgrindOut, true);
  for (const auto& part : kLoaderParts) {
    long long cost = -1;
    std::stringstream lines(inclusive);
    std::string line;
    while (std::getline(lines, line)) {
      size_t at = line.find(std::string(":") + part.function);
      if (at == std::string::npos || line.find("=>") != std::string::npos) continue;
      char after = line[at + 1 + std::strlen(part.function)];
      if (after != '(' && after != ' ' && after != '@') continue;
      cost = std::max(cost, LeadingCount(line));
    }
    f->parts.push_back({part.what, cost});
  }
  // Self costs: every line of the listing names the file its code came from.
  std::vector<long long> layers(std::size(kLayers), 0);
  long long inlinedAtomics = 0, library = 0, loader = 0;
  std::stringstream lines(Annotate(callgrindOut, false));
  std::string line;
  const std::string source = COMSCAN_SOURCE_DIR;
  while (std::getline(lines, line)) {
    if (line.find("=>") != std::string::npos || line.find("PROGRAM TOTALS") != std::string::npos) continue;
    long long cost = LeadingCount(line);
    size_t close = line.find(") ");
    if (cost < 0 || close == std::string::npos || line.find('(') > close) continue;
    std::string where = line.substr(close + 2);
    where = where.substr(where.find_first_not_of(' '));
    // Under the source directory: callgrind_annotate names those files
    // relative to the directory it runs in, the rest as their debug
    // information has them (the C library's begin with "./").
    std::string file;
    if (where.rfind(source + "/", 0) == 0) file = where.substr(source.size());
    else if (where[0] != '.' && where[0] != '/' && where[0] != '?') file = "/" + where;
    if (!file.empty()) {
      file = file.substr(0, file.find(':'));
      for (size_t k = 0; k < std::size(kLayers); k++)
        for (const char* prefix : kLayers[k].files)
          if (file.rfind(prefix, 0) == 0) layers[k] += cost;
    } else if (where.find("/c++/") != std::string::npos) {
      inlinedAtomics += cost;
    } else if (where.find("ld-linux") != std::string::npos || where.rfind("./elf/", 0) == 0) {
      loader += cost;
    } else {
      library += cost;
    }
  }
  for (size_t k = 0; k < std::size(kLayers); k++) f->parts.push_back({kLayers[k].what, layers[k]});
  f->parts.push_back({"std::atomic operations, inlined into the layers above", inlinedAtomics});
  f->parts.push_back({"the C library's own code (string and memory functions, malloc, system call wrappers)", library});
  f->parts.push_back({"the dynamic loader's own code (the two parts above, and start-up)", loader});
}

void MeasureInstructions(const Scenario& s, Figures* f) {
  for (int i = 0; i < kBinaryCount; i++) {
    std::string out = workDir + "/callgrind.out";
    Outcome o = RunIn(s.sandbox, {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                                  kBinaries[i].path}, 120);
    if (i == 0) Attribute(out, f);
    // For a closer look (callgrind_annotate): COMSCAN_BENCH_KEEP names a
    // directory that receives comscan's profile of each scenario.
    const char* keep = std::getenv("COMSCAN_BENCH_KEEP");
    if (i == 0 && keep && *keep) {
      std::string kept = std::string(keep) + "/callgrind." + std::to_string(s.names.size()) + "-names." +
                         std::to_string(s.ptys.size()) + "-ports";
      if (rename(out.c_str(), kept.c_str()) != 0) std::fprintf(stderr, "bench: cannot keep %s\n", kept.c_str());
    }
    unlink(out.c_str());
    f->instructions[i] = NumberAfter(o.err, "Collected :");
    if (f->instructions[i] < 0) Fail("callgrind gave no count:\n" + o.err);
  }
}

// memcheck cannot replace malloc inside a static binary: those stay -1.
void MeasureHeap(const Scenario& s, Figures* f) {
  for (int i = 0; i < kBinaryCount; i++) {
    f->allocs[i] = f->heapBytes[i] = -1;
    if (kBinaries[i].isStatic) continue;
    Outcome o = RunIn(s.sandbox, {"/usr/bin/valgrind", "--tool=memcheck", "--leak-check=no", kBinaries[i].path},
                      120);
    f->allocs[i] = NumberAfter(o.err, "total heap usage:");
    f->heapBytes[i] = NumberAfter(o.err, "frees,");
  }
}

void MeasurePeakMemory(const Scenario& s, Figures* f) {
  for (int i = 0; i < kBinaryCount; i++) {
    std::vector<double> peaks;
    // Single runs of the same binary vary by up to a few hundred KB.
    for (int r = 0; r < 11; r++) {
      Outcome o = RunIn(s.sandbox, {"/usr/bin/time", "-f", "peak %M", kBinaries[i].path}, 20);
      peaks.push_back((double)NumberAfter(o.err, "peak"));
    }
    f->peakKb[i] = (long long)Median(peaks);
  }
}

void MeasureSystemCalls(const Scenario& s, Figures* f) {
  for (int i = 0; i < kBinaryCount; i++) {
    for (const std::vector<std::string>& w : StraceSummary(s, kBinaries[i].path)) {
      long long calls = std::atoll(w[3].c_str()), errors = w.size() == 6 ? std::atoll(w[4].c_str()) : 0;
      if (w.back() == "total") f->totalCalls[i] = calls;
      else f->calls[i][w.back()] = {calls, errors};
    }
  }
  if (!s.ptys.empty()) return;
  // Without ports: every call that names a port path, from the full trace.
  std::string trace = workDir + "/trace.txt";
  RunIn(s.sandbox, {"/usr/bin/strace", "-f", "-o", trace, kBinaries[0].path}, 60);
  std::stringstream lines(ReadFile(trace));
  unlink(trace.c_str());
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("/dev/tty") == std::string::npos) continue;
    f->nameCalls++;
    if (line.find("openat(") != std::string::npos || line.find(" open(") != std::string::npos) f->nameOpens++;
  }
}

std::string Fixed(double v, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Count(long long v) {
  if (v < 0) return "n/a";
  std::string digits = std::to_string(v), grouped;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

// "met" or by how much the goal is missed.
std::string Goal(double ratio, double limit) {
  if (ratio <= limit) return "met";
  return "missed by " + Fixed((ratio / limit - 1) * 100, 0) + "%";
}

// One row cell group per linkage: the three values, the ratios of the
// program to each yardstick, and the goal against the floor.
std::string Against(const double* v, int first, const char* format, double goal) {
  char cells[256];
  double toReference = v[first] / v[first + 1], toFloor = v[first] / v[first + 2];
  std::string shown[3];
  for (int i = 0; i < 3; i++) {
    char one[32];
    std::snprintf(one, sizeof one, format, v[first + i]);
    shown[i] = one;
  }
  std::snprintf(cells, sizeof cells, " %s | %s | %s | %.2f | %.2f |", shown[0].c_str(), shown[1].c_str(),
                shown[2].c_str(), toReference, toFloor);
  return cells + (goal > 0 ? " " + Goal(toFloor, goal) + " |" : std::string());
}

std::string Header(const char* unit, bool goal) {
  std::string h, suffix = *unit ? std::string(" ") + unit : "";
  for (int first : kLinkages)
    h += std::string(" ") + kBinaries[first].label + suffix + " | " + kBinaries[first + 1].label + suffix + " | " +
         kBinaries[first + 2].label + suffix + " | to reference | to floor |" + (goal ? " goal |" : "");
  return h;
}

std::string Rule(int columns) {
  std::string r = "|";
  for (int i = 0; i < columns; i++) r += "---|";
  return r;
}

// A table of the program against both yardsticks, a row per scenario; value
// gives a binary's figure in a scenario.
// goal and staticGoal: the limits of the dynamic and the static program
// against their floor; 0 for none.
template <typename Value>
void PrintAgainst(const std::vector<Scenario>& scenarios, const std::vector<Figures>& figures, const char* unit,
                  const char* format, double goal, double staticGoal, Value value) {
  std::printf("| scenario |%s\n%s\n", Header(unit, goal > 0).c_str(), Rule(goal > 0 ? 13 : 11).c_str());
  for (size_t k = 0; k < scenarios.size(); k++) {
    double v[kBinaryCount];
    for (int i = 0; i < kBinaryCount; i++) v[i] = value(figures[k], i);
    std::printf("| %s |%s%s\n", scenarios[k].title.c_str(), Against(v, 0, format, goal).c_str(),
                Against(v, 3, format, staticGoal).c_str());
  }
}

// The extras beside comscan and its floors, a row per binary and scenario.
void PrintExtras(const std::vector<Scenario>& scenarios, const std::vector<Figures>& figures) {
  if (extras.empty()) return;
  std::printf("\n### Side by side with other builds (COMSCAN_BENCH_ALSO; same rounds, same namespace; ratios to the "
              "floor of the same linkage)\n\n");
  std::printf("| scenario | binary | wall ms | to floor | noise | alternated ms | to floor | noise | CPU ms | "
              "instructions | to floor | system calls | heap allocations | peak KB |\n%s\n", Rule(14).c_str());
  for (size_t k = 0; k < scenarios.size(); k++) {
    const Figures& f = figures[k];
    auto row = [&](const std::string& label, bool isStatic, const Figures::One& one, size_t at) {
      int floor = isStatic ? 5 : 2;
      std::printf("| %s | %s | %.3f | %.2f | %.0f%% | %.3f | %.2f | %.0f%% | %.3f | %s | %.2f | %s | %s | %s |\n",
                  scenarios[k].title.c_str(), label.c_str(), one.wallMs, one.wallMs / f.wallMs[floor], one.noise * 100,
                  f.alternatedMs[at], f.alternatedMs[at] / f.alternatedMs[floor], f.alternatedNoise[at] * 100, one.cpuMs,
                  Count(one.instructions).c_str(), (double)one.instructions / (double)f.instructions[floor],
                  Count(one.totalCalls).c_str(), Count(one.allocs).c_str(), Count(one.peakKb).c_str());
    };
    for (int i : kLinkages) {
      Figures::One own;
      own.wallMs = f.wallMs[i];
      own.noise = f.noise[i];
      own.cpuMs = f.cpuMs[i];
      own.instructions = f.instructions[i];
      own.allocs = f.allocs[i];
      own.peakKb = f.peakKb[i];
      own.totalCalls = f.totalCalls[i];
      row(kBinaries[i].label, kBinaries[i].isStatic, own, (size_t)i);
    }
    for (size_t x = 0; x < extras.size(); x++) row(extras[x].label, extras[x].isStatic, f.extra[x], kBinaryCount + x);
  }
}

void Print(const std::vector<Scenario>& scenarios, const std::vector<Figures>& figures, int rounds, int runs) {
  std::printf("### Wall time (median of %d runs per binary: %d rounds of %d, interleaved; goal: within 1.05 "
              "times the floor)\n\n", rounds * runs, rounds, runs);
  std::printf("| scenario |%s noise (IQR / median) |\n%s\n", Header("ms", true).c_str(), Rule(14).c_str());
  for (size_t k = 0; k < scenarios.size(); k++) {
    const Figures& f = figures[k];
    double spread = *std::max_element(f.noise, f.noise + kBinaryCount);  // the noisiest binary
    std::printf("| %s |%s%s %.0f%% |\n", scenarios[k].title.c_str(), Against(f.wallMs, 0, "%.3f", 1.05).c_str(),
                Against(f.wallMs, 3, "%.3f", 1.05).c_str(), spread * 100);
  }
  std::printf("\n### Wall time, runs alternated one by one (median of %d runs per binary, each binary run once "
              "in turn; goal: within 1.05 times the floor)\n\n", rounds * runs);
  std::printf("| scenario |%s noise (IQR / median) |\n%s\n", Header("ms", true).c_str(), Rule(14).c_str());
  for (size_t k = 0; k < scenarios.size(); k++) {
    const Figures& f = figures[k];
    double spread = *std::max_element(f.alternatedNoise.begin(), f.alternatedNoise.begin() + kBinaryCount);
    std::printf("| %s |%s%s %.0f%% |\n", scenarios[k].title.c_str(), Against(f.alternatedMs.data(), 0, "%.3f", 1.05).c_str(),
                Against(f.alternatedMs.data(), 3, "%.3f", 1.05).c_str(), spread * 100);
  }
  std::printf("\n### CPU time, user + system (median of the %d rounds' means; less disturbed by other load "
              "than wall time)\n\n", rounds);
  PrintAgainst(scenarios, figures, "ms", "%.3f", 0, 0, [](const Figures& f, int i) { return f.cpuMs[i]; });
  std::printf("\n### User-space instructions (callgrind, start to exit; goal: within 1.6 times the floor, 2.5 "
              "static)\n\n");
  PrintAgainst(scenarios, figures, "", "%.0f", 1.6, 2.5,
               [](const Figures& f, int i) { return (double)f.instructions[i]; });
  {
    // What a found port costs: the 38 ports beyond the first four, each.
    const Figures& four = figures[1];
    const Figures& all = figures.back();
    double more = (double)(scenarios.back().ptys.size() - scenarios[1].ptys.size());
    std::printf("\n### User-space instructions per found port ((42 ports - 4 ports) / %.0f; goal: at most "
                "2,000)\n\n| binary | per found port | goal |\n|---|---|---|\n", more);
    for (int i = 0; i < kBinaryCount; i++) {
      double each = (double)(all.instructions[i] - four.instructions[i]) / more;
      std::printf("| %s | %.0f | %s |\n", kBinaries[i].label, each,
                  i % 3 == 0 ? (each <= 2000 ? "met" : ("missed by " + Fixed((each / 2000 - 1) * 100, 0) + "%").c_str())
                             : "");
    }
    for (size_t x = 0; x < extras.size(); x++)
      std::printf("| %s | %.0f | |\n", extras[x].label.c_str(),
                  (double)(all.extra[x].instructions - four.extra[x].instructions) / more);
  }
  std::printf("\n### Where comscan's instructions go (callgrind: each line's own instructions under the file it "
              "was written in, inlined code included; the loader's two parts inclusive)\n\n");
  std::printf("| part |");
  for (const auto& sc : scenarios) std::printf(" %s |", sc.title.c_str());
  std::printf(" per found port |\n|---|");
  for (size_t k = 0; k <= scenarios.size(); k++) std::printf("---|");
  std::printf("\n");
  double found = (double)(scenarios.back().ptys.size() - scenarios[1].ptys.size());
  for (size_t p = 0; p < figures[0].parts.size(); p++) {
    std::printf("| %s |", figures[0].parts[p].first.c_str());
    for (const Figures& f : figures) std::printf(" %s |", p < f.parts.size() ? Count(f.parts[p].second).c_str() : "");
    long long more = figures.back().parts[p].second - figures[1].parts[p].second;
    std::printf(" %.0f |\n", (double)more / found);
  }
  std::printf("\n### Heap allocations (memcheck, dynamic builds: allocations, bytes)\n\n");
  std::printf("| scenario | comscan | reference | floor |\n|---|---|---|---|\n");
  for (size_t k = 0; k < scenarios.size(); k++) {
    const Figures& f = figures[k];
    std::printf("| %s |", scenarios[k].title.c_str());
    for (int i = 0; i < 3; i++) std::printf(" %s, %s |", Count(f.allocs[i]).c_str(), Count(f.heapBytes[i]).c_str());
    std::printf("\n");
  }
  std::printf("\n### Peak resident memory (/usr/bin/time, median of 11; goal: within 1.2 times the floor)\n\n");
  PrintAgainst(scenarios, figures, "KB", "%.0f", 1.2, 1.2, [](const Figures& f, int i) { return (double)f.peakKb[i]; });
  // A found port's calls: what the 38 ports beyond the first four cost,
  // each; what the first port starts once (the close thread) stays out.
  const Figures& four = figures[1];
  const Figures& all = figures.back();
  size_t more = scenarios.back().ptys.size() - scenarios[1].ptys.size();
  std::printf("\n### System calls per found port ((42 ports − 4 ports) / %zu) and over the 42-port run\n\n", more);
  std::printf("| binary | per found port | 42-port run | beyond the floor of the same linkage |\n|---|---|---|---|\n");
  for (int i = 0; i < kBinaryCount; i++) {
    int floor = i < 3 ? 2 : 5;
    std::printf("| %s | %.2f | %lld | %+lld |\n", kBinaries[i].label,
                (double)(all.totalCalls[i] - four.totalCalls[i]) / (double)more, all.totalCalls[i],
                all.totalCalls[i] - all.totalCalls[floor]);
  }
  for (size_t k = 0; k < scenarios.size(); k++) {
    const Figures& f = figures[k];
    std::printf("\n### System calls, %s (strace -c -f; calls, failed in brackets)\n\n", scenarios[k].title.c_str());
    std::printf("| call |");
    for (const Binary& b : kBinaries) std::printf(" %s |", b.label);
    std::printf("\n%s\n", Rule(kBinaryCount + 1).c_str());
    std::map<std::string, int> names;
    for (int i = 0; i < kBinaryCount; i++)
      for (const auto& c : f.calls[i]) names[c.first] = 1;
    for (const auto& n : names) {
      std::printf("| %s |", n.first.c_str());
      for (int i = 0; i < kBinaryCount; i++) {
        auto c = f.calls[i].find(n.first);
        if (c == f.calls[i].end()) std::printf(" |");
        else if (c->second.second) std::printf(" %lld (%lld) |", c->second.first, c->second.second);
        else std::printf(" %lld |", c->second.first);
      }
      std::printf("\n");
    }
    std::printf("| **total** |");
    for (int i = 0; i < kBinaryCount; i++) std::printf(" **%lld** |", f.totalCalls[i]);
    std::printf("\n");
    if (scenarios[k].ptys.empty())
      std::printf("\nSystem calls of comscan that name a port path: %d, of which opens: %d (42 names tried).\n",
                  f.nameCalls, f.nameOpens);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--alternate")
    return Alternate(std::atoi(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
  int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  int runs = argc > 2 ? std::atoi(argv[2]) : 15;
  if (rounds < 1 || runs < 2) Fail("usage: comscan_bench_driver [rounds >= 1 [runs-per-round >= 2]]");
  ReadExtras();
  std::string why;
  if (!e2e::NamespacesUsable(&why)) Fail("cannot make the private /dev: " + why);
  for (const char* tool : {"/usr/bin/hyperfine", "/usr/bin/valgrind", "/usr/bin/strace", "/usr/bin/time"})
    if (access(tool, X_OK) != 0) Fail(std::string(tool) + " is missing: run scripts/setup.sh --bench");
  char dir[] = "/tmp/comscan-bench-XXXXXX";
  if (!mkdtemp(dir)) Fail("mkdtemp failed");
  workDir = dir;

  std::vector<std::string> all;
  for (const char* family : {"ttyUSB", "ttyACM"})
    for (int i = 0; i <= 20; i++) all.push_back(family + std::to_string(i));
  std::vector<Scenario> scenarios(3);
  scenarios[0].title = "no ports";
  scenarios[1].title = "4 ports";
  Populate(&scenarios[1], {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyACM1"});
  scenarios[2].title = "42 ports";
  Populate(&scenarios[2], all);

  // Correctness first: nothing is timed unless every binary is right.
  for (const Scenario& s : scenarios) CheckOutput(s);
  std::fprintf(stderr, "bench: output bytes checked in every scenario\n");

  std::vector<Figures> figures(scenarios.size());
  for (size_t k = 0; k < scenarios.size(); k++) {
    std::fprintf(stderr, "bench: %s\n", scenarios[k].title.c_str());
    MeasureWallTime(scenarios[k], rounds, runs, &figures[k]);
    MeasureAlternated(scenarios[k], rounds * runs, &figures[k]);
    MeasureInstructions(scenarios[k], &figures[k]);
    MeasureHeap(scenarios[k], &figures[k]);
    MeasurePeakMemory(scenarios[k], &figures[k]);
    MeasureSystemCalls(scenarios[k], &figures[k]);
    MeasureExtras(scenarios[k], &figures[k]);
  }
  rmdir(dir);
  Print(scenarios, figures, rounds, runs);
  PrintExtras(scenarios, figures);
  return 0;
}
