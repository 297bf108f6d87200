// The stand-in among files that other accounts control, as an attacker or a
// careless administrator would leave them: it touches nothing it did not
// create, loses no one's change, repairs the file the registration names and
// keeps what that file is, and fails fast with a code on files that are no
// package at all.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer/installer.h"
#include "installer/standin_host.h"
#include "installer/standin_os.h"
#include "installer/standin_staging.h"
#include "tests/package_fixture.h"

namespace {

const char kDelete[] = "Delete FROM `RemoveFile` WHERE `FileKey`='TmpFiles'";
const uid_t kNobody = 65534;

// A generous bound on calls that must come back at once: a hang fails the
// test instead of holding the run.
const unsigned kHangGuardSeconds = 60;

std::vector<std::string> DirectoryEntries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Runs |body| in a process of its own, as another run or another account
// would, and returns what it returned (0 to 255), or -1 when it died.
int InAnotherProcess(const std::function<int()>& body) {
  pid_t child = fork();
  if (child == 0)
    _exit(body());
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Opens |path| in |mode| and closes it again. Returns the open's code.
UINT OpenAndClose(const std::string& path, LPCSTR mode) {
  MSIHANDLE database = 0;
  UINT result = MsiOpenDatabaseA(path.c_str(), mode, &database);
  MsiCloseHandle(database);
  return result;
}

// The result of OpenAndClose as a process's exit status.
int OpenedStatus(const std::string& path, LPCSTR mode) {
  UINT result = OpenAndClose(path, mode);
  return result == 0 ? 0 : result == 1627 ? 27 : result == 110 ? 10 : 99;
}

std::string Xattr(const std::string& path, const char* name) {
  char value[256];
  ssize_t size = lgetxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<size_t>(size));
}

// A POSIX ACL as the kernel stores it: version 2, then tag, permissions
// and id of each entry, in tag order.
std::string Acl(std::vector<std::vector<uint32_t>> entries) {
  std::string acl;
  auto put = [&acl](uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
      acl.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  };
  put(2, 4);
  for (const auto& entry : entries) {
    put(entry[0], 2);
    put(entry[1], 2);
    put(entry[2], 4);
  }
  return acl;
}
// Owner rw, a named user (|id|) rw, group r, mask rw, others nothing.
std::string AclGranting(uint32_t id) {
  const uint32_t kUndefined = 0xffffffff;
  return Acl({{0x01, 6, kUndefined}, {0x02, 6, id}, {0x04, 4, kUndefined},
              {0x10, 6, kUndefined}, {0x20, 0, kUndefined}});
}

class HostileTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = MakeTempDirectory();
    package_ = directory_ + "/cached.msi";
    alarm(kHangGuardSeconds);
  }
  void TearDown() override {
    alarm(0);
    OsClearFaults();
    SetEngineHostEnabled(true);
    SetEngineHostReplyTimeout(0);
    RemoveTree(directory_);
  }

  void WriteTestPackage(const std::string& path, int keys = 3, bool with_bad_entry = true) {
    std::string error;
    ASSERT_TRUE(WritePackage(path, FileKeys(keys, with_bad_entry), &error)) << error;
  }

  std::vector<std::string> Keys(const std::string& path) {
    std::vector<std::string> keys;
    EXPECT_TRUE(ReadFileKeys(path, &keys)) << "not a whole package: " << path;
    return keys;
  }

  // Opens |path| transacted, deletes the bad entry and commits. Returns the
  // first failing code, or the commit's.
  UINT Repair(const std::string& path) {
    MSIHANDLE database = 0, view = 0;
    UINT result = MsiOpenDatabaseA(path.c_str(), MSIDBOPEN_TRANSACT, &database);
    if (result != 0)
      return result;
    result = MsiDatabaseOpenViewA(database, kDelete, &view);
    if (result == 0)
      result = MsiViewExecute(view, 0);
    if (result == 0)
      result = MsiDatabaseCommit(database);
    MsiCloseHandle(view);
    MsiCloseHandle(database);
    return result;
  }

  // The name of the one staging directory beside the package.
  std::string StagingName() {
    for (const std::string& name : DirectoryEntries(directory_)) {
      if (name.rfind(".msi-standin-", 0) == 0)
        return name;
    }
    ADD_FAILURE() << "no staging directory";
    return "";
  }

  std::string directory_;
  std::string package_;
};

