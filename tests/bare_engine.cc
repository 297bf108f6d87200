// The floor for the repair's cost: the same two opens, queries and commit,
// made straight on the engine with nothing around them.
//   bare_engine PACKAGE
#include <stdio.h>

#include <libmsi.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s PACKAGE\n", argv[0]);
    return 2;
  }
  LibmsiDatabase* database =
      libmsi_database_new(argv[1], LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
  if (database == nullptr)
    return 1;
  LibmsiQuery* query = libmsi_query_new(
      database, "SELECT * FROM `RemoveFile` WHERE `FileKey`='TmpFiles'", nullptr);
  libmsi_query_execute(query, nullptr, nullptr);
  LibmsiRecord* record = libmsi_query_fetch(query, nullptr);
  bool found = record != nullptr;
  if (record != nullptr)
    g_object_unref(record);
  g_object_unref(query);
  g_object_unref(database);
  if (!found)
    return 0;

  database = libmsi_database_new(argv[1], LIBMSI_DB_FLAGS_TRANSACT, nullptr, nullptr);
  if (database == nullptr)
    return 1;
  query = libmsi_query_new(
      database, "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'", nullptr);
  bool stored = libmsi_query_execute(query, nullptr, nullptr) &&
                libmsi_database_commit(database, nullptr);
  g_object_unref(query);
  g_object_unref(database);
  return stored ? 0 : 1;
}
