#include "installer/standin_os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

int g_calls = 0;
int g_fail_at = 0;  // 0: no fault armed.
int g_fail_errno = 0;
bool g_fail_persistent = false;
std::string g_stall_call;  // Empty: none armed.
std::string g_before_call;
int g_before_occurrence = 0;
std::function<void()> g_before_action;
std::vector<std::string> g_call_log;
std::vector<std::string> g_failed_calls;

// Logs and counts the call and says whether it is to fail; sets errno when
// it is. A call armed to stall never comes back.
bool InjectedFailure(const char* call) {
  ++g_calls;
  g_call_log.push_back(call);
  if (!g_stall_call.empty() && g_stall_call == call) {
    for (;;)
      pause();
  }
  if (g_before_action && g_before_call == call && --g_before_occurrence == 0) {
    std::function<void()> action = std::move(g_before_action);
    g_before_action = nullptr;
    action();
  }
  if (g_fail_at == 0)
    return false;
  if (g_calls == g_fail_at || (g_fail_persistent && g_calls > g_fail_at)) {
    g_failed_calls.push_back(call);
    errno = g_fail_errno;
    return true;
  }
  return false;
}

// What the engine says when a call fails for a reason of the platform's.
void SetEngineFailure(GError** error) {
  g_set_error_literal(error, LIBMSI_RESULT_ERROR, LIBMSI_RESULT_FUNCTION_FAILED,
                      strerror(errno));
}

}  // namespace

int OsOpen(const char* path, int flags, mode_t mode) {
  if (InjectedFailure("open"))
    return -1;
  return open(path, flags | O_CLOEXEC, mode);
}

int OsOpenAt(int directory, const char* name, int flags, mode_t mode) {
  if (InjectedFailure("openat"))
    return -1;
  return openat(directory, name, flags | O_CLOEXEC, mode);
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

int OsFstatAt(int directory, const char* name, struct stat* status, int flags) {
  if (InjectedFailure("fstatat"))
    return -1;
  return fstatat(directory, name, status, flags);
}

int OsFsync(int fd) {
  if (InjectedFailure("fsync"))
    return -1;
  return fsync(fd);
}

int OsLock(int fd, int operation) {
  if (InjectedFailure("lock"))
    return -1;
  return flock(fd, operation | LOCK_NB);
}

int OsLockFile(int fd, bool exclusive) {
  if (InjectedFailure("lock-file"))
    return -1;
  struct flock lock = {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;  // From the start, to the end of the file.
  return fcntl(fd, F_OFD_SETLK, &lock);
}

int OsFchown(int fd, uid_t owner, gid_t group) {
  if (InjectedFailure("fchown"))
    return -1;
  return fchown(fd, owner, group);
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

int OsMkdirAt(int directory, const char* name, mode_t mode) {
  if (InjectedFailure("mkdirat"))
    return -1;
  return mkdirat(directory, name, mode);
}

int OsRenameAtNoReplace(int from_directory, const char* from, int to_directory,
                        const char* to) {
  if (InjectedFailure("renameat-noreplace"))
    return -1;
  return renameat2(from_directory, from, to_directory, to, RENAME_NOREPLACE);
}

int OsRenameAt(int from_directory, const char* from, int to_directory, const char* to) {
  if (InjectedFailure("renameat"))
    return -1;
  return renameat(from_directory, from, to_directory, to);
}

int OsUnlinkAt(int directory, const char* name, int flags) {
  if (InjectedFailure("unlinkat"))
    return -1;
  return unlinkat(directory, name, flags);
}

int OsReadLinkAt(int link, std::string* target) {
  if (InjectedFailure("readlinkat"))
    return -1;
  for (size_t size = 256;; size *= 2) {
    target->assign(size, '\0');
    ssize_t got = readlinkat(link, "", &(*target)[0], size);
    if (got < 0)
      return -1;
    if (static_cast<size_t>(got) < size) {
      target->resize(static_cast<size_t>(got));
      return 0;
    }
  }
}

int OsListDirectoryAt(int directory, std::vector<std::string>* names) {
  if (InjectedFailure("list"))
    return -1;
  // A descriptor of its own, so that reading moves no one else's offset.
  int own = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0)
    return -1;
  DIR* dir = fdopendir(own);
  if (dir == nullptr) {
    close(own);
    return -1;
  }
  names->clear();
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names->push_back(entry->d_name);
  }
  closedir(dir);
  return 0;
}

int OsListXattrs(int fd, std::vector<std::string>* names) {
  if (InjectedFailure("xattr-list"))
    return -1;
  names->clear();
  for (;;) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size <= 0)
      return static_cast<int>(size);
    std::string list(static_cast<size_t>(size), '\0');
    ssize_t got = flistxattr(fd, &list[0], list.size());
    if (got < 0 && errno == ERANGE)
      continue;  // Grew in between: ask again.
    if (got < 0)
      return -1;
    for (size_t start = 0; start < static_cast<size_t>(got);) {
      size_t end = list.find('\0', start);
      if (end == std::string::npos)
        end = static_cast<size_t>(got);
      names->push_back(list.substr(start, end - start));
      start = end + 1;
    }
    return 0;
  }
}

