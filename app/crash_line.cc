#include "app/crash_line.h"

namespace {

// Appends |text| at |*length|, stopping |reserve| characters short of the
// capacity.
void Append(const char* text, std::size_t reserve, char* line, std::size_t* length) {
  while (*text != '\0' && *length + reserve + 1 < kCrashLineCapacity)
    line[(*length)++] = *text++;
}

}  // namespace

void FormatExceptionCode(unsigned long value, char* code) {
  code[0] = '0';
  code[1] = 'x';
  for (int digit = 0; digit < 8; ++digit)
    code[2 + digit] = "0123456789ABCDEF"[(value >> (28 - 4 * digit)) & 0xF];
  code[10] = '\0';
}

std::size_t FormatCrashLine(const char* step, const char* code, char* line) {
  const char kCodeLabel[] = ", exception code: ";
  const std::size_t kTail = sizeof(kCodeLabel) - 1 + 32 + 2;  // Label, code, "\r\n".
  std::size_t length = 0;
  Append("Installer crashed while ", kTail, line, &length);
  Append(step, kTail, line, &length);
  Append(kCodeLabel, 2, line, &length);
  Append(code, 2, line, &length);
  Append("\r\n", 0, line, &length);
  line[length] = '\0';
  return length;
}
