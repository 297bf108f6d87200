#include "tests/fake_installer.h"

#include <stdio_ext.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

const char kUpgradeCode[] = "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}";
const char kSelect[] = "SELECT * FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";
const char kDelete[] = "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";

struct FakeState {
  std::map<FakeOperation, std::map<int, UINT>> results;
  std::map<FakeOperation, int> call_counts;
  std::string product_code = "{0D1C2B3A-4958-6776-8594-A3B2C1D0E9F8}";
  std::string package_path = "C:\\Windows\\Installer\\5e1f0.msi";
  std::vector<std::string> calls;
  std::vector<std::string> problems;
  MSIHANDLE last_handle = 0;
  std::vector<MSIHANDLE> open_handles;  // In order of acquisition.
};

FakeState g_fake;

UINT NextResult(FakeOperation operation, const char* call) {
  g_fake.calls.push_back(call);
  // A message still in the buffer would be lost if the call crashed or the
  // run were killed during it.
  if (__fpending(stdout) != 0)
    g_fake.problems.push_back(std::string(call) + " while output was still buffered");
  int n = g_fake.call_counts[operation]++;
  auto scripted = g_fake.results[operation].find(n);
  return scripted == g_fake.results[operation].end() ? ERROR_SUCCESS
                                                     : scripted->second;
}

MSIHANDLE HandOut() {
  g_fake.open_handles.push_back(++g_fake.last_handle);
  return g_fake.last_handle;
}

void CheckOpen(MSIHANDLE handle, const char* call) {
  for (MSIHANDLE open : g_fake.open_handles) {
    if (open == handle)
      return;
  }
  g_fake.problems.push_back(std::string(call) + " on handle " +
                            std::to_string(handle) + ", which is not open");
}

void Expect(bool condition, const std::string& problem) {
  if (!condition)
    g_fake.problems.push_back(problem);
}

}  // namespace

void FakeReset() {
  g_fake = FakeState();
}

void FakeSetResult(FakeOperation operation, int n, UINT result) {
  g_fake.results[operation][n] = result;
}

void FakeSetProductCode(const std::string& code) {
  g_fake.product_code = code;
}

void FakeSetPackagePath(const std::string& path) {
  g_fake.package_path = path;
}

std::vector<std::string> FakeCalls() {
  return g_fake.calls;
}

std::vector<std::string> FakeProblems() {
  std::vector<std::string> problems = g_fake.problems;
  for (MSIHANDLE handle : g_fake.open_handles)
    problems.push_back("handle " + std::to_string(handle) + " never closed");
  return problems;
}

UINT MsiEnumRelatedProductsA(LPCSTR upgrade_code, DWORD reserved,
                             DWORD product_index, LPSTR product_buffer) {
  UINT result = NextResult(kFakeEnumRelatedProducts, "enum");
  Expect(strcmp(upgrade_code, kUpgradeCode) == 0,
         std::string("enum asked for upgrade code ") + upgrade_code);
  Expect(reserved == 0 && product_index == 0, "enum not at index 0, reserved 0");
  if (result == ERROR_SUCCESS)
    memcpy(product_buffer, g_fake.product_code.c_str(), 39);
  return result;
}

UINT MsiGetProductInfoA(LPCSTR product, LPCSTR property, LPSTR value_buffer,
                        LPDWORD value_count) {
  UINT result = NextResult(kFakeGetProductInfo, "info");
  Expect(product == g_fake.product_code,
         std::string("info asked about product ") + product);
  Expect(strcmp(property, "LocalPackage") == 0,
         std::string("info asked for ") + property);
  Expect(*value_count == 4096, "info given a count of " +
                                   std::to_string(*value_count));
  if (result == ERROR_SUCCESS)
    strcpy(value_buffer, g_fake.package_path.c_str());
  return result;
}

UINT MsiOpenDatabaseA(LPCSTR path, LPCSTR persist, MSIHANDLE* database) {
  const bool transacted = persist == MSIDBOPEN_TRANSACT;
  Expect(transacted || persist == MSIDBOPEN_READONLY, "open in another mode");
  UINT result = NextResult(kFakeOpenDatabase, transacted ? "open-tx" : "open-ro");
  Expect(path == g_fake.package_path, std::string("opened ") + path);
  *database = result == ERROR_SUCCESS ? HandOut() : 0;
  return result;
}

UINT MsiDatabaseOpenViewA(MSIHANDLE database, LPCSTR query, MSIHANDLE* view) {
  const char* call = strcmp(query, kSelect) == 0   ? "view-select"
                     : strcmp(query, kDelete) == 0 ? "view-delete"
                                                   : "view-other";
  UINT result = NextResult(kFakeOpenView, call);
  CheckOpen(database, call);
  *view = result == ERROR_SUCCESS ? HandOut() : 0;
  return result;
}

UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  UINT result = NextResult(kFakeViewExecute, "exec");
  CheckOpen(view, "exec");
  Expect(parameters == 0, "exec with a parameter record");
  return result;
}

UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  UINT result = NextResult(kFakeViewFetch, "fetch");
  CheckOpen(view, "fetch");
  *record = result == ERROR_SUCCESS ? HandOut() : 0;
  return result;
}

UINT MsiDatabaseCommit(MSIHANDLE database) {
  UINT result = NextResult(kFakeDatabaseCommit, "commit");
  CheckOpen(database, "commit");
  return result;
}

UINT MsiCloseHandle(MSIHANDLE handle) {
  UINT result = NextResult(kFakeCloseHandle, "close");
  std::vector<MSIHANDLE>& open = g_fake.open_handles;
  if (open.empty() || open.back() != handle) {
    CheckOpen(handle, "close");
    if (!open.empty())
      g_fake.problems.push_back("closed handle " + std::to_string(handle) +
                                " before handle " + std::to_string(open.back()));
  }
  for (auto it = open.begin(); it != open.end(); ++it) {
    if (*it == handle) {
      open.erase(it);
      break;
    }
  }
  return result;
}
