// Runs the built tools (the repair and the check) as a user would, against a
// registration file and real packages in a temporary directory.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/package_fixture.h"

extern char** environ;

namespace {

const char kUpgrade[] = "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}";
const char kProductA[] = "{AAAAAAAA-0000-0000-0000-000000000001}";
const char kProductB[] = "{BBBBBBBB-0000-0000-0000-000000000002}";
const char kBanner[] = "\nSearching for Tamlo...\n\n";

struct ToolRun {
  int exit_status;
  std::string out;
  std::string err;
};

class EndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = MakeTempDirectory();
    registry_ = directory_ + "/products";
  }
  void TearDown() override { RemoveTree(directory_); }

  std::string Package(const char* name, bool with_bad_entry) {
    std::string path = directory_ + "/" + name;
    std::string error;
    EXPECT_TRUE(WritePackage(path, FileKeys(5, with_bad_entry), &error)) << error;
    return path;
  }

  void Register(const std::vector<std::pair<const char*, std::string>>& products) {
    std::string text = "# product\tupgrade\tpackage\n";
    for (const auto& product : products)
      text += std::string(product.first) + "\t" + kUpgrade + "\t" + product.second + "\n";
    WriteFileBytes(registry_, text);
  }

  ToolRun RunTool(const char* tool = TAMLO_REPAIR_EXE) {
    std::string out_path = directory_ + "/stdout", err_path = directory_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      if (std::string(*variable).rfind("MSI_STANDIN_REGISTRY=", 0) != 0)
        environment.push_back(*variable);
    }
    environment.push_back("MSI_STANDIN_REGISTRY=" + registry_);
    std::vector<char*> envp;
    for (std::string& variable : environment)
      envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    // TAMLO_TOOL_WRAPPER runs the tool under another program, such as
    // valgrind: its words, split at spaces, go before the tool's path.
    std::vector<std::string> words;
    if (const char* wrapper = getenv("TAMLO_TOOL_WRAPPER")) {
      std::istringstream split(wrapper);
      for (std::string word; split >> word;)
        words.push_back(word);
    }
    words.push_back(tool);
    std::vector<char*> argv;
    for (std::string& word : words)
      argv.push_back(&word[0]);
    argv.push_back(nullptr);

    ToolRun run{-1, "", ""};
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(0, spawned);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      run.exit_status = WEXITSTATUS(status);
    run.out = ReadFileBytes(out_path);
    run.err = ReadFileBytes(err_path);
    return run;
  }

  std::vector<std::string> Keys(const std::string& package) {
    std::vector<std::string> keys;
    EXPECT_TRUE(ReadFileKeys(package, &keys));
    return keys;
  }

  std::string directory_;
  std::string registry_;
};

std::string Located(const char* product, const std::string& package) {
  return std::string(kBanner) + "Found - ProductCode " + product + "\n\n" +
         "Cached database location - " + package + "\n\n";
}

TEST_F(EndToEndTest, RepairsThenFindsNothingOnTheSecondRun) {
  std::string package = Package("cached package.msi", true);
  Register({{kProductA, package}});

  ToolRun first = RunTool();
  EXPECT_EQ(Located(kProductA, package) + "Bad entry found\n\n" +
                "Bad entry removed.\n\n" + "\nDone.\n",
            first.out);
  EXPECT_EQ("", first.err);
  EXPECT_EQ(0, first.exit_status);
  EXPECT_EQ(FileKeys(5, false), Keys(package));

  std::string repaired = ReadFileBytes(package);
  ToolRun second = RunTool();
  EXPECT_EQ(Located(kProductA, package) + "No bad entries to be removed.\n\n" + "\nDone.\n",
            second.out);
  EXPECT_EQ(0, second.exit_status);
  EXPECT_EQ(repaired, ReadFileBytes(package));
}

TEST_F(EndToEndTest, OnlyTheFirstRelatedProductIsTouched) {
  std::string first = Package("first.msi", true);
  std::string second = Package("second.msi", true);
  std::string second_before = ReadFileBytes(second);
  Register({{kProductA, first}, {kProductB, second}});

  ToolRun run = RunTool();
  EXPECT_EQ(Located(kProductA, first) + "Bad entry found\n\n" +
                "Bad entry removed.\n\n" + "\nDone.\n",
            run.out);
  EXPECT_EQ(0, run.exit_status);
  EXPECT_EQ(FileKeys(5, false), Keys(first));
  EXPECT_EQ(second_before, ReadFileBytes(second));
}

