// The stand-in installer's only door to the platform: every file system call
// it makes and every engine call that touches a file goes through here, so
// that tests can make any one of them fail.
//
// Each call behaves as the system call or engine call it names: on failure
// it returns -1 (or false, or null) and sets errno; an injected failure does
// the same without touching anything.
#ifndef TAMLO_INSTALLER_STANDIN_OS_H_
#define TAMLO_INSTALLER_STANDIN_OS_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <libmsi.h>

int OsOpen(const char* path, int flags, mode_t mode);
ssize_t OsRead(int fd, void* buffer, size_t size);
int OsFstat(int fd, struct stat* status);
int OsFsync(int fd);
// flock(2) with LOCK_EX | LOCK_NB: 0 when this process now holds the lock.
int OsTryLock(int fd);
int OsFchmod(int fd, mode_t mode);
int OsClose(int fd);
int OsRename(const char* from, const char* to);
int OsUnlink(const char* path);
int OsMkdir(const char* path, mode_t mode);
int OsRmdir(const char* path);
// fork(2): the child's id to the parent, 0 to the child, -1 on failure.
pid_t OsFork();
// Waits for |pid| to end for at most |timeout_ms|, then kills it. Returns 0
// and its wait status in |status|, or -1 when the wait itself failed.
int OsWaitWithTimeout(pid_t pid, int timeout_ms, int* status);
// Returns 0 when a process |pid| lives, -1 with errno (ESRCH: gone, or only
// a zombie) else.
int OsProcessExists(pid_t pid);
// Fills |names| with the entries of |directory|, "." and ".." left out.
int OsListDirectory(const char* directory, std::vector<std::string>* names);

// The engine's own calls that open or write a package file. Both return null
// (or false) on failure, with |error| set when the engine said why.
LibmsiDatabase* OsEngineOpen(const char* path, guint flags,
                             const char* persist, GError** error);
bool OsEngineCommit(LibmsiDatabase* database, GError** error);

// Fault injection, for tests. Counting from the next call, the |nth| call
// (1 for the next one) fails with |error_number|; with |persistent| every
// call after it fails too. Clearing also resets the count.
void OsFailCall(int nth, int error_number, bool persistent);
void OsClearFaults();
// How many calls went through since the last OsClearFaults().
int OsCallCount();
// The calls made to fail since then, by name ("open", "fsync", "rename",
// "engine-commit", ...), in order.
std::vector<std::string> OsFailedCalls();

#endif  // TAMLO_INSTALLER_STANDIN_OS_H_
