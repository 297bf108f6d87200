#include "installer/standin_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int g_calls = 0;
int g_fail_at = 0;  // 0: no fault armed.
int g_fail_errno = 0;
bool g_fail_persistent = false;
std::vector<std::string> g_failed_calls;

// Counts the call and says whether it is to fail; sets errno when it is.
bool InjectedFailure(const char* call) {
  ++g_calls;
  if (g_fail_at == 0)
    return false;
  if (g_calls == g_fail_at || (g_fail_persistent && g_calls > g_fail_at)) {
    g_failed_calls.push_back(call);
    errno = g_fail_errno;
    return true;
  }
  return false;
}

}  // namespace

int OsOpen(const char* path, int flags, mode_t mode) {
  if (InjectedFailure("open"))
    return -1;
  return open(path, flags | O_CLOEXEC, mode);
}

ssize_t OsRead(int fd, void* buffer, size_t size) {
  if (InjectedFailure("read"))
    return -1;
  return read(fd, buffer, size);
}

int OsFstat(int fd, struct stat* status) {
  if (InjectedFailure("fstat"))
    return -1;
  return fstat(fd, status);
}

int OsFsync(int fd) {
  if (InjectedFailure("fsync"))
    return -1;
  return fsync(fd);
}

int OsTryLock(int fd) {
  if (InjectedFailure("lock"))
    return -1;
  return flock(fd, LOCK_EX | LOCK_NB);
}

int OsFchmod(int fd, mode_t mode) {
  if (InjectedFailure("fchmod"))
    return -1;
  return fchmod(fd, mode);
}

int OsClose(int fd) {
  if (InjectedFailure("close")) {
    close(fd);  // The descriptor is released all the same, as close(2) does.
    return -1;
  }
  return close(fd);
}

int OsRename(const char* from, const char* to) {
  if (InjectedFailure("rename"))
    return -1;
  return rename(from, to);
}

int OsUnlink(const char* path) {
  if (InjectedFailure("unlink"))
    return -1;
  return unlink(path);
}

int OsMkdir(const char* path, mode_t mode) {
  if (InjectedFailure("mkdir"))
    return -1;
  return mkdir(path, mode);
}

int OsRmdir(const char* path) {
  if (InjectedFailure("rmdir"))
    return -1;
  return rmdir(path);
}

pid_t OsFork() {
  if (InjectedFailure("fork"))
    return -1;
  return fork();
}

int OsWaitWithTimeout(pid_t pid, int timeout_ms, int* status) {
  if (InjectedFailure("wait")) {
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return -1;
  }
  // Short naps at first: most waits are over within a few milliseconds.
  long waited_us = 0;
  for (long nap_us = 50;; nap_us = nap_us < 10000 ? nap_us * 2 : nap_us) {
    pid_t ended = waitpid(pid, status, WNOHANG);
    if (ended == pid)
      return 0;
    if (ended < 0 && errno != EINTR)
      return -1;
    if (waited_us >= static_cast<long>(timeout_ms) * 1000) {
      kill(pid, SIGKILL);
      return waitpid(pid, status, 0) == pid ? 0 : -1;
    }
    usleep(static_cast<useconds_t>(nap_us));
    waited_us += nap_us;
  }
}

int OsProcessExists(pid_t pid) {
  if (InjectedFailure("kill"))
    return -1;
  if (kill(pid, 0) != 0)
    return -1;
  // A zombie has ended all but its entry in the process table, which
  // nothing may reap where the parent died before it.
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* stat_file = fopen(path, "re");
  if (stat_file == nullptr)
    return 0;  // No /proc to ask: take it as living.
  char state = '\0';
  int scanned = fscanf(stat_file, "%*d (%*[^)]) %c", &state);
  fclose(stat_file);
  if (scanned == 1 && state == 'Z') {
    errno = ESRCH;
    return -1;
  }
  return 0;
}

int OsListDirectory(const char* directory, std::vector<std::string>* names) {
  if (InjectedFailure("list"))
    return -1;
  DIR* dir = opendir(directory);
  if (dir == nullptr)
    return -1;
  names->clear();
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names->push_back(entry->d_name);
  }
  closedir(dir);
  return 0;
}

LibmsiDatabase* OsEngineOpen(const char* path, guint flags,
                             const char* persist, GError** error) {
  if (InjectedFailure("engine-open"))
    return nullptr;
  return libmsi_database_new(path, flags, persist, error);
}

bool OsEngineCommit(LibmsiDatabase* database, GError** error) {
  if (InjectedFailure("engine-commit"))
    return false;
  return libmsi_database_commit(database, error);
}

void OsFailCall(int nth, int error_number, bool persistent) {
  g_calls = 0;
  g_failed_calls.clear();
  g_fail_at = nth;
  g_fail_errno = error_number;
  g_fail_persistent = persistent;
}

void OsClearFaults() {
  g_calls = 0;
  g_failed_calls.clear();
  g_fail_at = 0;
  g_fail_persistent = false;
}

int OsCallCount() {
  return g_calls;
}

std::vector<std::string> OsFailedCalls() {
  return g_failed_calls;
}
