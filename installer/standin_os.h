// The stand-in installer's only door to the platform: every file system call
// it makes and every engine call that touches a file goes through here, so
// that tests can make any one of them fail, see the order they came in, or
// make one of them never return.
//
// Each call behaves as the system call or engine call it names: on failure
// it returns -1 (or false, or null) and sets errno; an injected failure does
// the same without touching anything.
#ifndef TAMLO_INSTALLER_STANDIN_OS_H_
#define TAMLO_INSTALLER_STANDIN_OS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include <libmsi.h>

// Every descriptor is opened close-on-exec.
int OsOpen(const char* path, int flags, mode_t mode);
int OsOpenAt(int directory, const char* name, int flags, mode_t mode);
ssize_t OsRead(int fd, void* buffer, size_t size);
int OsFstat(int fd, struct stat* status);
int OsFstatAt(int directory, const char* name, struct stat* status, int flags);
int OsFsync(int fd);
// flock(2) with |operation| | LOCK_NB: 0 when this process now holds the
// lock, -1 with EWOULDBLOCK when another holds it.
int OsLock(int fd, int operation);
// An open file description lock on the whole file (fcntl F_OFD_SETLK): a
// read lock, or a write lock when |exclusive|, which needs |fd| open for
// writing. 0 when it is held now, -1 with EAGAIN when another conflicts.
int OsLockFile(int fd, bool exclusive);
int OsFchown(int fd, uid_t owner, gid_t group);
int OsFchmod(int fd, mode_t mode);
int OsClose(int fd);
int OsMkdirAt(int directory, const char* name, mode_t mode);
// renameat2(2) with RENAME_NOREPLACE: never replaces what |to| names.
int OsRenameAtNoReplace(int from_directory, const char* from, int to_directory,
                        const char* to);
// renameat(2): replaces what |to| names.
int OsRenameAt(int from_directory, const char* from, int to_directory, const char* to);
int OsUnlinkAt(int directory, const char* name, int flags);
// readlinkat(2) of the link open (O_PATH | O_NOFOLLOW) at |link|: its
// target, whole, in |target|.
int OsReadLinkAt(int link, std::string* target);
// Fills |names| with the entries of the directory open at |directory|, "."
// and ".." left out. |directory| stays open and is not moved.
int OsListDirectoryAt(int directory, std::vector<std::string>* names);

// The extended attributes (ACLs among them) of an open file. The list is
// the names; a value is read whole.
int OsListXattrs(int fd, std::vector<std::string>* names);
int OsGetXattr(int fd, const char* name, std::string* value);
int OsSetXattr(int fd, const char* name, const std::string& value);
int OsRemoveXattr(int fd, const char* name);

// fork(2): the child's id to the parent, 0 to the child, -1 on failure.
pid_t OsFork();
// Waits for |pid| to end for at most |timeout_ms|, then kills it. Returns 0
// and its wait status in |status|, or -1 when the wait itself failed.
int OsWaitWithTimeout(pid_t pid, int timeout_ms, int* status);
// Returns 0 when a process |pid| lives, -1 with errno (ESRCH: gone, or only
// a zombie) else.
int OsProcessExists(pid_t pid);

// The engine's own calls that read or write a package file. Each returns
// null (or false) on failure, with |error| set when the engine said why; an
// injected failure sets |error| as the engine would.
LibmsiDatabase* OsEngineOpen(const char* path, guint flags,
                             const char* persist, GError** error);
bool OsEngineCommit(LibmsiDatabase* database, GError** error);
LibmsiRecord* OsEngineFetch(LibmsiQuery* query, GError** error);

// Fault injection, for tests. Counting from the next call, the |nth| call
// (1 for the next one) fails with |error_number|; with |persistent| every
// call after it fails too. Clearing also resets the count and the log.
void OsFailCall(int nth, int error_number, bool persistent);
// The next call named |call| never returns (until the process is killed):
// an engine or a file that hangs. A process forked after this inherits it.
void OsStallCall(const char* call);
// Runs |action| just before the |occurrence|th call named |call| (1 for the
// next one) is made: what another process or account might do at that very
// moment.
void OsBeforeCall(const char* call, int occurrence, std::function<void()> action);
void OsClearFaults();
// How many calls went through since the last OsClearFaults().
int OsCallCount();
// The names of the calls made since then ("open", "fsync", "renameat",
// "engine-commit", ...), in order.
std::vector<std::string> OsCallLog();
// The calls made to fail since then, by name, in order.
std::vector<std::string> OsFailedCalls();

#endif  // TAMLO_INSTALLER_STANDIN_OS_H_