int OsGetXattr(int fd, const char* name, std::string* value) {
  if (InjectedFailure("xattr-get"))
    return -1;
  for (;;) {
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0)
      return -1;
    value->assign(static_cast<size_t>(size), '\0');
    ssize_t got = fgetxattr(fd, name, size > 0 ? &(*value)[0] : nullptr, value->size());
    if (got < 0 && errno == ERANGE)
      continue;
    if (got < 0)
      return -1;
    value->resize(static_cast<size_t>(got));
    return 0;
  }
}

int OsSetXattr(int fd, const char* name, const std::string& value) {
  if (InjectedFailure("xattr-set"))
    return -1;
  return fsetxattr(fd, name, value.data(), value.size(), 0);
}

int OsRemoveXattr(int fd, const char* name) {
  if (InjectedFailure("xattr-remove"))
    return -1;
  return fremovexattr(fd, name);
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
  // The state follows the name, which is in parentheses and may hold any
  // character, ")" too: it is after the last ")".
  char line[512] = {};
  size_t got = fread(line, 1, sizeof line - 1, stat_file);
  fclose(stat_file);
  const char* name_end = strrchr(line, ')');
  char state = name_end != nullptr && name_end + 2 < line + got ? name_end[2] : '\0';
  if (state == 'Z') {
    errno = ESRCH;
    return -1;
  }
  return 0;
}

LibmsiDatabase* OsEngineOpen(const char* path, guint flags,
                             const char* persist, GError** error) {
  if (InjectedFailure("engine-open")) {
    SetEngineFailure(error);
    return nullptr;
  }
  return libmsi_database_new(path, flags, persist, error);
}

bool OsEngineCommit(LibmsiDatabase* database, GError** error) {
  if (InjectedFailure("engine-commit")) {
    SetEngineFailure(error);
    return false;
  }
  return libmsi_database_commit(database, error);
}

LibmsiRecord* OsEngineFetch(LibmsiQuery* query, GError** error) {
  if (InjectedFailure("engine-fetch")) {
    SetEngineFailure(error);
    return nullptr;
  }
  return libmsi_query_fetch(query, error);
}

void OsFailCall(int nth, int error_number, bool persistent) {
  OsClearFaults();
  g_fail_at = nth;
  g_fail_errno = error_number;
  g_fail_persistent = persistent;
}

void OsStallCall(const char* call) {
  g_stall_call = call;
}

void OsBeforeCall(const char* call, int occurrence, std::function<void()> action) {
  g_before_call = call;
  g_before_occurrence = occurrence;
  g_before_action = std::move(action);
}

void OsClearFaults() {
  g_before_action = nullptr;
  g_calls = 0;
  g_call_log.clear();
  g_failed_calls.clear();
  g_fail_at = 0;
  g_fail_persistent = false;
  g_stall_call.clear();
}

int OsCallCount() {
  return g_calls;
}

std::vector<std::string> OsCallLog() {
  return g_call_log;
}

std::vector<std::string> OsFailedCalls() {
  return g_failed_calls;
}