struct HostileFileCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  UINT read_only_result;
  UINT transacted_result;
};

// Nothing that is not a regular file with one name reaches the engine: no
// FIFO holds the run, no device feeds it for ever, and a file with a second
// name is not split by a replacement.
TEST_F(HostileTest, FilesThatAreNoPackageAreRefusedBeforeTheEngineSeesThem) {
  SetEngineHostEnabled(false);  // The engine's calls are then in our log.
  std::vector<HostileFileCase> cases = {
      {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }, 110, 110},
      {"a FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, 110, 110},
      {"a socket",
       [](const std::string& p) {
         int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         struct sockaddr_un address = {};
         address.sun_family = AF_UNIX;
         snprintf(address.sun_path, sizeof address.sun_path, "%s", p.c_str());
         bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address);
         close(fd);
       },
       110, 110},
      {"a link to a device",
       [](const std::string& p) { symlink("/dev/zero", p.c_str()); }, 110, 110},
      {"a package with a second name",
       [this](const std::string& p) {
         WriteTestPackage(p);
         link(p.c_str(), (directory_ + "/second-name.msi").c_str());
       },
       0, 110},
  };
  if (geteuid() == 0) {
    // Another account's link, where that account can write: it could lead
    // to any file, that account's or not.
    cases.push_back({"a link that another account planted",
                     [this](const std::string& p) {
                       WriteTestPackage(directory_ + "/elsewhere.msi");
                       symlink((directory_ + "/elsewhere.msi").c_str(), p.c_str());
                       lchown(p.c_str(), kNobody, kNobody);
                     },
                     110, 110});
  }
  for (const HostileFileCase& c : cases) {
    for (LPCSTR mode : {MSIDBOPEN_READONLY, MSIDBOPEN_TRANSACT}) {
      bool read_only = mode == MSIDBOPEN_READONLY;
      SCOPED_TRACE(std::string(c.name) + (read_only ? ", read-only" : ", transacted"));
      RemoveTree(directory_);
      ASSERT_EQ(0, mkdir(directory_.c_str(), 0700));
      c.make(package_);
      std::vector<std::string> entries = DirectoryEntries(directory_);
      OsClearFaults();
      UINT result = OpenAndClose(package_, mode);
      std::vector<std::string> log = OsCallLog();
      EXPECT_EQ(read_only ? c.read_only_result : c.transacted_result, result);
      if (result != 0) {
        EXPECT_EQ(log.end(), std::find(log.begin(), log.end(), "engine-open"));
      }
      EXPECT_EQ(entries, DirectoryEntries(directory_));
    }
  }
  if (geteuid() == 0) {
    EXPECT_EQ(FileKeys(3, true), Keys(directory_ + "/elsewhere.msi"));
  }
}

TEST_F(HostileTest, ALinkedPackageIsRepairedWhereItLivesAndTheLinkStays) {
  std::string real_directory = directory_ + "/real";
  std::string links = directory_ + "/links";
  ASSERT_EQ(0, mkdir(real_directory.c_str(), 0700));
  ASSERT_EQ(0, mkdir(links.c_str(), 0700));
  WriteTestPackage(real_directory + "/5e1f0.msi");
  ASSERT_EQ(0, symlink("../real/5e1f0.msi", (links + "/cached.msi").c_str()));

  EXPECT_EQ(0u, Repair(links + "/cached.msi"));
  EXPECT_EQ(FileKeys(3, false), Keys(real_directory + "/5e1f0.msi"));
  struct stat status;
  ASSERT_EQ(0, lstat((links + "/cached.msi").c_str(), &status));
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(std::vector<std::string>{"5e1f0.msi"}, DirectoryEntries(real_directory));
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(links));
}

