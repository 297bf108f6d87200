// The stand-in's database operations on real package files: bad files become
// result codes, a read-only open never writes, and a transacted open reaches
// the package only through a commit that puts a whole new package in place.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer/installer.h"
#include "installer/standin_host.h"
#include "installer/standin_os.h"
#include "tests/package_fixture.h"

namespace {

const char kSelect[] = "SELECT * FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";
const char kDelete[] = "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class DatabaseTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = MakeTempDirectory();
    package_ = directory_ + "/cached.msi";
  }
  void TearDown() override {
    OsClearFaults();
    SetEngineHostEnabled(true);
    RemoveTree(directory_);
  }

  void WriteTestPackage(bool with_bad_entry) {
    std::string error;
    ASSERT_TRUE(WritePackage(package_, FileKeys(3, with_bad_entry), &error)) << error;
  }

  std::vector<std::string> Keys() {
    std::vector<std::string> keys;
    EXPECT_TRUE(ReadFileKeys(package_, &keys)) << "not a whole package";
    return keys;
  }

  // Opens the package transacted, deletes the bad entry and, when asked,
  // commits. Returns the first failing code, or the commit's. The platform
  // calls the commit made are those after |commit_begins| calls, up to and
  // including call |commit_ends|.
  UINT DeleteBadEntry(bool commit, int* commit_begins = nullptr,
                      int* commit_ends = nullptr) {
    MSIHANDLE database = 0, view = 0;
    UINT result = MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_TRANSACT, &database);
    if (result != 0)
      return result;
    result = MsiDatabaseOpenViewA(database, kDelete, &view);
    if (result == 0)
      result = MsiViewExecute(view, 0);
    if (commit_begins != nullptr)
      *commit_begins = *commit_ends = OsCallCount();
    if (result == 0 && commit) {
      result = MsiDatabaseCommit(database);
      if (commit_ends != nullptr)
        *commit_ends = OsCallCount();
    }
    EXPECT_EQ(0u, MsiCloseHandle(view));
    EXPECT_EQ(0u, MsiCloseHandle(database));
    return result;
  }

  std::string directory_;
  std::string package_;
};

struct BadFileCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  UINT open_result;
  UINT view_result;  // When the open succeeds.
};

TEST_F(DatabaseTest, BadFilesBecomeResultCodesInBothModes) {
  std::string whole;
  {
    WriteTestPackage(true);
    whole = ReadFileBytes(package_);
  }
  const BadFileCase cases[] = {
      {"missing", [](const std::string&) {}, 110, 0},
      {"empty", [](const std::string& p) { WriteFileBytes(p, ""); }, 110, 0},
      {"not a database",
       [](const std::string& p) { WriteFileBytes(p, "MZ this is no package\n"); }, 110, 0},
      {"truncated",
       [&](const std::string& p) { WriteFileBytes(p, whole.substr(0, whole.size() / 2)); },
       110, 0},
      {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }, 110, 0},
      // Found by fuzzing: the engine crashes on these, so only the engine
      // host, which the stand-in can lose, ever touches them.
      {"crashes the engine when opened",
       [](const std::string& p) {
         WriteFileBytes(p, ReadFileBytes(TAMLO_TEST_DATA "/crashes-engine-on-open.msi"));
       },
       110, 0},
      {"crashes the engine when queried",
       [](const std::string& p) {
         WriteFileBytes(p, ReadFileBytes(TAMLO_TEST_DATA "/crashes-engine-on-query.msi"));
       },
       0, 1627},
      {"no RemoveFile table",
       [](const std::string& p) {
         std::string error;
         ASSERT_TRUE(WritePackageWithoutRemoveFile(p, &error)) << error;
       },
       0, 1615},
  };
  for (const BadFileCase& c : cases) {
    for (LPCSTR mode : {MSIDBOPEN_READONLY, MSIDBOPEN_TRANSACT}) {
      SCOPED_TRACE(std::string(c.name) + (mode == MSIDBOPEN_READONLY ? ", read-only" : ", transacted"));
      RemoveTree(package_);
      c.make(package_);
      std::string before = ReadFileBytes(package_);
      std::vector<std::string> entries = DirectoryEntries(directory_);
      MSIHANDLE database = 0;
      EXPECT_EQ(c.open_result, MsiOpenDatabaseA(package_.c_str(), mode, &database));
      if (database != 0) {
        MSIHANDLE view = 0;
        EXPECT_EQ(c.view_result, MsiDatabaseOpenViewA(database, kSelect, &view));
        EXPECT_EQ(0u, view);
        EXPECT_EQ(0u, MsiCloseHandle(database));
      } else {
        EXPECT_NE(0u, c.open_result);
      }
      EXPECT_EQ(before, ReadFileBytes(package_));
      EXPECT_EQ(entries, DirectoryEntries(directory_));
    }
  }
}

