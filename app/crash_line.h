// The one line a crashed run leaves, built without the C runtime: it is
// written from a crash handler, where the runtime may be what crashed.
#ifndef TAMLO_APP_CRASH_LINE_H_
#define TAMLO_APP_CRASH_LINE_H_

#include <cstddef>

// Room for any crash line: the fixed text, a step of up to 200 characters,
// the code, the line end and the terminator.
const std::size_t kCrashLineCapacity = 256;

// Writes into |code| (11 characters) |value| as the platform writes an
// exception code: "0x" and eight upper-case hex digits.
void FormatExceptionCode(unsigned long value, char* code);

// Writes into |line| (kCrashLineCapacity characters) "Installer crashed
// while STEP, exception code: CODE" and "\r\n", what the C runtime's text
// mode writes for "\n"; a longer step is cut, never the line end. Returns
// the line's length, terminator excluded.
std::size_t FormatCrashLine(const char* step, const char* code, char* line);

#endif  // TAMLO_APP_CRASH_LINE_H_