// Owner, group, mode with its set-id bit, a user attribute and an ACL come
// through the commit; an ACL that the new file inherited from the directory,
// and the package never had, does not. Where one can't be kept, the commit
// fails and leaves the old package.
TEST_F(HostileTest, ACommitKeepsWhatThePackageIsOrFails) {
  if (geteuid() != 0)
    GTEST_SKIP() << "giving a file to another account needs root";
  std::string default_acl = AclGranting(4321);
  if (setxattr(directory_.c_str(), "system.posix_acl_default", default_acl.data(),
               default_acl.size(), 0) != 0)
    GTEST_SKIP() << "no ACLs on this file system";
  SetEngineHostEnabled(false);

  // The package as the fixture writes it inherits the directory's default
  // ACL: taken off, or replaced by one of its own.
  auto write_package = [this](bool with_acl) {
    unlink(package_.c_str());
    WriteTestPackage(package_);
    removexattr(package_.c_str(), "system.posix_acl_access");
    ASSERT_EQ(0, chown(package_.c_str(), kNobody, kNobody));
    ASSERT_EQ(0, chmod(package_.c_str(), 02640));
    ASSERT_EQ(0, setxattr(package_.c_str(), "user.origin", "cache", 5, 0));
    std::string acl = AclGranting(1234);
    if (with_acl) {
      ASSERT_EQ(0, setxattr(package_.c_str(), "system.posix_acl_access", acl.data(),
                            acl.size(), 0));
    }
  };
  auto attributes = [this]() {
    struct stat status;
    EXPECT_EQ(0, stat(package_.c_str(), &status));
    char listed[1024];
    ssize_t size = listxattr(package_.c_str(), listed, sizeof listed);
    std::vector<std::string> names;
    for (ssize_t start = 0; start < size; start += strlen(listed + start) + 1)
      names.push_back(listed + start);
    std::sort(names.begin(), names.end());
    std::string described = std::to_string(status.st_uid) + ":" +
                            std::to_string(status.st_gid) + " " +
                            std::to_string(status.st_mode & 07777);
    for (const std::string& name : names)
      described += " " + name + "=" + Xattr(package_, name.c_str());
    return described;
  };

  std::string before;
  std::vector<std::string> log;
  for (bool with_acl : {true, false}) {
    SCOPED_TRACE(with_acl ? "with an ACL" : "without an ACL");
    write_package(with_acl);
    before = attributes();
    ASSERT_NE(std::string::npos, before.find("user.origin=cache"));
    EXPECT_EQ(with_acl, before.find("posix_acl_access") != std::string::npos);
    OsClearFaults();
    ASSERT_EQ(0u, Repair(package_));
    log = OsCallLog();
    EXPECT_EQ(FileKeys(3, false), Keys(package_));
    EXPECT_EQ(before, attributes());
  }

  // Each call that keeps an attribute, made to fail in turn.
  for (const char* call : {"fchown", "fchmod", "xattr-list", "xattr-remove", "xattr-set"}) {
    SCOPED_TRACE(call);
    auto found = std::find(log.begin(), log.end(), call);
    ASSERT_NE(log.end(), found);
    write_package(false);
    std::string bytes = ReadFileBytes(package_);
    OsFailCall(static_cast<int>(found - log.begin()) + 1, EPERM, false);
    EXPECT_NE(0u, Repair(package_));
    EXPECT_EQ(bytes, ReadFileBytes(package_));
    EXPECT_EQ(before, attributes());
  }
}

// As on the platform, what may be written is the file's to say: an account
// that can write the directory but not the package can't repair it.
TEST_F(HostileTest, ATransactedOpenNeedsTheRightToWriteThePackageItself) {
  if (geteuid() != 0)
    GTEST_SKIP() << "acting as another account needs root";
  ASSERT_EQ(0, chmod(directory_.c_str(), 0777));
  WriteTestPackage(package_);
  ASSERT_EQ(0, chmod(package_.c_str(), 0644));
  std::string before = ReadFileBytes(package_);
  auto as_nobody = [this](LPCSTR mode) {
    return InAnotherProcess([this, mode]() {
      SetEngineHostEnabled(false);
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
        return 98;
      return OpenedStatus(package_, mode);
    });
  };
  EXPECT_EQ(0, as_nobody(MSIDBOPEN_READONLY));
  EXPECT_EQ(10, as_nobody(MSIDBOPEN_TRANSACT));
  EXPECT_EQ(before, ReadFileBytes(package_));
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
}

