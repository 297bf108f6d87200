// The driver, the probe and the removal against the scripted installer:
// every failure point, with the exact console text, the exit status and the
// exact calls made; then the read-only check the same way.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/driver.h"
#include "tests/fake_installer.h"

namespace {

const char kBanner[] = "\nSearching for Tamlo...\n\n";
const char kFound[] = "Found - ProductCode {0D1C2B3A-4958-6776-8594-A3B2C1D0E9F8}\n\n";
const char kLocation[] =
    "Cached database location - C:\\Windows\\Installer\\5e1f0.msi\n\n";
const char kDone[] = "\nDone.\n";

struct ScriptedResult {
  FakeOperation operation;
  int call;
  UINT result;
};

struct RepairCase {
  const char* name;
  std::vector<ScriptedResult> script;
  std::string output;  // After the banner.
  int exit_status;
  std::string calls;
};

std::string Join(const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words)
    joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

const std::string kLookup = std::string(kFound) + kLocation;
// A probe whose fetch gave no record has two handles to close, not three.
const char kProbeNoRecordCalls[] =
    "enum info open-ro view-select exec fetch close close";
const char kProbeCalls[] =
    "enum info open-ro view-select exec fetch close close close";
const char kRepairCalls[] =
    "enum info open-ro view-select exec fetch close close close "
    "open-tx view-delete exec commit close close";

const RepairCase kCases[] = {
    {"Repairs", {},
     kLookup + "Bad entry found\n\n" + "Bad entry removed.\n\n" + kDone,
     kExitClean, kRepairCalls},
    {"NoRelatedProduct", {{kFakeEnumRelatedProducts, 0, 259}},
     "No products with the Tamlo upgrade code were found\n",
     kExitNoProduct, "enum"},
    {"EnumerationFails", {{kFakeEnumRelatedProducts, 0, 1610}},
     "Couldn't enumerate related products, failed with error code: 1610\n",
     kExitFailure, "enum"},
    {"PathLookupFails", {{kFakeGetProductInfo, 0, 234}},
     std::string(kFound) +
         "Couldn't locate cached package, failed with error code: 234\n",
     kExitFailure, "enum info"},
    {"ProbeOpenFails", {{kFakeOpenDatabase, 0, 110}},
     kLookup +
         "Couldn't open cached package for reading, failed with error code: 110\n" +
         kDone,
     kExitFailure, "enum info open-ro"},
    {"ProbeViewFails", {{kFakeOpenView, 0, 1627}},
     kLookup + "Couldn't open view, failed with error code: 1627\n" + kDone,
     kExitFailure, "enum info open-ro view-select close"},
    // A package with no RemoveFile table can't hold the bad entry.
    {"PackageWithoutTheTableIsClean", {{kFakeOpenView, 0, 1615}},
     kLookup + "Couldn't open view, failed with error code: 1615\n" + kDone,
     kExitClean, "enum info open-ro view-select close"},
    {"NothingToRemove", {{kFakeViewFetch, 0, 259}},
     kLookup + "No bad entries to be removed.\n\n" + kDone, kExitClean,
     kProbeNoRecordCalls},
    {"FetchFailsAfterFailedExecute",
     {{kFakeViewExecute, 0, 1627}, {kFakeViewFetch, 0, 1627}},
     kLookup + "Record fetch failed with error code: 1627\n" + kDone,
     kExitFailure, kProbeNoRecordCalls},
    {"FailedExecuteIsNotExaminedByTheProbe", {{kFakeViewExecute, 0, 1627}},
     kLookup + "Bad entry found\n\n" + "Bad entry removed.\n\n" + kDone,
     kExitClean, kRepairCalls},
    {"RemovalOpenFails", {{kFakeOpenDatabase, 1, 110}},
     kLookup + "Bad entry found\n\n" +
         "Couldn't open cached package for transacting, failed with error code: 110\n" +
         kDone,
     kExitFailure, std::string(kProbeCalls) + " open-tx"},
    {"RemovalViewFails", {{kFakeOpenView, 1, 1615}},
     kLookup + "Bad entry found\n\n" +
         "Couldn't open view, failed with error code: 1615\n" + kDone,
     kExitFailure, std::string(kProbeCalls) + " open-tx view-delete close"},
    {"DeleteFailsAndNothingIsCommitted", {{kFakeViewExecute, 1, 1627}},
     kLookup + "Bad entry found\n\n" +
         "Couldn't execute Delete query, failed with error code: 1627\n" + kDone,
     kExitFailure,
     std::string(kProbeCalls) + " open-tx view-delete exec close close"},
    // Codes above 2^31 are written as the signed numbers they become.
    {"CommitFails", {{kFakeDatabaseCommit, 0, 0x80070005u}},
     kLookup + "Bad entry found\n\n" +
         "Couldn't commit database, failed with error code: -2147024891\n\n" +
         kDone,
     kExitFailure, kRepairCalls},
};

// The check: the repair's lookups and probe with the same messages, then
// "Done."; never an open for transacting.
const RepairCase kCheckCases[] = {
    {"BadEntryPresent", {}, kLookup + "Bad entry found\n\n" + kDone,
     kExitRepairNeeded, kProbeCalls},
    {"NothingToRemove", {{kFakeViewFetch, 0, 259}},
     kLookup + "No bad entries to be removed.\n\n" + kDone, kExitClean,
     kProbeNoRecordCalls},
    {"NoRelatedProduct", {{kFakeEnumRelatedProducts, 0, 259}},
     "No products with the Tamlo upgrade code were found\n",
     kExitNoProduct, "enum"},
    {"EnumerationFails", {{kFakeEnumRelatedProducts, 0, 1610}},
     "Couldn't enumerate related products, failed with error code: 1610\n",
     kExitFailure, "enum"},
    {"PathLookupFails", {{kFakeGetProductInfo, 0, 234}},
     std::string(kFound) +
         "Couldn't locate cached package, failed with error code: 234\n",
     kExitFailure, "enum info"},
    {"ProbeOpenFails", {{kFakeOpenDatabase, 0, 5}},
     kLookup +
         "Couldn't open cached package for reading, failed with error code: 5\n" +
         kDone,
     kExitFailure, "enum info open-ro"},
    {"ProbeViewFails", {{kFakeOpenView, 0, 1627}},
     kLookup + "Couldn't open view, failed with error code: 1627\n" + kDone,
     kExitFailure, "enum info open-ro view-select close"},
    {"PackageWithoutTheTableIsClean", {{kFakeOpenView, 0, 1615}},
     kLookup + "Couldn't open view, failed with error code: 1615\n" + kDone,
     kExitClean, "enum info open-ro view-select close"},
    {"FetchFails", {{kFakeViewFetch, 0, 1627}},
     kLookup + "Record fetch failed with error code: 1627\n" + kDone,
     kExitFailure, kProbeNoRecordCalls},
};

void PrintTo(const RepairCase& c, std::ostream* out) {
  *out << c.name;
}

// Runs |run| against the case's script and checks the exact text, the exit
// status, the calls in order, and what the fake saw go wrong (which
// includes any installer call made while output was still buffered).
void ExpectRun(int (*run)(), const RepairCase& c) {
  FakeReset();
  for (const ScriptedResult& scripted : c.script)
    FakeSetResult(scripted.operation, scripted.call, scripted.result);

  testing::internal::CaptureStdout();
  int exit_status = run();
  fflush(stdout);
  std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(kBanner + c.output, output);
  EXPECT_EQ(c.exit_status, exit_status);
  EXPECT_EQ(c.calls, Join(FakeCalls()));
  EXPECT_EQ("", Join(FakeProblems()));
}

std::string CaseName(const testing::TestParamInfo<RepairCase>& param) {
  return param.param.name;
}

class RepairRunTest : public testing::TestWithParam<RepairCase> {};

TEST_P(RepairRunTest, WritesExactTextExitsAndCallsInOrder) {
  ExpectRun(RunRepair, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, RepairRunTest, testing::ValuesIn(kCases), CaseName);

class CheckRunTest : public testing::TestWithParam<RepairCase> {};

TEST_P(CheckRunTest, WritesExactTextExitsAndCallsInOrder) {
  ExpectRun(RunCheck, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckRunTest, testing::ValuesIn(kCheckCases), CaseName);

TEST(GetCachedPackagePathTest, HandsBackTheInstallersCodeUnchanged) {
  FakeReset();
  char path[kPackagePathCapacity];
  FakeSetResult(kFakeGetProductInfo, 0, 1605);
  FakeSetResult(kFakeGetProductInfo, 1, ERROR_SUCCESS);
  FakeSetProductCode("{0D1C2B3A-4958-6776-8594-A3B2C1D0E9F8}");
  EXPECT_EQ(1605u, GetCachedPackagePath("{0D1C2B3A-4958-6776-8594-A3B2C1D0E9F8}", path));
  EXPECT_EQ(0u, GetCachedPackagePath("{0D1C2B3A-4958-6776-8594-A3B2C1D0E9F8}", path));
  EXPECT_STREQ("C:\\Windows\\Installer\\5e1f0.msi", path);
  EXPECT_EQ("", Join(FakeProblems()));
}

}  // namespace
