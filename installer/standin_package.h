// A package file as the stand-in holds it from an open to the close: by
// descriptor, together with the directory that holds it, so that nothing
// done to the path in between (a link planted, the file swapped) can make it
// read or replace another file.
//
// A package path that is a link is followed, as the installer follows it:
// the file it names is the package, and a change replaces that file, in its
// own directory; the link stays a link. Only links that this account or
// root made are followed: one that another account planted, in a directory
// it can write, must not lead to a file that account could not touch.
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

// Finds the file that |path| names, one name at a time and by descriptor,
// following links as said above (at most 40). Returns 0 with the directory
// that holds the file open for reading in |directory|, the file's name there
// in |name| and the file itself open O_PATH in |file| (the caller closes
// both); -1 with errno set (EPERM for a link that is not followed).
int ResolvePath(const char* path, int* directory, std::string* name, int* file);

// Opens the package at |path| without blocking, for reading or, when
// |writable|, for reading and writing (which the file's own permissions must
// allow), once it is seen to be a regular file, and locks it: shared for
// reading, exclusive for writing (a lock only those who may write the file
// can take). Returns 0 and fills |package|; ERROR_OPEN_FAILED (110) when
// |path| can't be resolved or opened so, is not a regular file, or
// (|writable|) has more than one name, which a replacement would split;
// ERROR_FUNCTION_FAILED (1627) when another open of the package holds a
// lock that conflicts.
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
