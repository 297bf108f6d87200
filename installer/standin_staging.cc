#include "installer/standin_staging.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <vector>

#include "installer/standin_os.h"

namespace {

// Staging directories are named kStagingPrefix, the owner's process id, a
// dash and a sequence number; while being built, kBuildingPrefix instead.
const char kStagingPrefix[] = ".msi-standin-";
const char kBuildingPrefix[] = ".msi-standin-new-";
const char kStagedName[] = "package.msi";
const char kOwnerLockName[] = "owner.lock";
// Set on every staging directory this stand-in makes. Only an account that
// may write a directory can set it there, so a directory of someone else's
// renamed to a staging name does not carry it.
const char kMarkName[] = "user.msi-standin";
const char kMarkValue[] = "staging";
// How many names a staging directory tries before giving up: names planted
// in advance must not block every repair.
const int kMostNameTries = 1000;

// Whether |name| is one of the files the stand-in and the engine make in a
// staging directory: the staged package, the engine's scratch files, the
// lock. Nothing else is ever removed from one.
bool IsStagingFileName(const std::string& name) {
  return name == kStagedName || name == std::string(kStagedName) + ".tmp" ||
         name == kOwnerLockName || name.compare(0, 10, ".gsf-save-") == 0;
}

// Takes the ACL |name| off the directory open at |directory|. True when it
// is not there after, or the file system keeps none.
bool RemoveAcl(int directory, const char* name) {
  return OsRemoveXattr(directory, name) == 0 || errno == ENODATA ||
         errno == ENOTSUP || errno == EOPNOTSUPP;
}

enum Mark { kMarked, kUnmarked, kUnmarkable };

// Whether the directory open at |directory| carries the stand-in's mark; a
// file system that keeps no extended attributes can carry none.
Mark MarkOf(int directory) {
  std::string value;
  if (OsGetXattr(directory, kMarkName, &value) == 0)
    return value == kMarkValue ? kMarked : kUnmarked;
  return errno == ENOTSUP || errno == EOPNOTSUPP ? kUnmarkable : kUnmarked;
}

enum StagingKind { kNotStaging, kBuilding, kPublished };

// What |name| is, and the process id in it.
StagingKind KindOfName(const std::string& name, pid_t* owner) {
  StagingKind kind = kPublished;
  size_t prefix_length = sizeof kStagingPrefix - 1;
  if (name.compare(0, sizeof kBuildingPrefix - 1, kBuildingPrefix) == 0) {
    kind = kBuilding;
    prefix_length = sizeof kBuildingPrefix - 1;
  } else if (name.compare(0, prefix_length, kStagingPrefix) != 0) {
    return kNotStaging;
  }
  const char* digits = name.c_str() + prefix_length;
  char* end = nullptr;
  long pid = strtol(digits, &end, 10);
  if (end == digits || *end != '-' || pid <= 0)
    return kNotStaging;
  *owner = static_cast<pid_t>(pid);
  return kind;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Empties the staging directory open at |staging| (status |status|), named
// |name| in |directory|, and removes it, by descriptor throughout: only the
// names a staging directory holds are removed (a link as a link), and the
// directory goes only when that left it empty and while |name| still names
// it. The lock file goes last: while anything else is left, it tells
// whether an owner lives.
void EmptyAndRemove(int directory, const std::string& name, int staging,
                    const struct stat& status) {
  std::vector<std::string> names;
  if (OsListDirectoryAt(staging, &names) == 0) {
    for (const std::string& entry : names) {
      if (entry != kOwnerLockName && IsStagingFileName(entry))
        OsUnlinkAt(staging, entry.c_str(), 0);
    }
    OsUnlinkAt(staging, kOwnerLockName, 0);
  }
  struct stat named;
  if (OsFstatAt(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(named, status))
    OsUnlinkAt(directory, name.c_str(), AT_REMOVEDIR);
}

// Whether the staging directory open at |staging| has no owner any more.
// One being built is its builder's until the builder is gone, lock or no
// lock. A published one always has its lock file, held while the owner
// lives; without the file it was being removed.
bool OwnerIsGone(int staging, StagingKind kind, pid_t owner, int* lock) {
  if (kind == kBuilding)
    return owner == getpid() || (OsProcessExists(owner) != 0 && errno == ESRCH);
  *lock = OsOpenAt(staging, kOwnerLockName, O_RDWR | O_NOFOLLOW | O_NONBLOCK, 0);
  if (*lock < 0)
    return errno == ENOENT;
  struct stat status;
  return OsFstat(*lock, &status) == 0 && S_ISREG(status.st_mode) &&
         status.st_uid == geteuid() && OsLock(*lock, LOCK_EX) == 0;
}

}  // namespace

void RemoveStaleStaging(int directory) {
  std::vector<std::string> names;
  if (OsListDirectoryAt(directory, &names) != 0)
    return;
  for (const std::string& name : names) {
    pid_t owner = 0;
    StagingKind kind = KindOfName(name, &owner);
    if (kind == kNotStaging)
      continue;
    // Only a real directory of this account's: never a link, never someone
    // else's, whatever its name.
    struct stat status;
    if (OsFstatAt(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != geteuid())
      continue;
    int staging = OsOpenAt(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
    if (staging < 0)
      continue;
    struct stat opened;
    int lock = -1;
    if (OsFstat(staging, &opened) == 0 && SameFile(opened, status) &&
        OwnerIsGone(staging, kind, owner, &lock)) {
      // Under the lock. One without the mark may be someone else's,
      // renamed: it goes only if it is empty already, as a staging
      // directory is when its building was cut short before the mark.
      if (MarkOf(staging) == kUnmarked)
        OsUnlinkAt(directory, name.c_str(), AT_REMOVEDIR);
      else
        EmptyAndRemove(directory, name, staging, opened);
    }
    if (lock >= 0)
      OsClose(lock);
    OsClose(staging);
  }
}

void RemoveStaleStagingBeside(const char* package_path) {
  int directory = -1, file = -1;
  std::string name;
  if (ResolvePath(package_path, &directory, &name, &file) != 0)
    return;
  OsClose(file);
  RemoveStaleStaging(directory);
  OsClose(directory);
}

bool CreateStaging(int package_directory, Staging* staging) {
  static unsigned sequence = 0;
  const std::string owner = std::to_string(getpid()) + "-";
  std::string building;
  for (int tries = 0;; ++tries) {
    building = kBuildingPrefix + owner + std::to_string(++sequence);
    if (OsMkdirAt(package_directory, building.c_str(), 0700) == 0)
      break;
    if (errno != EEXIST || tries == kMostNameTries)
      return false;
  }
  staging->name = building;
  staging->directory =
      OsOpenAt(package_directory, building.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
  if (staging->directory < 0) {
    int error = errno;
    OsUnlinkAt(package_directory, building.c_str(), AT_REMOVEDIR);  // Only if empty.
    errno = error;
    return false;
  }
  // The directory just made, and not one put in its place since: ours and
  // empty. Then made private (an ACL inherited from the package's directory
  // could let others in), marked as staging, and locked by its owner.
  std::vector<std::string> entries;
  bool built = OsFstat(staging->directory, &staging->status) == 0 &&
               staging->status.st_uid == geteuid() &&
               OsListDirectoryAt(staging->directory, &entries) == 0 && entries.empty() &&
               MarkOf(staging->directory) != kMarked &&
               RemoveAcl(staging->directory, "system.posix_acl_default") &&
               RemoveAcl(staging->directory, "system.posix_acl_access") &&
               OsFchmod(staging->directory, 0700) == 0 &&
               (OsSetXattr(staging->directory, kMarkName, kMarkValue) == 0 ||
                errno == ENOTSUP || errno == EOPNOTSUPP);
  if (built) {
    staging->owner_lock = OsOpenAt(staging->directory, kOwnerLockName,
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    built = staging->owner_lock >= 0 && OsLock(staging->owner_lock, LOCK_EX) == 0;
  }
  // Built under a name that no clean-up takes while this process lives, and
  // given a staging name only once the lock is held. A name taken already
  // (planted, perhaps) is passed over.
  int error = errno;
  for (int tries = 0; built && tries < kMostNameTries; ++tries) {
    std::string published = kStagingPrefix + owner + std::to_string(sequence);
    if (OsRenameAtNoReplace(package_directory, building.c_str(), package_directory,
                            published.c_str()) == 0) {
      staging->name = published;
      struct stat named;
      if (OsFstatAt(package_directory, published.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          SameFile(named, staging->status))
        return true;
      error = ESTALE;  // Moved away by someone else at once.
      break;
    }
    error = errno;
    if (error != EEXIST)
      break;
    ++sequence;
  }
  RemoveStaging(package_directory, staging);
  errno = error;
  return false;
}

std::string StagedPackagePath(const Staging& staging) {
  return PathOfDescriptor(staging.directory) + "/" + kStagedName;
}

void DiscardStagedPackage(const Staging& staging) {
  OsUnlinkAt(staging.directory, kStagedName, 0);
}

bool PutStagedPackageInPlace(const Staging& staging, PackageFile* package) {
  // The file the engine wrote: a regular file of ours with one name, in a
  // directory that only this account can write.
  int fd = OsOpenAt(staging.directory, kStagedName, O_RDWR | O_NOFOLLOW | O_NONBLOCK, 0);
  struct stat written;
  bool ready = fd >= 0 && OsFstat(fd, &written) == 0 && S_ISREG(written.st_mode) &&
               written.st_nlink == 1 && written.st_uid == geteuid() &&
               OsLockFile(fd, true) == 0 &&
               KeepFileAttributes(package->fd, fd) &&
               OsFsync(fd) == 0 && OsFstat(fd, &written) == 0 &&
               // The last look before the rename: a change that anything
               // else made to the package since it was opened is kept.
               PackageUnchanged(*package) &&
               OsRenameAt(staging.directory, kStagedName, package->directory,
                          package->name.c_str()) == 0;
  if (!ready) {
    if (fd >= 0)
      OsClose(fd);
    DiscardStagedPackage(staging);
    return false;
  }
  // The new package is in place, and locked as the old one was.
  OsClose(package->fd);
  package->fd = fd;
  package->opened = written;
  // The rename is only durable once the directory that holds it is flushed.
  return OsFsync(package->directory) == 0;
}

void RemoveStaging(int package_directory, Staging* staging) {
  if (staging->directory >= 0) {
    EmptyAndRemove(package_directory, staging->name, staging->directory, staging->status);
    OsClose(staging->directory);
  }
  if (staging->owner_lock >= 0)
    OsClose(staging->owner_lock);
  staging->directory = -1;
  staging->owner_lock = -1;
}
