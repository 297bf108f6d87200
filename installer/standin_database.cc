#include "installer/standin_database.h"

#include <map>
#include <string>
#include <vector>

#include "installer/standin_codes.h"
#include "installer/standin_engine.h"
#include "installer/standin_os.h"
#include "installer/standin_package.h"
#include "installer/standin_staging.h"

namespace {

enum HandleKind { kDatabaseHandle, kViewHandle, kRecordHandle };

// An open database. Its handle and every view opened on it hold it; it is
// released with the last of them, since the engine only writes its scratch
// files away once no view refers to the database any more.
struct OpenDatabase {
  LibmsiDatabase* engine = nullptr;
  bool transacted = false;
  PackageFile package;
  Staging staging;  // Transacted only.
  int holders = 1;
};

struct HandleEntry {
  HandleKind kind;
  OpenDatabase* database;  // Database and view handles.
  LibmsiQuery* query;      // View handles.
  LibmsiRecord* record;    // Record handles.
};

std::map<MSIHANDLE, HandleEntry> g_handles;
MSIHANDLE g_last_handle = 0;

MSIHANDLE NewHandle(const HandleEntry& entry) {
  do {
    ++g_last_handle;
  } while (g_last_handle == 0 || g_handles.count(g_last_handle) != 0);
  g_handles[g_last_handle] = entry;
  return g_last_handle;
}

// The entry of |handle| when it is open and of |kind|, else null.
HandleEntry* FindHandle(MSIHANDLE handle, HandleKind kind) {
  auto found = g_handles.find(handle);
  if (found == g_handles.end() || found->second.kind != kind)
    return nullptr;
  return &found->second;
}

void ReleaseDatabase(OpenDatabase* database) {
  if (--database->holders > 0)
    return;
  g_object_unref(database->engine);
  if (database->transacted)
    RemoveStaging(database->package.directory, &database->staging);
  ClosePackageFile(&database->package);
  delete database;
}

// Opens the package file, tidies what dead transacted runs left beside it
// (so that a run that finds nothing to do still tidies up) and, when
// |transacted|, makes the staging the engine is to write into. The engine
// itself then opens the very file that was checked, through its descriptor.
UINT OpenDatabaseFiles(const char* path, OpenDatabase* database) {
  UINT result = OpenPackageFile(path, database->transacted, &database->package);
  if (result != ERROR_SUCCESS)
    return result;
  RemoveStaleStaging(database->package.directory);
  std::string persist;
  if (database->transacted) {
    if (!CreateStaging(database->package.directory, &database->staging)) {
      ClosePackageFile(&database->package);
      return kErrorOpenFailed;
    }
    persist = StagedPackagePath(database->staging);
  }
  GError* error = nullptr;
  database->engine = OsEngineOpen(
      PathOfDescriptor(database->package.fd).c_str(),
      database->transacted ? LIBMSI_DB_FLAGS_TRANSACT : LIBMSI_DB_FLAGS_READONLY,
      database->transacted ? persist.c_str() : nullptr, &error);
  if (database->engine == nullptr) {
    if (database->transacted)
      RemoveStaging(database->package.directory, &database->staging);
    ClosePackageFile(&database->package);
    return CodeFromEngineError(error, kErrorOpenFailed);
  }
  return ERROR_SUCCESS;
}

}  // namespace

UINT LocalOpenDatabase(LPCSTR path, LPCSTR persist, MSIHANDLE* database) {
  if (path == nullptr || database == nullptr)
    return kErrorInvalidParameter;
  *database = 0;
  const bool transacted = persist == MSIDBOPEN_TRANSACT;
  if (persist != MSIDBOPEN_READONLY && !transacted)
    return kErrorInvalidParameter;  // The stand-in supports only these two.
  SilenceEngineLogs();

  OpenDatabase* opened = new OpenDatabase();
  opened->transacted = transacted;
  UINT result = OpenDatabaseFiles(path, opened);
  if (result != ERROR_SUCCESS) {
    delete opened;
    return result;
  }
  *database = NewHandle({kDatabaseHandle, opened, nullptr, nullptr});
  return ERROR_SUCCESS;
}

