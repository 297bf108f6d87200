// The stand-in's database operations on real package files: bad files become
// result codes, a read-only open never writes, and a transacted open reaches
// the package only through a commit that puts a whole new package in place.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // commits. Returns the first failing code, or the commit's.
  UINT DeleteBadEntry(bool commit) {
    MSIHANDLE database = 0, view = 0;
    UINT result = MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_TRANSACT, &database);
    if (result != 0)
      return result;
    result = MsiDatabaseOpenViewA(database, kDelete, &view);
    if (result == 0)
      result = MsiViewExecute(view, 0);
    if (result == 0 && commit)
      result = MsiDatabaseCommit(database);
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

TEST_F(DatabaseTest, TheLongestPathIsOpenedOrRefusedWithACode) {
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
  std::string before = ReadFileBytes(package_);

  MSIHANDLE database = 0, view = 0, record = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  ASSERT_EQ(0u, MsiDatabaseOpenViewA(database, kSelect, &view));
  EXPECT_EQ(0u, MsiViewExecute(view, 0));
  EXPECT_EQ(0u, MsiViewFetch(view, &record));
  EXPECT_EQ(0u, MsiCloseHandle(record));
  EXPECT_EQ(0u, MsiCloseHandle(view));
  EXPECT_EQ(0u, MsiCloseHandle(database));

  // Staging beside such a package would pass the system's path limit: the
  // transacted open is refused, and the package stays as it was.
  EXPECT_EQ(110u, DeleteBadEntry(true));
  EXPECT_EQ(before, ReadFileBytes(package_));
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
  // Nowhere to store a change: a commit says so rather than pretend.
  EXPECT_EQ(1627u, MsiDatabaseCommit(database));
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

bool IsBestEffort(const std::string& call) {
  // Tidying up and closing a descriptor only read from: their failure costs
  // at most a stray file that the next open removes.
  return call == "list" || call == "unlink" || call == "rmdir" ||
         call == "kill" || call == "close";
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
      UINT result = DeleteBadEntry(true);
      int calls = OsCallCount();
      std::vector<std::string> failed = OsFailedCalls();
      OsClearFaults();

      std::vector<std::string> keys = Keys();
      if (result == 0) {
        EXPECT_EQ(FileKeys(3, false), keys);
      } else if (keys != FileKeys(3, false)) {
        EXPECT_EQ(before, ReadFileBytes(package_));
      }
      bool storing_call_failed = false;
      for (const std::string& call : failed)
        storing_call_failed |= !IsBestEffort(call);
      if (storing_call_failed) {
        EXPECT_NE(0u, result) << "failed call: " << failed.front();
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

TEST_F(DatabaseTest, StagingLeftByADeadRunIsRemoved) {
  WriteTestPackage(true);
  // Left with its lock file free: its owner is gone, whoever it was.
  std::string unlocked = directory_ + "/.msi-standin-1-1";
  ASSERT_EQ(0, mkdir(unlocked.c_str(), 0700));
  WriteFileBytes(unlocked + "/owner.lock", "");
  WriteFileBytes(unlocked + "/package.msi", "half a package");
  // Left without a lock file by a process that no longer exists.
  std::string lockless = directory_ + "/.msi-standin-2147483646-1";
  ASSERT_EQ(0, mkdir(lockless.c_str(), 0700));
  WriteFileBytes(lockless + "/package.msi", "half a package");
  // In use: its owner (this test) holds the lock.
  std::string held = directory_ + "/.msi-standin-1-2";
  ASSERT_EQ(0, mkdir(held.c_str(), 0700));
  WriteFileBytes(held + "/owner.lock", "");
  int lock = open((held + "/owner.lock").c_str(), O_RDWR);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  // Not the stand-in's at all.
  std::string other = directory_ + "/.msi-standin-notes";
  ASSERT_EQ(0, mkdir(other.c_str(), 0700));

  MSIHANDLE database = 0;
  ASSERT_EQ(0u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  EXPECT_EQ(0u, MsiCloseHandle(database));
  EXPECT_EQ((std::vector<std::string>{".msi-standin-1-2", ".msi-standin-notes", "cached.msi"}),
            DirectoryEntries(directory_));
  close(lock);
}

}  // namespace