TEST_F(DatabaseTest, TheLongestPathIsRepairedAndALongerOneRefusedWithACode) {
  // Directories of 200 characters down to a package path of 4095.
  std::string path = directory_;
  while (path.size() + 201 < 4095 - 20) {
    path += "/" + std::string(200, 'd');
    ASSERT_EQ(0, mkdir(path.c_str(), 0700));
  }
  std::string name = std::string(4095 - path.size() - 5, 'p') + ".msi";
  package_ = path + "/" + name;
  ASSERT_EQ(4095u, package_.size());
  WriteTestPackage(true);

  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  ASSERT_EQ(0u, MsiDatabaseOpenViewA(database, kSelect, &view));
  EXPECT_EQ(0u, MsiViewExecute(view, 0));
  EXPECT_EQ(0u, MsiViewFetch(view, &record));
  EXPECT_EQ(0u, MsiCloseHandle(record));
  EXPECT_EQ(0u, MsiCloseHandle(view));
  EXPECT_EQ(0u, MsiCloseHandle(database));

  // The engine reaches the staging through a descriptor, so staging beside
  // such a package is no longer than any other: the repair goes through.
  EXPECT_EQ(0u, DeleteBadEntry(true));
  EXPECT_EQ(FileKeys(3, false), Keys());
  EXPECT_EQ(std::vector<std::string>{name}, DirectoryEntries(path));

  // One character more is a path that no call can take.
  std::string too_long = package_ + "x";
  EXPECT_EQ(110u, MsiOpenDatabaseA(too_long.c_str(), MSIDBOPEN_READONLY, &database));
  EXPECT_EQ(110u, MsiOpenDatabaseA(too_long.c_str(), MSIDBOPEN_TRANSACT, &database));
}

TEST_F(DatabaseTest, AReadOnlyOpenFindsTheRowAndWritesNothing) {
  WriteTestPackage(true);
  chmod(package_.c_str(), 0444);
  struct stat before_status;
  stat(package_.c_str(), &before_status);
  std::string before = ReadFileBytes(package_);

  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  ASSERT_EQ(0u, MsiDatabaseOpenViewA(database, kSelect, &view));
  ASSERT_EQ(0u, MsiViewExecute(view, 0));
  EXPECT_EQ(0u, MsiViewFetch(view, &record));
  EXPECT_NE(0u, record);
  MSIHANDLE second = 0;
  EXPECT_EQ(259u, MsiViewFetch(view, &second));
  EXPECT_EQ(0u, second);
  // As on the platform: nothing to store, and a commit does nothing.
  EXPECT_EQ(0u, MsiDatabaseCommit(database));
  EXPECT_EQ(0u, MsiCloseHandle(record));
  EXPECT_EQ(0u, MsiCloseHandle(view));
  EXPECT_EQ(0u, MsiCloseHandle(database));

  struct stat after_status;
  stat(package_.c_str(), &after_status);
  EXPECT_EQ(before, ReadFileBytes(package_));
  EXPECT_EQ(before_status.st_mtim.tv_nsec, after_status.st_mtim.tv_nsec);
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
}

TEST_F(DatabaseTest, HandlesAreClosedOnceAndCheckedForKind) {
  WriteTestPackage(false);
  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  EXPECT_EQ(6u, MsiViewExecute(database, 0));
  EXPECT_EQ(6u, MsiDatabaseOpenViewA(database + 100, kSelect, &view));
  EXPECT_EQ(87u, MsiOpenDatabaseA(package_.c_str(), "/elsewhere.msi", &view));
  ASSERT_EQ(0u, MsiDatabaseOpenViewA(database, kSelect, &view));
  EXPECT_EQ(1615u, MsiDatabaseOpenViewA(database, "SELECT FROM WHERE", &record));
  // The view keeps the database usable after the database handle closes.
  EXPECT_EQ(0u, MsiCloseHandle(database));
  EXPECT_EQ(6u, MsiCloseHandle(database));
  EXPECT_EQ(0u, MsiViewExecute(view, 0));
  EXPECT_EQ(259u, MsiViewFetch(view, &record));
  EXPECT_EQ(0u, MsiCloseHandle(view));
  EXPECT_EQ(6u, MsiCloseHandle(view));
  EXPECT_EQ(6u, MsiCloseHandle(12345));
  EXPECT_EQ(0u, MsiCloseHandle(0));
}

TEST_F(DatabaseTest, CloseWithoutCommitLeavesThePackageByteForByte) {
  WriteTestPackage(true);
  std::string before = ReadFileBytes(package_);
  EXPECT_EQ(0u, DeleteBadEntry(false));
  EXPECT_EQ(before, ReadFileBytes(package_));
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
}

TEST_F(DatabaseTest, CommitReplacesThePackageAndKeepsItsPermissions) {
  WriteTestPackage(true);
  chmod(package_.c_str(), 0640);
  ASSERT_EQ(0u, DeleteBadEntry(true));
  EXPECT_EQ(FileKeys(3, false), Keys());
  struct stat status;
  stat(package_.c_str(), &status);
  EXPECT_EQ(0640u, status.st_mode & 07777);
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
  // A delete that matches nothing commits all the same.
  EXPECT_EQ(0u, DeleteBadEntry(true));
  EXPECT_EQ(FileKeys(3, false), Keys());
}