UINT LocalOpenView(MSIHANDLE database, LPCSTR query, MSIHANDLE* view) {
  HandleEntry* entry = FindHandle(database, kDatabaseHandle);
  if (entry == nullptr)
    return kErrorInvalidHandle;
  if (query == nullptr || view == nullptr)
    return kErrorInvalidParameter;
  *view = 0;
  GError* error = nullptr;
  LibmsiQuery* prepared =
      libmsi_query_new(entry->database->engine, query, &error);
  if (prepared == nullptr)
    return CodeFromEngineError(error, kErrorBadQuerySyntax);
  ++entry->database->holders;
  *view = NewHandle({kViewHandle, entry->database, prepared, nullptr});
  return ERROR_SUCCESS;
}

UINT LocalViewExecute(MSIHANDLE view, MSIHANDLE parameters) {
  HandleEntry* entry = FindHandle(view, kViewHandle);
  if (entry == nullptr)
    return kErrorInvalidHandle;
  LibmsiRecord* parameter_record = nullptr;
  if (parameters != 0) {
    HandleEntry* record = FindHandle(parameters, kRecordHandle);
    if (record == nullptr)
      return kErrorInvalidHandle;
    parameter_record = record->record;
  }
  GError* error = nullptr;
  if (!libmsi_query_execute(entry->query, parameter_record, &error))
    return CodeFromEngineError(error, kErrorFunctionFailed);
  return ERROR_SUCCESS;
}

UINT LocalViewFetch(MSIHANDLE view, MSIHANDLE* record) {
  HandleEntry* entry = FindHandle(view, kViewHandle);
  if (entry == nullptr)
    return kErrorInvalidHandle;
  if (record == nullptr)
    return kErrorInvalidParameter;
  *record = 0;
  GError* error = nullptr;
  LibmsiRecord* row = OsEngineFetch(entry->query, &error);
  if (row == nullptr) {
    // The engine ends the rows with no error at all.
    return error == nullptr ? ERROR_NO_MORE_ITEMS
                            : CodeFromEngineError(error, kErrorFunctionFailed);
  }
  *record = NewHandle({kRecordHandle, nullptr, nullptr, row});
  return ERROR_SUCCESS;
}

UINT LocalDatabaseCommit(MSIHANDLE database) {
  HandleEntry* entry = FindHandle(database, kDatabaseHandle);
  if (entry == nullptr)
    return kErrorInvalidHandle;
  OpenDatabase* open = entry->database;
  // As the installer does: a read-only database has no changes to store,
  // and committing it does nothing.
  if (!open->transacted)
    return ERROR_SUCCESS;
  GError* error = nullptr;
  if (!OsEngineCommit(open->engine, &error)) {
    DiscardStagedPackage(open->staging);
    return CodeFromEngineError(error, kErrorFunctionFailed);
  }
  if (!PutStagedPackageInPlace(open->staging, &open->package))
    return kErrorFunctionFailed;
  return ERROR_SUCCESS;
}

UINT LocalCloseHandle(MSIHANDLE handle) {
  if (handle == 0)
    return ERROR_SUCCESS;  // No handle: nothing to release.
  auto found = g_handles.find(handle);
  if (found == g_handles.end())
    return kErrorInvalidHandle;
  HandleEntry entry = found->second;
  g_handles.erase(found);
  switch (entry.kind) {
    case kRecordHandle:
      g_object_unref(entry.record);
      break;
    case kViewHandle:
      g_object_unref(entry.query);
      ReleaseDatabase(entry.database);
      break;
    case kDatabaseHandle:
      ReleaseDatabase(entry.database);
      break;
  }
  return ERROR_SUCCESS;
}

void LocalCloseAll() {
  // Views before the databases they hold, records in any order.
  for (HandleKind kind : {kRecordHandle, kViewHandle, kDatabaseHandle}) {
    std::vector<MSIHANDLE> open;
    for (const auto& entry : g_handles) {
      if (entry.second.kind == kind)
        open.push_back(entry.first);
    }
    for (MSIHANDLE handle : open)
      LocalCloseHandle(handle);
  }
}
