// The stand-in's product registration, read through the two product
// operations as the tool reads it.
#include <stdlib.h>
#include <sys/stat.h>

#include <errno.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "installer/installer.h"
#include "installer/standin_os.h"
#include "tests/package_fixture.h"

namespace {

const char kUpgrade[] = "{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}";
const char kOtherUpgrade[] = "{00000000-1111-2222-3333-444444444444}";
const char kProductA[] = "{AAAAAAAA-0000-0000-0000-000000000001}";
const char kProductB[] = "{BBBBBBBB-0000-0000-0000-000000000002}";

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override {
    directory_ = MakeTempDirectory();
    registry_ = directory_ + "/products";
    setenv("MSI_STANDIN_REGISTRY", registry_.c_str(), 1);
  }
  void TearDown() override {
    OsClearFaults();
    unsetenv("MSI_STANDIN_REGISTRY");
    RemoveTree(directory_);
  }
  void Register(const std::string& text) { WriteFileBytes(registry_, text); }

  // The product at |index| related to the tool's upgrade code, or "" with
  // the result code in |result|.
  std::string Related(DWORD index, UINT* result) {
    char code[39] = {};
    *result = MsiEnumRelatedProductsA(kUpgrade, 0, index, code);
    return code;
  }

  std::string directory_;
  std::string registry_;
};

std::string Line(const char* product, const char* upgrade, const std::string& path) {
  return std::string(product) + "\t" + upgrade + "\t" + path + "\n";
}

struct EnumerationCase {
  const char* name;
  std::string registration;  // "-" for no file at all.
  UINT result;
  const char* product;
};

TEST_F(RegistryTest, EnumeratesTheFirstRelatedProductOrSaysWhy) {
  const std::string lower_case_upgrade = "{3b9e71d4-8a52-4f06-9c1e-7d24a6f05b83}";
  const EnumerationCase cases[] = {
      {"no file: nothing installed", "-", 259, ""},
      {"empty file", "", 259, ""},
      {"comments and blank lines", "# products\n\n  \t \n#x\n", 259, ""},
      {"unrelated only", Line(kProductA, kOtherUpgrade, "/p.msi"), 259, ""},
      {"case of the code ignored",
       Line(kProductA, lower_case_upgrade.c_str(), "/p.msi"), 0, kProductA},
      {"first of two related, after an unrelated one",
       Line("{CCCCCCCC-0000-0000-0000-000000000003}", kOtherUpgrade, "/o.msi") +
           Line(kProductA, kUpgrade, "/a.msi") +
           Line(kProductB, kUpgrade, "/b.msi"),
       0, kProductA},
      {"CRLF line ends",
       "# x\r\n" + std::string(kProductA) + "\t" + kUpgrade + "\t/p.msi\r\n", 0,
       kProductA},
      {"one tab only", std::string(kProductA) + "\t" + kUpgrade + "\n", 1610, ""},
      {"no path", std::string(kProductA) + "\t" + kUpgrade + "\t\n", 1610, ""},
      {"unbraced code", "AAAAAAAA-0000-0000-0000-000000000001\t" +
                            std::string(kUpgrade) + "\t/p.msi\n", 1610, ""},
      {"a code one digit short", "{AAAAAAAA-0000-0000-0000-00000000001}\t" +
                                     std::string(kUpgrade) + "\t/p.msi\n", 1610, ""},
      {"a malformed line after a good one",
       Line(kProductA, kUpgrade, "/p.msi") + "junk\n", 1610, ""},
  };
  for (const EnumerationCase& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(registry_.c_str());
    if (c.registration != "-")
      Register(c.registration);
    UINT result = 0;
    std::string product = Related(0, &result);
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.product, product);
  }
}

TEST_F(RegistryTest, EnumerationGoesOnInFileOrderAndEnds) {
  Register(Line(kProductA, kUpgrade, "/a.msi") + Line(kProductB, kUpgrade, "/b.msi"));
  UINT result = 0;
  EXPECT_EQ(kProductB, Related(1, &result));
  EXPECT_EQ(0u, result);
  Related(2, &result);
  EXPECT_EQ(259u, result);
}