// Makes each platform call of a transacted delete and commit fail in turn,
// once and then for good. A commit reports success only when the change is
// in place and reports failure when a call that stores it failed; the
// package is always whole, old or new; what is left beside it is gone after
// the next open.
TEST_F(DatabaseTest, AFailureAtAnyCallOfACommitLosesNothing) {
  // The faults are injected in this process, so the engine must run here.
  SetEngineHostEnabled(false);
  for (bool persistent : {false, true}) {
    for (int nth = 1;; ++nth) {
      SCOPED_TRACE("call " + std::to_string(nth) + (persistent ? " onwards" : ""));
      WriteTestPackage(true);
      std::string before = ReadFileBytes(package_);
      OsFailCall(nth, EIO, persistent);
      int commit_begins = 0, commit_ends = 0;
      UINT result = DeleteBadEntry(true, &commit_begins, &commit_ends);
      int calls = OsCallCount();
      std::vector<std::string> log = OsCallLog();
      OsClearFaults();

      std::vector<std::string> keys = Keys();
      if (result == 0) {
        EXPECT_EQ(FileKeys(3, false), keys);
      } else if (keys != FileKeys(3, false)) {
        EXPECT_EQ(before, ReadFileBytes(package_));
      }
      // Every call of the commit stores the change, but for letting go of
      // the old package's descriptor; a fault before the commit either fails
      // the open or only spoils tidying up.
      if (nth > commit_begins && nth <= commit_ends && log[nth - 1] != "close") {
        EXPECT_NE(0u, result) << "failed call: " << log[nth - 1];
      }

      MSIHANDLE database = 0;
      ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
      EXPECT_EQ(0u, MsiCloseHandle(database));
      EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
      if (nth > calls) {
        EXPECT_EQ(0u, result);  // The fault was never reached.
        break;
      }
    }
  }
}

// The order that makes a commit durable: the new package's bytes reach the
// disk before the rename makes it the package, and the rename itself before
// the commit says it is done.
TEST_F(DatabaseTest, ACommitFlushesTheNewPackageBeforeTheRenameAndTheDirectoryAfter) {
  SetEngineHostEnabled(false);
  WriteTestPackage(true);
  OsClearFaults();
  int commit_begins = 0, commit_ends = 0;
  ASSERT_EQ(0u, DeleteBadEntry(true, &commit_begins, &commit_ends));
  std::vector<std::string> log = OsCallLog();
  std::vector<std::string> commit(log.begin() + commit_begins, log.begin() + commit_ends);
  std::vector<std::string> order;
  for (const std::string& call : commit) {
    if (call == "engine-commit" || call == "fsync" || call == "renameat")
      order.push_back(call);
  }
  EXPECT_EQ((std::vector<std::string>{"engine-commit", "fsync", "renameat", "fsync"}), order);
  EXPECT_EQ(FileKeys(3, false), Keys());
}

// A file system that keeps no extended attributes has none to keep: the
// commit goes through.
TEST_F(DatabaseTest, ACommitWorksWhereTheFileSystemKeepsNoExtendedAttributes) {
  SetEngineHostEnabled(false);
  WriteTestPackage(true);
  OsClearFaults();
  ASSERT_EQ(0u, DeleteBadEntry(true));
  std::vector<std::string> log = OsCallLog();
  auto listing = std::find(log.begin(), log.end(), "xattr-list");
  ASSERT_NE(log.end(), listing);
  WriteTestPackage(true);
  OsFailCall(static_cast<int>(listing - log.begin()) + 1, ENOTSUP, false);
  EXPECT_EQ(0u, DeleteBadEntry(true));
  OsClearFaults();
  EXPECT_EQ(FileKeys(3, false), Keys());
}

// An engine error while fetching is a failure with its code, never the end
// of the rows: a probe that took it for "no row" would leave the bad entry.
TEST_F(DatabaseTest, AnEngineErrorOnFetchIsAFailureNotTheEndOfTheRows) {
  SetEngineHostEnabled(false);
  WriteTestPackage(true);
  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  ASSERT_EQ(0u, MsiDatabaseOpenViewA(database, kSelect, &view));
  ASSERT_EQ(0u, MsiViewExecute(view, 0));
  OsFailCall(1, EIO, false);
  EXPECT_EQ(1627u, MsiViewFetch(view, &record));
  EXPECT_EQ((std::vector<std::string>{"engine-fetch"}), OsFailedCalls());
  EXPECT_EQ(0u, record);
  EXPECT_EQ(0u, MsiCloseHandle(view));
  EXPECT_EQ(0u, MsiCloseHandle(database));
}

}  // namespace
