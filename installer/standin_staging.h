// Where a transacted database writes before its changes are put in place.
//
// Each transacted open gets a private staging directory beside the package
// (same directory, so one rename moves the new package in). The engine
// writes the new package and all of its scratch files there, through the
// directory's descriptor; a commit flushes the new package, gives it the
// package's attributes and renames it over the package, so that at every
// moment the package's name holds either the whole old package or the whole
// new one.
//
// The process that owns a staging directory holds a lock on a file in it
// for as long as it lives. The directory is built under a name of its own,
// made private, marked as staging, and only takes a staging name once its
// lock is held, so a staging directory whose lock is free, or that has no
// lock file, is left over (by a process that died, or a clean-up that
// failed) and is removed by the next open in the same directory. Nothing is
// removed but a real, marked directory of this account's, and in it only
// the files staging holds, by descriptor; an unmarked one under a staging
// name (someone else's, renamed) goes only if it is empty.
#ifndef TAMLO_INSTALLER_STANDIN_STAGING_H_
#define TAMLO_INSTALLER_STANDIN_STAGING_H_

#include <sys/stat.h>

#include <string>

#include "installer/standin_package.h"

struct Staging {
  int directory = -1;   // The private staging directory, held open.
  std::string name;     // Its name beside the package.
  struct stat status;   // Its identity, to remove it only while it is there.
  int owner_lock = -1;  // Held open, and locked, until removal.
};

// Removes the staging directories in |directory| that no process owns.
// Best effort: what can't be removed stays for a later run.
void RemoveStaleStaging(int directory);

// The same, for the directory that holds the package at |package_path|
// (links resolved), for a process that holds no descriptor of it.
void RemoveStaleStagingBeside(const char* package_path);

// Makes a fresh staging directory in |package_directory|. Returns true and
// fills |staging|, or false with errno set (nothing is left behind).
bool CreateStaging(int package_directory, Staging* staging);

// Where the engine is to write the new package.
std::string StagedPackagePath(const Staging& staging);

// Removes what the engine wrote, so that a commit can be tried again.
void DiscardStagedPackage(const Staging& staging);

// Puts the staged package in place of |package|: checks that it is the
// file the engine wrote, gives it the package's owner, group, mode and
// extended attributes, flushes it, checks that nothing else changed the
// package since it was opened, renames it over the package and flushes the
// directory. Returns true only when all of that succeeded; |package| then
// holds the new package, locked. On false the staged package is removed and
// the package is whole: the old one, untouched, or the new one if only the
// last flush failed.
bool PutStagedPackageInPlace(const Staging& staging, PackageFile* package);

// Removes the staging directory and whatever is in it.
void RemoveStaging(int package_directory, Staging* staging);

#endif  // TAMLO_INSTALLER_STANDIN_STAGING_H_
