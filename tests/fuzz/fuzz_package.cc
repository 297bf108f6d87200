// Fuzzes the probe and the removal with package bytes: whatever the file
// holds, the run must end in a result code and a message, never a crash or a
// hang, and must leave nothing beside the package.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "installer/standin_host.h"
#include "repair/bad_entry.h"
#include "tests/package_fixture.h"

namespace {

std::string g_directory;
std::string g_package;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_directory = MakeTempDirectory();
  g_package = g_directory + "/cached.msi";
  // An engine that hangs on an input must cost the call its reply time-out
  // and come back as a failure code: well within the fuzzer's own time-out,
  // which would otherwise report the wait as a hang of the tool.
  SetEngineHostReplyTimeout(10 * 1000);
  // The messages are not what is fuzzed.
  if (freopen("/dev/null", "w", stdout) == nullptr)
    abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteFileBytes(g_package, std::string(reinterpret_cast<const char*>(data), size));
  bool probe_failed = false;
  if (FindBadEntry(g_package.c_str(), &probe_failed))
    RemoveBadEntry(g_package.c_str());
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(g_directory)) {
    (void)entry;
    ++entries;
  }
  if (entries != 1)
    abort();  // A stray file was left beside the package.
  return 0;
}
