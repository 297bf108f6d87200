#include "installer/standin_host.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>

#include "installer/installer.h"
#include "installer/standin_codes.h"
#include "installer/standin_database.h"
#include "installer/standin_engine.h"
#include "installer/standin_os.h"
#include "installer/standin_staging.h"

namespace {

// A call that takes longer is taken for an engine that will never answer.
const int kDefaultReplyTimeoutMs = 120 * 1000;
const uint32_t kLongestText = 64 * 1024;

enum HostOperation : uint32_t {
  kOpenDatabase,
  kOpenView,
  kViewExecute,
  kViewFetch,
  kDatabaseCommit,
  kCloseHandle,
};

struct Request {
  uint32_t operation;
  uint32_t handle;
  uint32_t argument;     // Persist mode, or parameter record.
  uint32_t text_length;  // Path or query, sent after the request.
};

struct Reply {
  uint32_t result;
  uint32_t handle;  // The handle opened, if any.
};

bool g_host_enabled = true;
int g_reply_timeout_ms = kDefaultReplyTimeoutMs;
pid_t g_host = 0;
pid_t g_host_parent = 0;  // The process that started the host.
int g_host_socket = -1;
// The packages the running host has opened: a host that goes down may leave
// staging beside them.
std::set<std::string> g_host_packages;

// This process's handles, each naming a handle of the engine where it was
// opened: the host's, or (with the host disabled) this process's own. A host
// handle becomes 0 once the host that held it is gone.
struct ClientHandle {
  MSIHANDLE host_handle;
  bool local;
};
std::map<MSIHANDLE, ClientHandle> g_handles;
MSIHANDLE g_last_handle = 0;

bool SendAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR)
      continue;
    if (sent <= 0)
      return false;
    bytes += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

// Reads |size| bytes, waiting at most |timeout_ms| for each part (-1: for
// ever). False on end of stream, error or time-out.
bool ReceiveAll(int fd, void* data, size_t size, int timeout_ms) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    struct pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, timeout_ms);
    if (polled < 0 && errno == EINTR)
      continue;
    if (polled <= 0)
      return false;
    ssize_t got = recv(fd, bytes, size, 0);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Runs |request| on this process's engine, with |text| as its path or query.
Reply RunHere(const Request& request, const char* text) {
  Reply reply = {kErrorInvalidParameter, 0};
  switch (request.operation) {
    case kOpenDatabase:
      reply.result = LocalOpenDatabase(
          text, reinterpret_cast<LPCSTR>(uintptr_t{request.argument}), &reply.handle);
      break;
    case kOpenView:
      reply.result = LocalOpenView(request.handle, text, &reply.handle);
      break;
    case kViewExecute:
      reply.result = LocalViewExecute(request.handle, request.argument);
      break;
    case kViewFetch:
      reply.result = LocalViewFetch(request.handle, &reply.handle);
      break;
    case kDatabaseCommit:
      reply.result = LocalDatabaseCommit(request.handle);
      break;
    case kCloseHandle:
      reply.result = LocalCloseHandle(request.handle);
      break;
  }
  return reply;
}

// The host's side: answers requests until this process hangs up, then
// closes what is still open and ends.
[[noreturn]] void ServeRequests(int fd) {
  Request request;
  std::string text;
  while (ReceiveAll(fd, &request, sizeof request, -1) &&
         request.text_length <= kLongestText) {
    text.assign(request.text_length, '\0');
    if (!ReceiveAll(fd, &text[0], text.size(), -1))
      break;
    Reply reply = RunHere(request, text.c_str());
    if (!SendAll(fd, &reply, sizeof reply))
      break;
  }
  LocalCloseAll();
  _exit(0);  // Not exit(): nothing of the parent's may be flushed twice.
}

// Hangs up on the host and waits for it to close what it held and end; one
// that does not end within |timeout_ms| is killed.
void StopHost(int timeout_ms) {
  if (g_host == 0)
    return;
  // A process forked from the host's parent only lets go of its copy of the
  // socket: the host is not its to end.
  if (getpid() != g_host_parent) {
    close(g_host_socket);
    g_host_socket = -1;
    g_host = 0;
    g_host_packages.clear();
    return;
  }
  // The host's end of the socket closes as it exits: waiting for that wakes
  // us the moment it is done, where polling for its exit would lag.
  shutdown(g_host_socket, SHUT_WR);
  struct pollfd hung_up = {g_host_socket, POLLIN, 0};
  bool host_ended = poll(&hung_up, 1, timeout_ms) > 0;
  close(g_host_socket);
  g_host_socket = -1;
  int status = 0;
  OsWaitWithTimeout(g_host, host_ended ? timeout_ms : 0, &status);
  g_host = 0;
  g_host_packages.clear();
}

void StopHostAtExit() {
  StopHost(g_reply_timeout_ms);
}

