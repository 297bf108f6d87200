// Real package files for tests, written and read straight through the
// engine, independently of the stand-in installer under test.
#ifndef TAMLO_TESTS_PACKAGE_FIXTURE_H_
#define TAMLO_TESTS_PACKAGE_FIXTURE_H_

#include <string>
#include <vector>

// The key of the row that the repair removes.
extern const char kBadFileKey[];

// |count| distinct keys of rows that must survive, and the bad one after
// them when |with_bad_entry|.
std::vector<std::string> FileKeys(int count, bool with_bad_entry);

// Writes a package at |path| whose RemoveFile table holds one row for each
// of |file_keys|. Returns false, with the reason in |error|, on failure.
bool WritePackage(const std::string& path,
                  const std::vector<std::string>& file_keys, std::string* error);

// Writes a package at |path| that has tables, but no RemoveFile table.
bool WritePackageWithoutRemoveFile(const std::string& path, std::string* error);

// Reads the keys of the RemoveFile rows of the package at |path|, sorted.
// Returns false when it is not a whole package holding that table.
bool ReadFileKeys(const std::string& path, std::vector<std::string>* keys);

// A fresh directory under the system's temporary directory.
std::string MakeTempDirectory();
// Removes |path| and everything below it.
void RemoveTree(const std::string& path);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

#endif  // TAMLO_TESTS_PACKAGE_FIXTURE_H_