struct BrokenRegistrationCase {
  const char* name;
  std::function<void(const std::string& path)> make;
};

// What is no registration at all is a broken one, at once: no FIFO holds
// the run, no device fills its memory, and a product code that comes twice
// can't send the repair to another product's package.
TEST_F(RegistryTest, WhatIsNoRegistrationIsBrokenAtOnce) {
  alarm(60);  // A hang fails the test instead of holding the run.
  const std::string lower_case_a = "{aaaaaaaa-0000-0000-0000-000000000001}";
  const BrokenRegistrationCase cases[] = {
      {"a directory", [](const std::string& p) { mkdir(p.c_str(), 0700); }},
      {"a FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0600); }},
      {"a link to a device", [](const std::string& p) { symlink("/dev/zero", p.c_str()); }},
      {"larger than any registration",
       [](const std::string& p) {
         WriteFileBytes(p, Line(kProductA, kUpgrade, "/a.msi") +
                               std::string(1024 * 1024, '#') + "\n");
       }},
      {"a product code twice, under another upgrade code first",
       [&](const std::string& p) {
         WriteFileBytes(p, Line(lower_case_a.c_str(), kOtherUpgrade, "/other.msi") +
                               Line(kProductA, kUpgrade, "/a.msi"));
       }},
  };
  for (const BrokenRegistrationCase& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTree(registry_);
    c.make(registry_);
    UINT result = 0;
    Related(0, &result);
    EXPECT_EQ(1610u, result);
    char path[16];
    DWORD count = sizeof path;
    EXPECT_EQ(1610u, MsiGetProductInfoA(kProductA, "LocalPackage", path, &count));
  }
  alarm(0);

  // A read that fails half way is not taken for the end of the file.
  RemoveTree(registry_);
  Register(Line(kProductA, kUpgrade, "/a.msi"));
  OsFailCall(5, EIO, false);  // Looked at, fstat, opened, the look closed, read.
  UINT result = 0;
  Related(0, &result);
  EXPECT_EQ(1610u, result);
  EXPECT_EQ((std::vector<std::string>{"read"}), OsFailedCalls());
}

TEST_F(RegistryTest, LocalPackageIsTheRestOfTheLine) {
  Register(Line(kProductA, kUpgrade, "/var/cache/My Packages/a b.msi"));
  char path[4096];
  DWORD count = sizeof path;
  ASSERT_EQ(0u, MsiGetProductInfoA("{aaaaaaaa-0000-0000-0000-000000000001}",
                                   "LocalPackage", path, &count));
  EXPECT_STREQ("/var/cache/My Packages/a b.msi", path);
  EXPECT_EQ(30u, count);

  count = sizeof path;
  EXPECT_EQ(1608u, MsiGetProductInfoA(kProductA, "InstallLocation", path, &count));
  EXPECT_EQ(1605u, MsiGetProductInfoA(kProductB, "LocalPackage", path, &count));
  unlink(registry_.c_str());
  EXPECT_EQ(1605u, MsiGetProductInfoA(kProductA, "LocalPackage", path, &count));
}

TEST_F(RegistryTest, APathMustFitWithItsTerminator) {
  static char path[4096];
  for (size_t length : {4095u, 4096u}) {
    SCOPED_TRACE(length);
    Register(Line(kProductA, kUpgrade, "/" + std::string(length - 1, 'p')));
    DWORD count = sizeof path;
    UINT result = MsiGetProductInfoA(kProductA, "LocalPackage", path, &count);
    EXPECT_EQ(length < sizeof path ? 0u : 234u, result);
    EXPECT_EQ(length, count);
    if (result == 0) {
      EXPECT_EQ(length, strlen(path));
    }
  }
}

}  // namespace