bool StartHost() {
  // Whatever this process has written but not flushed must not reach the
  // console a second time from the host's copy of it.
  fflush(nullptr);
  // Set up the engine's types once, here, rather than in every host.
  PrepareEngine();
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
    return false;
  pid_t parent = getpid();
  pid_t child = OsFork();
  if (child < 0) {
    close(sockets[0]);
    close(sockets[1]);
    return false;
  }
  if (child == 0) {
    // The host dies with this process, even while the engine is busy and
    // would never see the socket close.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
      _exit(0);
    // An engine crash ends the host by its signal, quietly, whatever
    // handlers this process had: the parent reports the failure.
    for (int signal_number : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
      signal(signal_number, SIG_DFL);
    close(sockets[0]);
    ServeRequests(sockets[1]);
  }
  close(sockets[1]);
  g_host = child;
  g_host_parent = parent;
  g_host_socket = sockets[0];
  static bool stopped_at_exit = false;
  if (!stopped_at_exit) {
    atexit(StopHostAtExit);
    stopped_at_exit = true;
  }
  return true;
}

// The handles of a host that is gone can only be closed.
void ForgetHostHandles() {
  for (auto& entry : g_handles) {
    if (!entry.second.local)
      entry.second.host_handle = 0;
  }
}

void LoseHost() {
  std::set<std::string> packages = g_host_packages;
  StopHost(0);
  // The host is gone for good now, so its staging is stale.
  for (const std::string& package : packages)
    RemoveStaleStagingBeside(package.c_str());
  ForgetHostHandles();
}

// Sends one request to the host and waits for its reply. Returns false when
// the host could not be started or went down: its handles are then lost.
bool CallHost(const Request& request, const char* text, Reply* reply) {
  if (g_host == 0 && !StartHost())
    return false;
  if (!SendAll(g_host_socket, &request, sizeof request) ||
      !SendAll(g_host_socket, text, request.text_length) ||
      !ReceiveAll(g_host_socket, reply, sizeof *reply, g_reply_timeout_ms)) {
    LoseHost();
    return false;
  }
  return true;
}

MSIHANDLE NewHandle(MSIHANDLE host_handle, bool local) {
  do {
    ++g_last_handle;
  } while (g_last_handle == 0 || g_handles.count(g_last_handle) != 0);
  g_handles[g_last_handle] = {host_handle, local};
  return g_last_handle;
}

// Runs |operation| on |handle| (and |argument_handle|, when not 0) where
// the handle lives, with |text|. Returns the result code; a handle the
// operation opened is made this process's in |opened|.
UINT Forward(HostOperation operation, MSIHANDLE handle, MSIHANDLE argument_handle,
             const char* text, MSIHANDLE* opened) {
  if (opened != nullptr)
    *opened = 0;
  ClientHandle target = {0, !g_host_enabled};
  if (operation != kOpenDatabase) {
    auto found = g_handles.find(handle);
    if (found == g_handles.end())
      return kErrorInvalidHandle;
    target = found->second;
    if (target.host_handle == 0)
      return kErrorInvalidHandle;  // Its host went down.
  }
  uint32_t argument = static_cast<uint32_t>(argument_handle);
  if (operation == kViewExecute && argument_handle != 0) {
    auto parameters = g_handles.find(argument_handle);
    if (parameters == g_handles.end() || parameters->second.host_handle == 0 ||
        parameters->second.local != target.local)
      return kErrorInvalidHandle;
    argument = parameters->second.host_handle;
  }

  Request request = {operation, target.host_handle, argument, 0};
  Reply reply = {0, 0};
  if (target.local) {
    reply = RunHere(request, text);
  } else {
    size_t length = text != nullptr ? strlen(text) : 0;
    if (length > kLongestText)
      return kErrorInvalidParameter;
    request.text_length = static_cast<uint32_t>(length);
    if (operation == kOpenDatabase)
      g_host_packages.insert(text);
    if (!CallHost(request, text, &reply))
      return operation == kOpenDatabase ? kErrorOpenFailed : kErrorFunctionFailed;
  }
  if (reply.result == ERROR_SUCCESS && opened != nullptr && reply.handle != 0)
    *opened = NewHandle(reply.handle, target.local);
  return reply.result;
}

}  // namespace

void SetEngineHostEnabled(bool enabled) {
  g_host_enabled = enabled;
}

void StopEngineHost() {
  StopHost(g_reply_timeout_ms);
  ForgetHostHandles();
}

void SetEngineHostReplyTimeout(int timeout_ms) {
  g_reply_timeout_ms = timeout_ms > 0 ? timeout_ms : kDefaultReplyTimeoutMs;
}

UINT MsiOpenDatabaseA(LPCSTR path, LPCSTR persist, MSIHANDLE* database) {
  if (path == nullptr || database == nullptr)
    return kErrorInvalidParameter;
  uintptr_t mode = reinterpret_cast<uintptr_t>(persist);
  if (persist != MSIDBOPEN_READONLY && persist != MSIDBOPEN_TRANSACT)
    return kErrorInvalidParameter;  // Only these two modes are supported.
  return Forward(kOpenDatabase, 0, static_cast<MSIHANDLE>(mode), path, database);
}

UINT MsiDatabaseOpenViewA(MSIHANDLE database, LPCSTR query, MSIHANDLE* view) {
  if (query == nullptr || view == nullptr)
    return g_handles.count(database) != 0 ? kErrorInvalidParameter : kErrorInvalidHandle;
  return Forward(kOpenView, database, 0, query, view);
}

UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  return Forward(kViewExecute, view, parameters, nullptr, nullptr);
}

UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  if (record == nullptr)
    return g_handles.count(view) != 0 ? kErrorInvalidParameter : kErrorInvalidHandle;
  return Forward(kViewFetch, view, 0, nullptr, record);
}

UINT MsiDatabaseCommit(MSIHANDLE database) {
  return Forward(kDatabaseCommit, database, 0, nullptr, nullptr);
}

UINT MsiCloseHandle(MSIHANDLE handle) {
  if (handle == 0)
    return ERROR_SUCCESS;  // No handle: nothing to release.
  auto found = g_handles.find(handle);
  if (found == g_handles.end())
    return kErrorInvalidHandle;
  UINT result = ERROR_SUCCESS;
  if (found->second.host_handle != 0)
    result = Forward(kCloseHandle, handle, 0, nullptr, nullptr);
  g_handles.erase(handle);  // Released whatever the host said.
  return result;
}
