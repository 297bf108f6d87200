#include "repair/bad_entry.h"

#include <cstdio>

#include "installer/installer.h"

namespace {

const char kBadEntryDelete[] =
    "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";

}  // namespace

bool RemoveBadEntry(const char* package_path) {
  MSIHANDLE database = 0;
  UINT result = MsiOpenDatabaseA(package_path, MSIDBOPEN_TRANSACT, &database);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't open cached package for transacting, failed with error code: %d\n",
           static_cast<int>(result));
    return false;
  }

  MSIHANDLE view = 0;
  result = MsiDatabaseOpenViewA(database, kBadEntryDelete, &view);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't open view, failed with error code: %d\n",
           static_cast<int>(result));
    MsiCloseHandle(database);
    return false;
  }

  bool removed = false;
  result = MsiViewExecute(view, 0);
  if (result != ERROR_SUCCESS) {
    // Closing without a commit leaves the package as it was.
    printf("Couldn't execute Delete query, failed with error code: %d\n",
           static_cast<int>(result));
  } else {
    result = MsiDatabaseCommit(database);
    if (result != ERROR_SUCCESS) {
      printf("Couldn't commit database, failed with error code: %d\n\n",
             static_cast<int>(result));
    } else {
      printf("Bad entry removed.\n\n");
      removed = true;
    }
  }

  MsiCloseHandle(view);
  MsiCloseHandle(database);
  return removed;
}
