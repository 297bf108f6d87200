#include "app/driver.h"

#include <cstdio>

#include "repair/bad_entry.h"

namespace {

const char kTamloUpgradeCode[] = "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}";

// A braced GUID and its terminator.
const int kProductCodeCapacity = 39;

}  // namespace

UINT GetCachedPackagePath(const char* product_code, char* package_path) {
  DWORD count = kPackagePathCapacity;
  return MsiGetProductInfoA(product_code, "LocalPackage", package_path, &count);
}

int RunRepair() {
  printf("\nSearching for Tamlo...\n\n");

  char product_code[kProductCodeCapacity] = {};
  UINT result = MsiEnumRelatedProductsA(kTamloUpgradeCode, 0, 0, product_code);
  if (result == ERROR_NO_MORE_ITEMS) {
    printf("No products with the Tamlo upgrade code were found\n");
    return kExitNoProduct;
  }
  if (result != ERROR_SUCCESS) {
    printf("Couldn't enumerate related products, failed with error code: %d\n",
           static_cast<int>(result));
    return kExitFailure;
  }
  product_code[kProductCodeCapacity - 1] = '\0';
  printf("Found - ProductCode %s\n\n", product_code);

  char package_path[kPackagePathCapacity] = {};
  result = GetCachedPackagePath(product_code, package_path);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't locate cached package, failed with error code: %d\n",
           static_cast<int>(result));
    return kExitFailure;
  }
  package_path[kPackagePathCapacity - 1] = '\0';
  printf("Cached database location - %s\n\n", package_path);

  bool probe_failed = false;
  bool clean = false;
  if (FindBadEntry(package_path, &probe_failed))
    clean = RemoveBadEntry(package_path);
  else
    clean = !probe_failed;

  printf("\nDone.\n");
  return clean ? kExitClean : kExitFailure;
}
