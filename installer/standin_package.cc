#include "installer/standin_package.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "installer/standin_codes.h"
#include "installer/standin_os.h"

namespace {

// Links followed on the way to one file, at most, as the system counts them.
const int kMostLinks = 40;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Adds the names of |path| to |pending|, the last name first, so that the
// first comes off the back. Empty names and "." say nothing and are left out.
void PushNames(const std::string& path, std::vector<std::string>* pending) {
  std::vector<std::string> names;
  for (size_t start = 0; start <= path.size();) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos)
      slash = path.size();
    std::string name = path.substr(start, slash - start);
    if (!name.empty() && name != ".")
      names.push_back(name);
    start = slash + 1;
  }
  pending->insert(pending->end(), names.rbegin(), names.rend());
}

// Replaces |*fd| with |replacement|, closing what it held.
void Replace(int* fd, int replacement) {
  if (*fd >= 0)
    OsClose(*fd);
  *fd = replacement;
}

// The extended attributes of |fd|: none where the file system keeps none.
bool ListXattrs(int fd, std::vector<std::string>* names) {
  if (OsListXattrs(fd, names) == 0)
    return true;
  names->clear();
  return errno == ENOTSUP || errno == EOPNOTSUPP;
}

}  // namespace

int ResolvePath(const char* path, int* directory, std::string* name, int* file) {
  *directory = *file = -1;
  std::vector<std::string> pending;
  PushNames(path, &pending);
  int at = OsOpen(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY, 0);
  int error = at < 0 ? errno : EISDIR;  // EISDIR: no name left for a file.
  int links = 0;
  while (at >= 0 && !pending.empty()) {
    std::string next = pending.back();
    pending.pop_back();
    int fd = OsOpenAt(at, next.c_str(), O_PATH | O_NOFOLLOW, 0);
    struct stat status;
    if (fd < 0 || OsFstat(fd, &status) != 0) {
      error = errno;
      Replace(&fd, -1);
      break;
    }
    if (S_ISLNK(status.st_mode)) {
      std::string target;
      if (status.st_uid != 0 && status.st_uid != geteuid())
        error = EPERM;  // Planted by another account: not followed.
      else if (++links > kMostLinks)
        error = ELOOP;
      else if (OsReadLinkAt(fd, &target) != 0)
        error = errno;
      else
        error = 0;
      Replace(&fd, -1);
      if (error != 0)
        break;
      PushNames(target, &pending);
      if (target[0] == '/')
        Replace(&at, OsOpen("/", O_PATH | O_DIRECTORY, 0));
      error = at < 0 ? errno : EISDIR;
      continue;
    }
    if (pending.empty()) {
      // The file itself: its directory, opened for reading, and its name.
      *directory = OsOpenAt(at, ".", O_RDONLY | O_DIRECTORY, 0);
      error = errno;
      Replace(&at, -1);
      if (*directory < 0) {
        Replace(&fd, -1);
        errno = error;
        return -1;
      }
      *name = next;
      *file = fd;
      return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
      error = ENOTDIR;
      Replace(&fd, -1);
      break;
    }
    Replace(&at, fd);
  }
  Replace(&at, -1);
  errno = error;
  return -1;
}

UINT OpenPackageFile(const char* path, bool writable, PackageFile* package) {
  int file = -1;
  if (ResolvePath(path, &package->directory, &package->name, &file) != 0)
    return kErrorOpenFailed;
  // Looked at before it is opened: opening a device or a FIFO can do
  // something (wake a writer, arm a watchdog) even when nothing is read.
  struct stat status;
  bool regular = OsFstat(file, &status) == 0 && S_ISREG(status.st_mode) &&
                 !(writable && status.st_nlink != 1);
  if (regular) {
    package->fd = OsOpen(PathOfDescriptor(file).c_str(),
                         (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY, 0);
  }
  OsClose(file);
  if (package->fd < 0 || OsFstat(package->fd, &package->opened) != 0 ||
      !SameFile(package->opened, status)) {
    ClosePackageFile(package);
    return kErrorOpenFailed;
  }
  if (OsLockFile(package->fd, writable) != 0) {
    int error = errno;
    ClosePackageFile(package);
    return error == EAGAIN || error == EACCES ? kErrorFunctionFailed : kErrorOpenFailed;
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
  // The change time too: no account can set it back, as one can the
  // modification time, and it moves with a change of mode, owner or ACL.
  return SameFile(now, then) && now.st_size == then.st_size &&
         now.st_nlink == then.st_nlink &&
         now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == then.st_ctim.tv_sec &&
         now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
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
  if (!ListXattrs(from, &wanted) || !ListXattrs(to, &present))
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
