#include "installer/standin_package.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "installer/standin_codes.h"
#include "installer/standin_os.h"

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the directory that holds the file reached through |path|, whose
// status is |status|, and finds the file's name in it. Fails when the name no longer
// holds that file: the path was changed under us.
bool FindInDirectory(const char* path, const struct stat& status,
                     PackageFile* package) {
  std::string resolved;
  if (OsRealPath(path, &resolved) != 0)
    return false;
  size_t slash = resolved.rfind('/');
  std::string directory = slash == 0 ? "/" : resolved.substr(0, slash);
  package->name = resolved.substr(slash + 1);
  package->directory = OsOpen(directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (package->directory < 0)
    return false;
  struct stat named;
  if (OsFstatAt(package->directory, package->name.c_str(), &named,
                AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(named, status)) {
    errno = ESTALE;
    return false;
  }
  return true;
}

}  // namespace

UINT OpenPackageFile(const char* path, bool writable, PackageFile* package) {
  // Not blocking: a FIFO planted as the package must not hold the open.
  package->fd = OsOpen(path, (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY, 0);
  if (package->fd < 0)
    return kErrorOpenFailed;
  if (OsFstat(package->fd, &package->opened) != 0 || !S_ISREG(package->opened.st_mode) ||
      (writable && package->opened.st_nlink != 1) ||
      !FindInDirectory(path, package->opened, package)) {
    ClosePackageFile(package);
    return kErrorOpenFailed;
  }
  if (OsLock(package->fd, writable ? LOCK_EX : LOCK_SH) != 0) {
    int error = errno;
    ClosePackageFile(package);
    return error == EWOULDBLOCK ? kErrorFunctionFailed : kErrorOpenFailed;
  }
  return ERROR_SUCCESS;
}

void ClosePackageFile(PackageFile* package) {
  if (package->fd >= 0)
    OsClose(package->fd);  // Releases the lock with it.
  if (package->directory >= 0)
    OsClose(package->directory);
  package->fd = -1;
  package->directory = -1;
}

std::string PathOfDescriptor(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

bool PackageUnchanged(const PackageFile& package) {
  struct stat now;
  if (OsFstatAt(package.directory, package.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  const struct stat& then = package.opened;
  return SameFile(now, then) && now.st_size == then.st_size &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == then.st_mtim.tv_nsec;
}

bool KeepFileAttributes(int from, int to) {
  struct stat from_status;
  if (OsFstat(from, &from_status) != 0)
    return false;
  // Owner first: a change of owner clears the set-id bits, which the mode
  // then puts back, on a file that already belongs to the right account.
  if (OsFchown(to, from_status.st_uid, from_status.st_gid) != 0 ||
      OsFchmod(to, from_status.st_mode & 07777) != 0)
    return false;
  // Extended attributes after the mode: an access ACL carries mode bits of
  // its own, and must be the last word on them, as it is on the original.
  std::vector<std::string> wanted, present;
  if (OsListXattrs(from, &wanted) != 0 || OsListXattrs(to, &present) != 0)
    return false;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() &&
        OsRemoveXattr(to, name.c_str()) != 0)
      return false;  // Inherited by the new file, and not the package's.
  }
  for (const std::string& name : wanted) {
    std::string value;
    if (OsGetXattr(from, name.c_str(), &value) != 0 ||
        OsSetXattr(to, name.c_str(), value) != 0)
      return false;
  }
  struct stat kept;
  return OsFstat(to, &kept) == 0 && kept.st_uid == from_status.st_uid &&
         kept.st_gid == from_status.st_gid &&
         (kept.st_mode & 07777) == (from_status.st_mode & 07777);
}
