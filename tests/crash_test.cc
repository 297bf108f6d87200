// Kills the repair with SIGKILL at random moments while it works on a large
// package, round after round, and checks after each kill that the package is
// a whole database holding either all the old rows or all the new ones, and
// that whatever the dead run left beside it is gone after the next run.
// Every fourth round kills the run the moment the new package is in place,
// so that kills land after the rename as well as before it.
//
//   crash_test TOOL [ROUNDS [ROWS [SEED]]]
//
// Prints what it saw; exits 0 only when no package was broken or lost, every
// stray was cleaned, and kills landed mid-run both before the rename (old
// rows seen) and after it (new rows seen).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/package_fixture.h"

extern char** environ;

namespace {

struct Setup {
  const char* tool;
  std::string registry;
  std::string cache;    // The directory that holds only the package.
  std::string package;
};

// Starts the tool in a process group of its own, so that a kill can take
// down the tool and every process it started at once, as a crash would.
pid_t StartTool(const Setup& setup) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = 0;
  char* argv[] = {const_cast<char*>(setup.tool), nullptr};
  int spawned = posix_spawn(&pid, setup.tool, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    fprintf(stderr, "can't start %s\n", setup.tool);
    exit(2);
  }
  return pid;
}

// Runs the tool to its end. Returns its exit status, or -1 when it died.
int RunTool(const Setup& setup) {
  int status = 0;
  pid_t pid = StartTool(setup);
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Counts what lies beside the package, naming each on standard error when
// asked to.
int CountStrays(const Setup& setup, bool name_them) {
  int strays = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(setup.cache)) {
    if (entry.path().string() == setup.package)
      continue;
    ++strays;
    if (name_them)
      fprintf(stderr, "left behind: %s\n", entry.path().c_str());
  }
  return strays;
}

void CopyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// Waits, without sleeping, until |path| names another file than |inode| or
// |pid| has ended, whichever comes first.
void WaitForReplacement(const std::string& path, ino_t inode, pid_t pid) {
  for (;;) {
    struct stat status;
    if (stat(path.c_str(), &status) == 0 && status.st_ino != inode)
      return;
    if (waitpid(pid, nullptr, WNOHANG | WNOWAIT) == pid)
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s TOOL [ROUNDS [ROWS [SEED]]]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? atoi(argv[2]) : 20;
  const int rows = argc > 3 ? atoi(argv[3]) : 30000;
  const unsigned seed = argc > 4 ? static_cast<unsigned>(atol(argv[4]))
                                 : static_cast<unsigned>(time(nullptr));

  std::string directory = MakeTempDirectory();
  Setup setup{argv[1], directory + "/products", directory + "/cache",
              directory + "/cache/cached.msi"};
  std::filesystem::create_directory(setup.cache);
  std::string original = directory + "/original.msi";
  std::string error;
  if (!WritePackage(original, FileKeys(rows, true), &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  WriteFileBytes(setup.registry,
                 "{11111111-2222-3333-4444-555555555555}\t"
                 "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}\t" + setup.package + "\n");
  setenv("MSI_STANDIN_REGISTRY", setup.registry.c_str(), 1);
  std::vector<std::string> old_rows = FileKeys(rows, true);
  std::vector<std::string> new_rows = FileKeys(rows, false);
  std::sort(old_rows.begin(), old_rows.end());
  std::sort(new_rows.begin(), new_rows.end());

  // How long an undisturbed repair takes, so that kills spread over all of it.
  CopyFile(original, setup.package);
  auto start = std::chrono::steady_clock::now();
  int calibration_status = RunTool(setup);
  auto run_time = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  std::vector<std::string> keys;
  if (calibration_status != 0 || !ReadFileKeys(setup.package, &keys) || keys != new_rows) {
    fprintf(stderr, "an undisturbed repair failed (status %d)\n", calibration_status);
    return 1;
  }

  std::mt19937 random(seed);
  std::uniform_int_distribution<long> delay(0, run_time.count() * 6 / 5);
  int killed_mid_run = 0, whole = 0, whole_old = 0, whole_new = 0;
  int killed_before_rename = 0, killed_after_rename = 0;
  int rounds_with_strays = 0, strays_left_after_next_run = 0, follow_ups_failed = 0;
  for (int round = 0; round < rounds; ++round) {
    CopyFile(original, setup.package);
    struct stat before;
    stat(setup.package.c_str(), &before);
    pid_t pid = StartTool(setup);
    if (round % 4 == 3)
      WaitForReplacement(setup.package, before.st_ino, pid);
    else
      std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    kill(-pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    bool mid_run = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    killed_mid_run += mid_run;

    if (ReadFileKeys(setup.package, &keys) && (keys == old_rows || keys == new_rows)) {
      ++whole;
      (keys == old_rows ? whole_old : whole_new) += 1;
      if (mid_run)
        (keys == old_rows ? killed_before_rename : killed_after_rename) += 1;
    } else {
      fprintf(stderr, "round %d: the package is broken or lost rows\n", round + 1);
    }
    rounds_with_strays += CountStrays(setup, false) > 0;

    // The next run finishes the repair and clears what the dead one left.
    if (RunTool(setup) != 0 || !ReadFileKeys(setup.package, &keys) || keys != new_rows)
      ++follow_ups_failed;
    strays_left_after_next_run += CountStrays(setup, true);
  }
  RemoveTree(directory);

  printf("crash test: %d rows, seed %u, an undisturbed repair takes %.1f ms\n", rows,
         seed, static_cast<double>(run_time.count()) / 1000.0);
  printf("  rounds                         %d\n", rounds);
  printf("  kills landed mid-run           %d (before the rename %d, after it %d)\n",
         killed_mid_run, killed_before_rename, killed_after_rename);
  printf("  packages whole after the kill  %d (old rows %d, new rows %d)\n", whole,
         whole_old, whole_new);
  printf("  rounds that left stray files   %d\n", rounds_with_strays);
  printf("  strays left after the next run %d\n", strays_left_after_next_run);
  printf("  next runs that failed          %d\n", follow_ups_failed);
  bool safe = whole == rounds && strays_left_after_next_run == 0 && follow_ups_failed == 0;
  bool both_sides = killed_before_rename > 0 && killed_after_rename > 0;
  if (!both_sides)
    printf("FAILED to land kills on both sides of the rename: the test proved less than it says\n");
  printf("%s\n", safe ? "no package broken or lost" : "FAILED");
  return safe && both_sides ? 0 : 1;
}
