#include "tests/package_fixture.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <libmsi.h>

const char kBadFileKey[] = "TmpFiles";

namespace {

bool Fail(GError* engine_error, const std::string& what, std::string* error) {
  *error = what + (engine_error != nullptr ? std::string(": ") + engine_error->message : "");
  if (engine_error != nullptr)
    g_error_free(engine_error);
  return false;
}

bool Execute(LibmsiDatabase* database, const char* sql, std::string* error) {
  GError* engine_error = nullptr;
  LibmsiQuery* query = libmsi_query_new(database, sql, &engine_error);
  if (query == nullptr)
    return Fail(engine_error, sql, error);
  bool ran = libmsi_query_execute(query, nullptr, &engine_error);
  g_object_unref(query);
  return ran || Fail(engine_error, sql, error);
}

std::string TempFileName(const char* suffix) {
  std::string name =
      (std::filesystem::temp_directory_path() / ("tamlo-fixture-XXXXXX" + std::string(suffix)))
          .string();
  int fd = mkstemps(&name[0], static_cast<int>(strlen(suffix)));
  if (fd < 0) {
    perror("mkstemps");
    abort();
  }
  close(fd);
  return name;
}

// Creates a package at |path|, fills it through |fill| and commits. The
// engine can't commit to the longest paths, so the package is made under a
// short name and copied into place.
template <typename Fill>
bool CreatePackage(const std::string& path, Fill fill, std::string* error) {
  std::string made_at = TempFileName(".msi");
  unlink(made_at.c_str());
  GError* engine_error = nullptr;
  LibmsiDatabase* database = libmsi_database_new(
      made_at.c_str(), LIBMSI_DB_FLAGS_CREATE, made_at.c_str(), &engine_error);
  if (database == nullptr)
    return Fail(engine_error, "create " + made_at, error);
  bool made = fill(database) && (libmsi_database_commit(database, &engine_error) ||
                                 Fail(engine_error, "commit " + made_at, error));
  g_object_unref(database);
  std::error_code copy_error;
  if (made) {
    std::filesystem::copy_file(made_at, path,
                               std::filesystem::copy_options::overwrite_existing,
                               copy_error);
    if (copy_error) {
      *error = "copy to " + path + ": " + copy_error.message();
      made = false;
    }
  }
  unlink(made_at.c_str());
  return made;
}

}  // namespace

std::vector<std::string> FileKeys(int count, bool with_bad_entry) {
  std::vector<std::string> keys;
  char key[32];
  for (int i = 0; i < count; ++i) {
    snprintf(key, sizeof key, "Keep%07d", i);
    keys.push_back(key);
  }
  if (with_bad_entry)
    keys.push_back(kBadFileKey);
  return keys;
}

bool WritePackage(const std::string& path,
                  const std::vector<std::string>& file_keys, std::string* error) {
  // Rows go in through an import of the table's text form: far faster than
  // one INSERT a row for the large packages of the benchmarks.
  std::string table_file = TempFileName(".idt");
  {
    std::ofstream table(table_file, std::ios::binary);
    table << "FileKey\tComponent_\tFileName\tDirProperty\tInstallMode\r\n"
          << "s72\ts72\tL255\ts72\ti2\r\n"
          << "RemoveFile\tFileKey\r\n";
    for (const std::string& key : file_keys)
      table << key << "\tMainComponent\t*.tmp\tINSTALLFOLDER\t2\r\n";
    if (!table) {
      *error = "can't write " + table_file;
      return false;
    }
  }
  bool made = CreatePackage(
      path,
      [&](LibmsiDatabase* database) {
        GError* engine_error = nullptr;
        return libmsi_database_import(database, table_file.c_str(), &engine_error) ||
               Fail(engine_error, "import " + table_file, error);
      },
      error);
  unlink(table_file.c_str());
  return made;
}

bool WritePackageWithoutRemoveFile(const std::string& path, std::string* error) {
  return CreatePackage(
      path,
      [&](LibmsiDatabase* database) {
        return Execute(database,
                       "CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, "
                       "`Value` CHAR(0) NOT NULL PRIMARY KEY `Property`)",
                       error) &&
               Execute(database,
                       "INSERT INTO `Property` (`Property`, `Value`) "
                       "VALUES ('ProductName', 'Tamlo')",
                       error);
      },
      error);
}

bool ReadFileKeys(const std::string& path, std::vector<std::string>* keys) {
  keys->clear();
  LibmsiDatabase* database =
      libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr);
  if (database == nullptr)
    return false;
  LibmsiQuery* query = libmsi_query_new(
      database, "SELECT `FileKey` FROM `RemoveFile`", nullptr);
  bool read = query != nullptr && libmsi_query_execute(query, nullptr, nullptr);
  while (read) {
    GError* engine_error = nullptr;
    LibmsiRecord* row = libmsi_query_fetch(query, &engine_error);
    if (row == nullptr) {
      read = engine_error == nullptr;
      if (engine_error != nullptr)
        g_error_free(engine_error);
      break;
    }
    gchar* key = libmsi_record_get_string(row, 1);
    keys->push_back(key != nullptr ? key : "");
    g_free(key);
    g_object_unref(row);
  }
  if (query != nullptr)
    g_object_unref(query);
  g_object_unref(database);
  std::sort(keys->begin(), keys->end());
  return read;
}

std::string MakeTempDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tamlo-test-XXXXXX").string();
  if (mkdtemp(&pattern[0]) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return pattern;
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