struct TimingCase {
  const char* name;
  const char* call;  // What the other party does it just before.
  int occurrence;
  std::function<void()> other_party;
  bool commit_succeeds;
  std::vector<std::string> keys_after;
};

// What another run, another writer or another account does at the worst
// moment of a repair. A commit that succeeds put the repaired package in
// place; one that fails left what the other party left; nothing the other
// party owns is touched, and no staging is left behind.
TEST_F(HostileTest, WhatOthersDoAtTheWorstMomentIsNeverLost) {
  SetEngineHostEnabled(false);  // The moments are calls in our log.
  const std::string package = package_;
  const std::string victim = directory_ + "/victim";
  const std::vector<std::string> repaired = FileKeys(3, false);
  const std::vector<std::string> theirs = FileKeys(7, false);
  auto tidy_up = [package]() {
    EXPECT_EQ(0, InAnotherProcess([package]() {
      RemoveStaleStagingBeside(package.c_str());
      return 0;
    }));
  };
  auto write_theirs = [this, theirs](const std::string& path) {
    std::string error;
    ASSERT_TRUE(WritePackage(path, theirs, &error)) << error;
  };
  const TimingCase cases[] = {
      {"another run tidies up before the staging is locked", "lock", 1, tidy_up, true,
       repaired},
      {"another run tidies up before the staging is named", "renameat-noreplace", 1,
       tidy_up, true, repaired},
      {"another run tidies up before the commit", "engine-commit", 1, tidy_up, true,
       repaired},
      {"another run opens the package", "engine-commit", 1,
       [package]() {
         EXPECT_EQ(27, InAnotherProcess([package]() {
           return OpenedStatus(package, MSIDBOPEN_TRANSACT);
         }));
         EXPECT_EQ(27, InAnotherProcess([package]() {
           return OpenedStatus(package, MSIDBOPEN_READONLY);
         }));
       },
       true, repaired},
      {"another writer replaces the package", "fsync", 1,
       [&]() {
         write_theirs(directory_ + "/theirs.msi");
         ASSERT_EQ(0, rename((directory_ + "/theirs.msi").c_str(), package.c_str()));
       },
       false, theirs},
      {"another writer rewrites the package in place", "fsync", 1,
       [&]() {
         write_theirs(directory_ + "/theirs.msi");
         std::ofstream(package, std::ios::binary | std::ios::trunc)
             << ReadFileBytes(directory_ + "/theirs.msi");
         unlink((directory_ + "/theirs.msi").c_str());
       },
       false, theirs},
      {"the package's owner changes its mode", "fsync", 1,
       [package]() { ASSERT_EQ(0, chmod(package.c_str(), 0600)); }, false, FileKeys(3, true)},
      {"another writer rewrites it at the same size and sets its time back", "fsync", 1,
       [package]() {
         struct stat status;
         ASSERT_EQ(0, stat(package.c_str(), &status));
         // The same bytes, so that only the change time can tell.
         std::string bytes = ReadFileBytes(package);
         std::ofstream(package, std::ios::binary | std::ios::trunc) << bytes;
         decltype(status.st_mtim) times[2] = {status.st_atim, status.st_mtim};
         ASSERT_EQ(0, utimensat(AT_FDCWD, package.c_str(), times, 0));
       },
       false, FileKeys(3, true)},
      {"staging names are planted in advance", "mkdirat", 1,
       [this]() {
         for (int n = 1; n <= 300; ++n) {
           std::string name = ".msi-standin-" + std::to_string(getpid()) + "-" + std::to_string(n);
           symlink("/nonexistent", (directory_ + "/" + name).c_str());
         }
       },
       true, repaired},
      {"the staging directory is swapped for a link", "engine-commit", 1,
       [&]() {
         std::string staging = directory_ + "/" + StagingName();
         ASSERT_EQ(0, rename(staging.c_str(), (directory_ + "/moved").c_str()));
         ASSERT_EQ(0, mkdir(victim.c_str(), 0700));
         WriteFileBytes(victim + "/package.msi", "secret");
         ASSERT_EQ(0, chmod((victim + "/package.msi").c_str(), 0600));
         ASSERT_EQ(0, symlink(victim.c_str(), staging.c_str()));
       },
       true, repaired},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTree(directory_);
    ASSERT_EQ(0, mkdir(directory_.c_str(), 0700));
    WriteTestPackage(package_);
    OsClearFaults();
    OsBeforeCall(c.call, c.occurrence, c.other_party);
    UINT result = Repair(package_);
    EXPECT_EQ(c.commit_succeeds, result == 0) << "commit returned " << result;
    EXPECT_EQ(c.keys_after, Keys(package_));
    for (const std::string& name : DirectoryEntries(directory_)) {
      struct stat status;
      ASSERT_EQ(0, lstat((directory_ + "/" + name).c_str(), &status));
      if (!S_ISLNK(status.st_mode)) {  // A link planted there is the planter's.
        EXPECT_NE(0u, name.rfind(".msi-standin-", 0)) << "left behind: " << name;
      }
    }
    if (std::filesystem::exists(victim)) {
      EXPECT_EQ("secret", ReadFileBytes(victim + "/package.msi"));
      struct stat status;
      ASSERT_EQ(0, stat((victim + "/package.msi").c_str(), &status));
      EXPECT_EQ(0600u, status.st_mode & 07777);
    }
  }
}