// The registration may name a link, as a cache moved to another disk
// leaves it: the file the link names is the package that gets repaired.
TEST_F(EndToEndTest, ALinkedPackageIsRepairedWhereItLives) {
  std::string real = Package("5e1f0.msi", true);
  std::string link = directory_ + "/cached.msi";
  ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
  Register({{kProductA, link}});

  ToolRun run = RunTool();
  EXPECT_EQ(Located(kProductA, link) + "Bad entry found\n\n" + "Bad entry removed.\n\n" +
                "\nDone.\n",
            run.out);
  EXPECT_EQ(0, run.exit_status);
  EXPECT_EQ(FileKeys(5, false), Keys(real));
  char target[4096] = {};
  EXPECT_EQ(static_cast<ssize_t>(real.size()), readlink(link.c_str(), target, sizeof target));
}

TEST_F(EndToEndTest, CheckTellsWhetherARepairIsNeededAndChangesNothing) {
  std::string package = Package("cached package.msi", true);
  Register({{kProductA, package}});

  std::string before = ReadFileBytes(package);
  ToolRun needed = RunTool(TAMLO_CHECK_EXE);
  EXPECT_EQ(Located(kProductA, package) + "Bad entry found\n\n" + "\nDone.\n", needed.out);
  EXPECT_EQ("", needed.err);
  EXPECT_EQ(3, needed.exit_status);
  EXPECT_EQ(before, ReadFileBytes(package));

  ASSERT_EQ(0, RunTool().exit_status);
  std::string repaired = ReadFileBytes(package);
  ToolRun clean = RunTool(TAMLO_CHECK_EXE);
  EXPECT_EQ(Located(kProductA, package) + "No bad entries to be removed.\n\n" + "\nDone.\n",
            clean.out);
  EXPECT_EQ(0, clean.exit_status);
  EXPECT_EQ(repaired, ReadFileBytes(package));
}

TEST_F(EndToEndTest, PackageWithoutTheTableIsCleanForBothTools) {
  std::string package = directory_ + "/no-table.msi";
  std::string error;
  ASSERT_TRUE(WritePackageWithoutRemoveFile(package, &error)) << error;
  std::string before = ReadFileBytes(package);
  Register({{kProductA, package}});

  for (const char* tool : {TAMLO_REPAIR_EXE, TAMLO_CHECK_EXE}) {
    SCOPED_TRACE(tool);
    ToolRun run = RunTool(tool);
    EXPECT_EQ(Located(kProductA, package) +
                  "Couldn't open view, failed with error code: 1615\n" + "\nDone.\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ(before, ReadFileBytes(package));
  }
}

struct FailingRunCase {
  const char* name;
  std::string registration;  // "-" for no registration file.
  std::string out;           // After the banner.
  int exit_status;
};

TEST_F(EndToEndTest, FailuresAreReportedWithTheirCodeAndStatus) {
  std::string garbage = directory_ + "/garbage.msi";
  WriteFileBytes(garbage, "not a package");
  std::string crashing = directory_ + "/crashing.msi";
  WriteFileBytes(crashing, ReadFileBytes(TAMLO_TEST_DATA "/crashes-engine-on-query.msi"));
  std::string line = std::string(kProductA) + "\t" + kUpgrade + "\t";
  std::string found = std::string("Found - ProductCode ") + kProductA + "\n\n";
  const FailingRunCase cases[] = {
      {"nothing installed", "-",
       "No products with the Tamlo upgrade code were found\n", 2},
      {"broken registration", "this is not a registration\n",
       "Couldn't enumerate related products, failed with error code: 1610\n", 1},
      {"path too long for the buffer", line + "/" + std::string(4095, 'p') + "\n",
       found + "Couldn't locate cached package, failed with error code: 234\n", 1},
      {"package that is no database", line + garbage + "\n",
       found + "Cached database location - " + garbage + "\n\n" +
           "Couldn't open cached package for reading, failed with error code: 110\n" +
           "\nDone.\n",
       1},
      {"package that crashes the engine", line + crashing + "\n",
       found + "Cached database location - " + crashing + "\n\n" +
           "Couldn't open view, failed with error code: 1627\n" + "\nDone.\n",
       1},
  };
  // Up to the probe, the check writes what the repair writes and ends the
  // same way.
  for (const FailingRunCase& c : cases) {
    for (const char* tool : {TAMLO_REPAIR_EXE, TAMLO_CHECK_EXE}) {
      SCOPED_TRACE(std::string(c.name) + ", " + tool);
      unlink(registry_.c_str());
      if (c.registration != "-")
        WriteFileBytes(registry_, c.registration);
      ToolRun run = RunTool(tool);
      EXPECT_EQ(kBanner + c.out, run.out);
      EXPECT_EQ("", run.err);
      EXPECT_EQ(c.exit_status, run.exit_status);
    }
  }
}

}  // namespace
