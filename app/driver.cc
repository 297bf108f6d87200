#include "app/driver.h"

#include <cstdio>

#include "app/unattended.h"
#include "repair/bad_entry.h"

namespace {

const char kTamloUpgradeCode[] = "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}";

// A braced GUID and its terminator.
const int kProductCodeCapacity = 39;

// Readies the process for a run that no one watches, before any output or
// installer call.
void StartRun() {
  PrepareUnattendedRun();
  // Every message reaches standard output before the next installer call,
  // so a redirected log keeps every line up to a kill or a crash.
  setvbuf(stdout, nullptr, _IONBF, 0);
}

// Writes the banner and finds the product and its cached package, reporting
// each. Returns true with the path in |package_path| (kPackagePathCapacity
// characters); false, with the run's exit status in |exit_status|, when the
// run ends here.
bool LocateCachedPackage(char* package_path, int* exit_status) {
  printf("\nSearching for Tamlo...\n\n");

  EnterStep("finding the product");
  char product_code[kProductCodeCapacity] = {};
  UINT result = MsiEnumRelatedProductsA(kTamloUpgradeCode, 0, 0, product_code);
  if (result == ERROR_NO_MORE_ITEMS) {
    printf("No products with the Tamlo upgrade code were found\n");
    *exit_status = kExitNoProduct;
    return false;
  }
  if (result != ERROR_SUCCESS) {
    printf("Couldn't enumerate related products, failed with error code: %d\n",
           static_cast<int>(result));
    *exit_status = kExitFailure;
    return false;
  }
  product_code[kProductCodeCapacity - 1] = '\0';
  printf("Found - ProductCode %s\n\n", product_code);

  EnterStep("locating the cached package");
  result = GetCachedPackagePath(product_code, package_path);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't locate cached package, failed with error code: %d\n",
           static_cast<int>(result));
    *exit_status = kExitFailure;
    return false;
  }
  package_path[kPackagePathCapacity - 1] = '\0';
  printf("Cached database location - %s\n\n", package_path);
  return true;
}

// The steps both tools share: readies the process, finds the product and
// its cached package, and probes the package, reporting each. Returns true
// when the run goes on to "Done.", with the package's path in
// |package_path| (kPackagePathCapacity characters) and the probe's answers
// in |found| and |probe_failed|; false, with the run's exit status in
// |exit_status|, when it ended before the probe.
bool LocateAndProbe(char* package_path, bool* found, bool* probe_failed, int* exit_status) {
  StartRun();
  if (!LocateCachedPackage(package_path, exit_status))
    return false;
  EnterStep("probing the cached package");
  *found = FindBadEntry(package_path, probe_failed);
  return true;
}

}  // namespace

UINT GetCachedPackagePath(const char* product_code, char* package_path) {
  DWORD count = kPackagePathCapacity;
  return MsiGetProductInfoA(product_code, "LocalPackage", package_path, &count);
}

int RunRepair() {
  char package_path[kPackagePathCapacity] = {};
  bool found = false, probe_failed = false;
  int exit_status = kExitFailure;
  if (!LocateAndProbe(package_path, &found, &probe_failed, &exit_status))
    return exit_status;

  bool clean = !probe_failed;
  if (found) {
    EnterStep("removing the bad entry");
    clean = RemoveBadEntry(package_path);
  }
  printf("\nDone.\n");
  return clean ? kExitClean : kExitFailure;
}

int RunCheck() {
  char package_path[kPackagePathCapacity] = {};
  bool found = false, probe_failed = false;
  int exit_status = kExitFailure;
  if (!LocateAndProbe(package_path, &found, &probe_failed, &exit_status))
    return exit_status;

  printf("\nDone.\n");
  if (found)
    return kExitRepairNeeded;
  return probe_failed ? kExitFailure : kExitClean;
}
