#include "repair/bad_entry.h"

#include <cstdio>

#include "installer/installer.h"

namespace {

const char kBadEntrySelect[] =
    "SELECT * FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";

// ERROR_BAD_QUERY_SYNTAX. The query is a constant, so on a package that
// opened this means that it has no RemoveFile table (or no FileKey column):
// the package can't hold the bad entry.
const UINT kNoSuchTableOrColumn = 1615;

}  // namespace

bool FindBadEntry(const char* package_path, bool* probe_failed) {
  *probe_failed = true;

  MSIHANDLE database = 0;
  UINT result = MsiOpenDatabaseA(package_path, MSIDBOPEN_READONLY, &database);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't open cached package for reading, failed with error code: %d\n",
           static_cast<int>(result));
    return false;
  }

  MSIHANDLE view = 0;
  result = MsiDatabaseOpenViewA(database, kBadEntrySelect, &view);
  if (result != ERROR_SUCCESS) {
    printf("Couldn't open view, failed with error code: %d\n",
           static_cast<int>(result));
    *probe_failed = result != kNoSuchTableOrColumn;
    MsiCloseHandle(database);
    return false;
  }

  // Not examined: the fetch that follows tells whether the query ran.
  MsiViewExecute(view, 0);

  bool found = false;
  MSIHANDLE record = 0;
  result = MsiViewFetch(view, &record);
  if (result == ERROR_NO_MORE_ITEMS) {
    printf("No bad entries to be removed.\n\n");
    *probe_failed = false;
  } else if (result == ERROR_SUCCESS) {
    printf("Bad entry found\n\n");
    *probe_failed = false;
    found = true;
  } else {
    printf("Record fetch failed with error code: %d\n", static_cast<int>(result));
  }

  if (record != 0)
    MsiCloseHandle(record);
  MsiCloseHandle(view);
  MsiCloseHandle(database);
  return found;
}