// Staging-like names planted beside the package: the clean-up that every
// open makes removes what is provably a dead run's staging, by descriptor,
// and nothing else.
TEST_F(HostileTest, TheCleanUpRemovesOnlyStagingThatIsProvablyItsOwn) {
  WriteTestPackage(package_);
  std::string victim = directory_ + "/victim";
  ASSERT_EQ(0, mkdir(victim.c_str(), 0700));
  WriteFileBytes(victim + "/owner.lock", "");
  WriteFileBytes(victim + "/precious", "keep me");
  // A staging directory as the stand-in leaves it: marked, with its files.
  auto staging = [this](const std::string& name, bool with_lock) {
    std::string path = directory_ + "/" + name;
    EXPECT_EQ(0, mkdir(path.c_str(), 0700));
    EXPECT_EQ(0, setxattr(path.c_str(), "user.msi-standin", "staging", 7, 0));
    if (with_lock)
      WriteFileBytes(path + "/owner.lock", "");
    WriteFileBytes(path + "/package.msi", "half a package");
    return path;
  };
  // Another's directory, renamed to a staging name: it is not marked.
  auto renamed = [this](const std::string& name) {
    std::string path = directory_ + "/" + name;
    EXPECT_EQ(0, mkdir(path.c_str(), 0755));
    WriteFileBytes(path + "/package.msi", "another product's package");
    WriteFileBytes(path + "/keep.msi", "keep me");
    return path;
  };
  // Stale: a free lock; no lock file in a published one (its removal was
  // cut short); a builder that is gone. A link inside goes as a link.
  staging(".msi-standin-1-1", true);
  staging(".msi-standin-2147483646-2", false);
  staging(".msi-standin-new-2147483646-3", false);
  std::string with_link = staging(".msi-standin-1-4", true);
  ASSERT_EQ(0, symlink((victim + "/precious").c_str(), (with_link + "/.gsf-save-Ab12Cd").c_str()));
  // Kept: a held lock; a builder that lives (init); a name that is no
  // staging; a link to another directory; a lock file that is a link.
  std::string held = staging(".msi-standin-1-5", true);
  int lock = open((held + "/owner.lock").c_str(), O_RDWR);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  staging(".msi-standin-new-1-6", false);
  staging(".msi-standin-notes", true);
  ASSERT_EQ(0, symlink(victim.c_str(), (directory_ + "/.msi-standin-1-7").c_str()));
  std::string linked_lock = staging(".msi-standin-1-8", false);
  ASSERT_EQ(0, symlink((victim + "/owner.lock").c_str(), (linked_lock + "/owner.lock").c_str()));
  // Kept too: directories that are not the stand-in's under staging names,
  // with no lock file (as a published one whose removal was cut short), or
  // as a builder that is gone would have left them.
  renamed(".msi-standin-2147483646-10");
  renamed(".msi-standin-new-2147483646-11");
  std::vector<std::string> kept = {".msi-standin-1-5", ".msi-standin-1-7",
                                   ".msi-standin-1-8", ".msi-standin-2147483646-10",
                                   ".msi-standin-new-1-6", ".msi-standin-new-2147483646-11",
                                   ".msi-standin-notes", "cached.msi", "victim"};
  if (geteuid() == 0) {
    // Another account's, lock free.
    std::string theirs = staging(".msi-standin-1-9", true);
    ASSERT_EQ(0, chown(theirs.c_str(), kNobody, kNobody));
    kept.push_back(".msi-standin-1-9");
    std::sort(kept.begin(), kept.end());
  }

  EXPECT_EQ(0u, OpenAndClose(package_, MSIDBOPEN_READONLY));
  EXPECT_EQ(kept, DirectoryEntries(directory_));
  EXPECT_EQ((std::vector<std::string>{"owner.lock", "precious"}), DirectoryEntries(victim));
  EXPECT_EQ("keep me", ReadFileBytes(victim + "/precious"));
  EXPECT_EQ((std::vector<std::string>{"owner.lock", "package.msi"}), DirectoryEntries(held));
  for (const char* name : {".msi-standin-2147483646-10", ".msi-standin-new-2147483646-11"}) {
    EXPECT_EQ((std::vector<std::string>{"keep.msi", "package.msi"}),
              DirectoryEntries(directory_ + "/" + name));
  }
  close(lock);
}

