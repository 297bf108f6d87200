#include "installer/standin_staging.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "installer/standin_os.h"

namespace {

// Staging directories are named kStagingPrefix, the owner's process id, a
// dash and a sequence number.
const char kStagingPrefix[] = ".msi-standin-";
const char kStagedName[] = "package.msi";
const char kOwnerLockName[] = "owner.lock";
// The engine writes a scratch file named after the staged package with this
// added, into a buffer of PATH_MAX; a longer name overruns it and aborts.
const size_t kEngineScratchSuffix = 4;  // ".tmp"

void RemoveDirectoryAndFiles(const std::string& directory) {
  std::vector<std::string> names;
  if (OsListDirectory(directory.c_str(), &names) == 0) {
    // The lock file goes last: while anything else is left, it tells
    // whether the owner lives.
    for (const std::string& name : names) {
      if (name != kOwnerLockName)
        OsUnlink((directory + "/" + name).c_str());
    }
    OsUnlink((directory + "/" + kOwnerLockName).c_str());
  }
  OsRmdir(directory.c_str());
}

// The process id in a staging directory's name, or 0 when |name| is not one.
// The lock tells whether the owner lives; the id only serves when the owner
// died before it could take the lock.
pid_t StagingOwner(const std::string& name) {
  const size_t prefix_length = sizeof kStagingPrefix - 1;
  if (name.compare(0, prefix_length, kStagingPrefix) != 0)
    return 0;
  const char* digits = name.c_str() + prefix_length;
  char* end = nullptr;
  long pid = strtol(digits, &end, 10);
  if (end == digits || *end != '-' || pid <= 0)
    return 0;
  return static_cast<pid_t>(pid);
}

bool SyncDirectory(const std::string& directory) {
  int fd = OsOpen(directory.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0)
    return false;
  bool synced = OsFsync(fd) == 0;
  if (OsClose(fd) != 0)
    synced = false;
  return synced;
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

void RemoveStaleStaging(const std::string& directory) {
  std::vector<std::string> names;
  if (OsListDirectory(directory.c_str(), &names) != 0)
    return;
  for (const std::string& name : names) {
    pid_t owner = StagingOwner(name);
    if (owner == 0)
      continue;
    std::string staging = directory + "/" + name;
    int lock = OsOpen((staging + "/" + kOwnerLockName).c_str(), O_RDWR, 0);
    if (lock >= 0) {
      if (OsTryLock(lock) == 0)
        RemoveDirectoryAndFiles(staging);  // Under the lock: no one else will.
      OsClose(lock);
    } else if (errno == ENOENT) {
      // No lock file: the owner was killed between making the directory and
      // the lock, or between removing the lock and the directory. Either way
      // the directory is empty, and an empty one can go at once; one with
      // files in it only once its owner is gone.
      if (OsRmdir(staging.c_str()) != 0 &&
          (owner == getpid() || (OsProcessExists(owner) != 0 && errno == ESRCH)))
        RemoveDirectoryAndFiles(staging);
    }
  }
}

bool CreateStaging(const std::string& package_path, Staging* staging) {
  int fd = OsOpen(package_path.c_str(), O_RDONLY, 0);
  if (fd < 0)
    return false;
  struct stat status;
  bool regular = OsFstat(fd, &status) == 0;
  int error = errno;
  OsClose(fd);
  if (!regular) {
    errno = error;
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    errno = EISDIR;
    return false;
  }

  static unsigned sequence = 0;
  staging->package_path = package_path;
  staging->package_mode = status.st_mode & 07777;
  std::string parent = DirectoryOf(package_path);
  const size_t longest_directory = parent.size() + sizeof kStagingPrefix + 32;
  if (longest_directory + sizeof kStagedName + kEngineScratchSuffix >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return false;
  }
  for (;;) {
    staging->directory = parent + "/" + kStagingPrefix +
                         std::to_string(getpid()) + "-" +
                         std::to_string(++sequence);
    if (OsMkdir(staging->directory.c_str(), 0700) == 0)
      break;
    if (errno != EEXIST)
      return false;
  }
  staging->staged_package = staging->directory + "/" + kStagedName;
  staging->owner_lock = OsOpen((staging->directory + "/" + kOwnerLockName).c_str(),
                               O_RDWR | O_CREAT | O_EXCL, 0600);
  if (staging->owner_lock < 0 || OsTryLock(staging->owner_lock) != 0) {
    int lock_error = errno;
    RemoveStaging(*staging);
    errno = lock_error;
    return false;
  }
  return true;
}

bool PutStagedPackageInPlace(const Staging& staging) {
  const char* staged = staging.staged_package.c_str();
  int fd = OsOpen(staged, O_RDONLY, 0);
  bool flushed = fd >= 0 && OsFchmod(fd, staging.package_mode) == 0 &&
                 OsFsync(fd) == 0;
  if (fd >= 0 && OsClose(fd) != 0)
    flushed = false;
  if (!flushed || OsRename(staged, staging.package_path.c_str()) != 0) {
    OsUnlink(staged);
    return false;
  }
  // The rename is only durable once the directory that holds it is flushed.
  return SyncDirectory(DirectoryOf(staging.package_path));
}

void RemoveStaging(const Staging& staging) {
  RemoveDirectoryAndFiles(staging.directory);
  if (staging.owner_lock >= 0)
    OsClose(staging.owner_lock);
}
