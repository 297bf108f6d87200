// The whole run of the tool: find the product, find its cached package,
// probe it and, when the bad entry is there, remove it.
#ifndef TAMLO_APP_DRIVER_H_
#define TAMLO_APP_DRIVER_H_

#include "installer/installer.h"

// Exit statuses of a run.
enum RepairExitStatus {
  // "Done." was reached and the package no longer holds the bad entry.
  kExitClean = 0,
  // Any failure: no product code, no package path, a failed probe or removal.
  kExitFailure = 1,
  // No installed product is related to the upgrade code.
  kExitNoProduct = 2,
};

// Capacity of the package path buffer, terminator included.
const DWORD kPackagePathCapacity = 4096;

// Writes into |package_path| (kPackagePathCapacity characters) the path of
// the cached package of |product_code|. Returns the installer's result code
// unchanged: 0 when the buffer holds the path.
UINT GetCachedPackagePath(const char* product_code, char* package_path);

// Runs the repair once, reporting every step on standard output. Returns
// one of RepairExitStatus.
int RunRepair();

#endif  // TAMLO_APP_DRIVER_H_
