// The whole run of each tool: find the product, find its cached package,
// probe it and, for the repair, remove the bad entry when it is there.
#ifndef TAMLO_APP_DRIVER_H_
#define TAMLO_APP_DRIVER_H_

#include "installer/installer.h"

// Exit statuses of a run; 0 and 2 mean the same for both tools.
enum RepairExitStatus {
  // "Done." was reached and the package does not hold the bad entry (the
  // repair removed it, or it was not there).
  kExitClean = 0,
  // Any failure: no product code, no package path, a failed probe or removal.
  kExitFailure = 1,
  // No installed product is related to the upgrade code.
  kExitNoProduct = 2,
  // The check only: the package holds the bad entry, a repair is needed.
  kExitRepairNeeded = 3,
};

// Capacity of the package path buffer, terminator included.
const DWORD kPackagePathCapacity = 4096;

// Writes into |package_path| (kPackagePathCapacity characters) the path of
// the cached package of |product_code|. Returns the installer's result code
// unchanged: 0 when the buffer holds the path.
UINT GetCachedPackagePath(const char* product_code, char* package_path);

// Runs the repair once, reporting every step on standard output. Returns
// kExitClean, kExitFailure or kExitNoProduct.
int RunRepair();

// Runs the same lookups and probe as the repair, with the same messages,
// then "Done.", and never opens the package for transacting. Returns
// kExitClean, kExitFailure, kExitNoProduct or kExitRepairNeeded.
int RunCheck();

#endif  // TAMLO_APP_DRIVER_H_
