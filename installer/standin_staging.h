// Where a transacted database writes before its changes are put in place.
//
// Each transacted open gets a private staging directory beside the package
// (same directory, so one rename moves the new package in). The engine
// writes the new package and all of its scratch files there; a commit flushes
// the new package and renames it over the old one, so that at every moment
// the package's path holds either the whole old package or the whole new one.
// The process that owns a staging directory holds a lock on a file in it for
// as long as it lives; a staging directory whose lock is free is left over
// (by a process that died, or a clean-up that failed) and is removed by the
// next open in the same directory.
#ifndef TAMLO_INSTALLER_STANDIN_STAGING_H_
#define TAMLO_INSTALLER_STANDIN_STAGING_H_

#include <sys/types.h>

#include <string>

struct Staging {
  std::string package_path;
  std::string directory;       // The private staging directory.
  std::string staged_package;  // Where the engine writes the new package.
  mode_t package_mode;         // The package's permission bits, kept.
  int owner_lock = -1;         // Held open, and locked, until removal.
};

// Name of the directory that holds |path|.
std::string DirectoryOf(const std::string& path);

// Removes the staging directories in |directory| that no process owns.
// Best effort: what can't be removed stays for a later run.
void RemoveStaleStaging(const std::string& directory);

// Checks that |package_path| is a regular file that can be read and makes a
// fresh staging directory for it. Returns true and fills |staging|, or false
// with errno set.
bool CreateStaging(const std::string& package_path, Staging* staging);

// Flushes the staged package and renames it over the package, keeping the
// package's permission bits, then flushes the directory. Returns true only
// when all of that succeeded; on false the staged package is removed and the
// package is whole (the old one, or the new one if only the last flush
// failed).
bool PutStagedPackageInPlace(const Staging& staging);

// Removes the staging directory and whatever is in it.
void RemoveStaging(const Staging& staging);

#endif  // TAMLO_INSTALLER_STANDIN_STAGING_H_