// A lock that anyone who can read the package could take does not hold
// repairs back: the stand-in's locks are its own kind.
TEST_F(HostileTest, AnotherAccountsLockOnThePackageBlocksNothing) {
  WriteTestPackage(package_);
  int theirs = open(package_.c_str(), O_RDONLY);
  ASSERT_EQ(0, flock(theirs, LOCK_EX));
  EXPECT_EQ(0u, OpenAndClose(package_, MSIDBOPEN_READONLY));
  EXPECT_EQ(0u, Repair(package_));
  EXPECT_EQ(FileKeys(3, false), Keys(package_));
  close(theirs);
}

// An engine that hangs costs the call its reply time-out, not the run.
TEST_F(HostileTest, AHungEngineCostsTheCallItsTimeOut) {
  StopEngineHost();
  WriteTestPackage(package_);
  SetEngineHostReplyTimeout(300);
  OsStallCall("engine-open");  // Armed before the host is forked: its own.
  MSIHANDLE database = 0;
  EXPECT_EQ(110u, MsiOpenDatabaseA(package_.c_str(), MSIDBOPEN_READONLY, &database));
  OsClearFaults();
  EXPECT_EQ(0u, OpenAndClose(package_, MSIDBOPEN_READONLY));  // A fresh host.
  EXPECT_EQ(std::vector<std::string>{"cached.msi"}, DirectoryEntries(directory_));
}

// A host whose engine hangs must not outlive the run that started it.
TEST_F(HostileTest, TheHostDiesWithItsRun) {
  WriteTestPackage(package_);
  // Orphans come to this process, so that it can wait for the host.
  ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
  pid_t run = fork();
  if (run == 0) {
    StopEngineHost();  // Not this test's host: one of the run's own.
    OsStallCall("engine-open");
    OpenAndClose(package_, MSIDBOPEN_READONLY);
    _exit(0);
  }
  // Finds the run's host once it is there.
  pid_t host = 0;
  while (host == 0) {
    usleep(1000);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      std::ifstream stat_file(entry.path() / "stat");
      int pid = 0, parent = 0;
      std::string name;
      char state;
      if (stat_file >> pid >> name >> state >> parent && parent == run)
        host = pid;
    }
  }
  usleep(100 * 1000);  // Into the engine, where it hangs.
  kill(run, SIGKILL);
  int status = 0;
  EXPECT_EQ(run, waitpid(run, &status, 0));
  // It goes at once; one still there after many seconds lives on, and is
  // ended here so that it holds nothing of the test's.
  pid_t ended = 0;
  for (int waited_ms = 0; ended == 0 && waited_ms < 20000; waited_ms += 10) {
    ended = waitpid(host, &status, WNOHANG);
    if (ended == 0)
      usleep(10 * 1000);
  }
  if (ended == 0) {
    kill(host, SIGKILL);
    waitpid(host, &status, 0);
    ADD_FAILURE() << "the host outlived its run";
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  }
}

}  // namespace
