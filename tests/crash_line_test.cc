// The line a crashed Windows run leaves (app/unattended-win32.cc writes it
// from its exception filter and its abort handler): exact text, and a long
// step cut before the code and the line end are.
#include <string>

#include <gtest/gtest.h>

#include "app/crash_line.h"

namespace {

TEST(CrashLine, ExceptionCodesAsThePlatformWritesThem) {
  struct {
    unsigned long value;
    const char* text;
  } cases[] = {
      {0xC0000005ul, "0xC0000005"},
      {0xC0000409ul, "0xC0000409"},
      {0x80000003ul, "0x80000003"},
      {0x0ul, "0x00000000"},
  };
  for (const auto& c : cases) {
    char code[11];
    FormatExceptionCode(c.value, code);
    EXPECT_STREQ(c.text, code);
  }
}

TEST(CrashLine, NamesTheStepAndTheCode) {
  struct {
    const char* step;
    const char* code;
    const char* line;
  } cases[] = {
      {"probing the cached package", "0xC0000005",
       "Installer crashed while probing the cached package, exception code: 0xC0000005\r\n"},
      {"removing the bad entry", "abort",
       "Installer crashed while removing the bad entry, exception code: abort\r\n"},
      {"starting", "abort", "Installer crashed while starting, exception code: abort\r\n"},
  };
  for (const auto& c : cases) {
    char line[kCrashLineCapacity];
    std::size_t length = FormatCrashLine(c.step, c.code, line);
    EXPECT_STREQ(c.line, line);
    EXPECT_EQ(std::string(c.line).size(), length);
  }
}

TEST(CrashLine, CutsALongStepButKeepsTheCodeAndTheLineEnd) {
  std::string step(1000, 's');
  char line[kCrashLineCapacity];
  std::size_t length = FormatCrashLine(step.c_str(), "abort", line);
  std::string text(line);
  ASSERT_EQ(text.size(), length);
  EXPECT_LT(length, kCrashLineCapacity);
  EXPECT_EQ(0u, text.find("Installer crashed while sss"));
  const std::string tail = "s, exception code: abort\r\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
}

}  // namespace
