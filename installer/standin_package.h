// A package file as the stand-in holds it from an open to the close: by
// descriptor, together with the directory that holds it, so that nothing
// done to the path in between (a link planted, the file swapped) can make it
// read or replace another file.
//
// A package path that is a link is followed, as the installer follows it:
// the file it names is the package, and a change replaces that file, in its
// own directory; the link stays a link.
//
// Opens lock the package as the installer shares it: any number of opens
// for reading, or one open for transacting and nothing else.
#ifndef TAMLO_INSTALLER_STANDIN_PACKAGE_H_
#define TAMLO_INSTALLER_STANDIN_PACKAGE_H_

#include <sys/stat.h>

#include <string>

#include "installer/installer.h"

struct PackageFile {
  int directory = -1;  // The directory that holds the package, links resolved.
  std::string name;    // The package's name in |directory|.
  int fd = -1;         // The package, locked.
  struct stat opened;  // What the package was when opened (or last replaced).
};

// Opens the package at |path| without blocking, for reading or, when
// |writable|, for reading and writing (which the file's own permissions must
// allow), and locks it: shared for reading, exclusive for writing. Returns 0
// and fills |package|; ERROR_OPEN_FAILED (110) when |path| can't be opened
// so, is not a regular file, or (|writable|) has more than one name, which a
// replacement would split; ERROR_FUNCTION_FAILED (1627) when another open of
// the package holds a lock that conflicts.
UINT OpenPackageFile(const char* path, bool writable, PackageFile* package);

// Releases the descriptors and the lock. Safe on a package never opened.
void ClosePackageFile(PackageFile* package);

// A path that reaches the file open at |fd| and nothing else, whatever is
// done to its names: what the engine opens is what was checked.
std::string PathOfDescriptor(int fd);

// True when the package's name still holds the file that was opened, as it
// was then (device, inode, size, modification time): nothing else changed it.
bool PackageUnchanged(const PackageFile& package);

// Gives the file open at |to| the owner, group, mode and extended attributes
// (ACLs among them) that the file open at |from| has now. Returns true only
// when |to| has all of them after.
bool KeepFileAttributes(int from, int to);

#endif  // TAMLO_INSTALLER_STANDIN_PACKAGE_H_
