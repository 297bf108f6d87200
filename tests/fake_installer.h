// A scripted installer, linked in place of the real one behind
// installer/installer.h. Each operation answers what the test told it to,
// call by call; every call is recorded; and the handles it hands out are
// checked for being closed exactly once, in reverse order of acquisition.
#ifndef TAMLO_TESTS_FAKE_INSTALLER_H_
#define TAMLO_TESTS_FAKE_INSTALLER_H_

#include <string>
#include <vector>

#include "installer/installer.h"

enum FakeOperation {
  kFakeEnumRelatedProducts,
  kFakeGetProductInfo,
  kFakeOpenDatabase,
  kFakeOpenView,
  kFakeViewExecute,
  kFakeViewFetch,
  kFakeDatabaseCommit,
  kFakeCloseHandle,
};

// Forgets all calls, handles and scripted results.
void FakeReset();

// The |n|th call (from 0) of |operation| returns |result|; calls without a
// scripted result return ERROR_SUCCESS.
void FakeSetResult(FakeOperation operation, int n, UINT result);

// What the successful lookups hand back.
void FakeSetProductCode(const std::string& code);
void FakeSetPackagePath(const std::string& path);

// The calls made so far, one word each, in order:
//   enum, info, open-ro, open-tx, view-select, view-delete, view-other,
//   exec, fetch, commit, close.
std::vector<std::string> FakeCalls();

// Everything the fake saw that the caller got wrong: bad arguments, a handle
// used after its close or never handed out, a close out of order, a call
// made while standard output held unwritten text, and (once the run is
// over) a handle never closed. Empty when all was well.
std::vector<std::string> FakeProblems();

#endif  // TAMLO_TESTS_FAKE_INSTALLER_H_
