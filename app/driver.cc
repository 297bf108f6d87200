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

}  // namespace

UINT GetCachedPackagePath(const char* product_code, char* package_path) {
  DWORD count = kPackagePathCapacity;
  return MsiGetProductInfoA(product_code, "LocalPackage", package_path, &count);
}

int RunRepair() {
  StartRun();
  char package_path[kPackagePathCapacity] = {};
  int exit_status = kExitFailure;
  if (!LocateCachedPackage(package_path, &exit_status))
    return exit_status;

  EnterStep("probing the cached package");
  bool probe_failed = false;
  bool clean = false;
  if (FindBadEntry(package_path, &probe_failed)) {
    EnterStep("removing the bad entry");
    clean = RemoveBadEntry(package_path);
  } else {
    clean = !probe_failed;
  }

  printf("\nDone.\n");
  return clean ? kExitClean : kExitFailure;
}

int RunCheck() {
  StartRun();
  char package_path[kPackagePathCapacity] = {};
  int exit_status = kExitFailure;
  if (!LocateCachedPackage(package_path, &exit_status))
    return exit_status;

  EnterStep("probing the cached package");
  bool probe_failed = false;
  bool found = FindBadEntry(package_path, &probe_failed);

  printf("\nDone.\n");
  if (found)
    return kExitRepairNeeded;
  return probe_failed ? kExitFailure : kExitClean;
}
