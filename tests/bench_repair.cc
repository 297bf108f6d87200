// Times the repair against what bounds it, over packages of growing size:
// the bare engine doing the same work, msibuild running the same delete, and
// a plain copy of the file. Prints a table of medians and ratios, and the
// instructions that the tool and the bare engine execute (needs valgrind).
//
//   bench_repair TOOL BARE_ENGINE [REPEATS [ROWS...]]
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/package_fixture.h"

extern char** environ;

namespace {

struct Measure {
  std::vector<double> wall_ms;
  std::vector<double> cpu_ms;  // User and system time.
  double peak_mb = 0;          // Largest peak resident set.
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs |argv| once with its output thrown away, and adds what it cost to
// |measure|.
void RunOnce(const std::vector<std::string>& argv, Measure* measure) {
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    fprintf(stderr, "can't start %s\n", args[0]);
    exit(2);
  }
  int status = 0;
  struct rusage usage;
  wait4(pid, &status, 0, &usage);
  measure->wall_ms.push_back(std::chrono::duration<double, std::milli>(
                                 std::chrono::steady_clock::now() - start).count());
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed\n", args[0]);
    exit(1);
  }
  auto ms = [](const struct timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
  };
  measure->cpu_ms.push_back(ms(usage.ru_utime) + ms(usage.ru_stime));
  measure->peak_mb = std::max(measure->peak_mb, static_cast<double>(usage.ru_maxrss) / 1024.0);
}

// Counts the instructions that |argv| executes, in all of its processes,
// under callgrind: unlike times, the count is the same from run to run.
double CountInstructions(const std::vector<std::string>& argv, const std::string& log) {
  std::vector<std::string> command = {"valgrind", "--tool=callgrind",
                                      "--callgrind-out-file=/dev/null", "--log-file=" + log};
  command.insert(command.end(), argv.begin(), argv.end());
  Measure ignored;
  RunOnce(command, &ignored);
  std::string text = ReadFileBytes(log);
  double instructions = 0;
  for (size_t at = text.find("Collected : "); at != std::string::npos;
       at = text.find("Collected : ", at + 1))
    instructions += atof(text.c_str() + at + 12);
  return instructions;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s TOOL BARE_ENGINE [REPEATS [ROWS...]]\n", argv[0]);
    return 2;
  }
  const int repeats = argc > 3 ? atoi(argv[3]) : 11;
  std::vector<int> sizes;
  for (int i = 4; i < argc; ++i)
    sizes.push_back(atoi(argv[i]));
  if (sizes.empty())
    sizes = {1000, 10000, 100000};

  std::string directory = MakeTempDirectory();
  std::string original = directory + "/original.msi";
  std::string package = directory + "/cached.msi";
  std::string registry = directory + "/products";
  WriteFileBytes(registry,
                 "{11111111-2222-3333-4444-555555555555}\t"
                 "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}\t" + package + "\n");
  setenv("MSI_STANDIN_REGISTRY", registry.c_str(), 1);

  printf("medians of %d runs taken in turns; cpu is user + system time; mem is the\n"
         "peak resident set; instr is instructions executed, counted by callgrind\n\n",
         repeats);
  printf("| rows | package | tool wall | tool cpu | tool mem | engine wall | engine cpu |"
         " engine mem | tool/engine wall | tool/engine cpu | tool instr | engine instr |"
         " tool/engine instr | msibuild wall | msibuild/tool | cp wall |\n");
  printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (int rows : sizes) {
    std::string error;
    if (!WritePackage(original, FileKeys(rows, true), &error)) {
      fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    double package_mb =
        static_cast<double>(std::filesystem::file_size(original)) / (1024.0 * 1024.0);
    // The contenders take turns, each on a fresh copy of the package, so
    // that the machine's drift over time falls on all of them alike.
    const std::vector<std::vector<std::string>> commands = {
        {argv[1]},
        {argv[2], package},
        {"msibuild", package, "-q", "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'"},
        {"cp", package, package + ".copy"},
    };
    std::vector<Measure> measures(commands.size());
    for (int i = 0; i < repeats; ++i) {
      for (size_t c = 0; c < commands.size(); ++c) {
        std::filesystem::copy_file(original, package,
                                   std::filesystem::copy_options::overwrite_existing);
        RunOnce(commands[c], &measures[c]);
      }
    }
    std::filesystem::copy_file(original, package,
                               std::filesystem::copy_options::overwrite_existing);
    double tool_instructions = CountInstructions(commands[0], directory + "/callgrind.log");
    std::filesystem::copy_file(original, package,
                               std::filesystem::copy_options::overwrite_existing);
    double engine_instructions = CountInstructions(commands[1], directory + "/callgrind.log");
    const Measure& tool = measures[0];
    const Measure& engine = measures[1];
    const Measure& msibuild = measures[2];
    const Measure& copy = measures[3];
    printf("| %d | %.2f MB | %.1f ms | %.1f ms | %.1f MB | %.1f ms | %.1f ms | %.1f MB |"
           " %.2fx | %.2fx | %.1fM | %.1fM | %.3fx | %.1f ms | %.2fx | %.1f ms |\n",
           rows, package_mb, Median(tool.wall_ms), Median(tool.cpu_ms), tool.peak_mb,
           Median(engine.wall_ms), Median(engine.cpu_ms), engine.peak_mb,
           Median(tool.wall_ms) / Median(engine.wall_ms),
           Median(tool.cpu_ms) / Median(engine.cpu_ms), tool_instructions / 1e6,
           engine_instructions / 1e6, tool_instructions / engine_instructions,
           Median(msibuild.wall_ms),
           Median(msibuild.wall_ms) / Median(tool.wall_ms), Median(copy.wall_ms));
    fflush(stdout);
  }
  RemoveTree(directory);
  return 0;
}
