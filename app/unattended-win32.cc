#include "app/unattended.h"

#include <windows.h>

namespace {

const char* g_running_step = "starting";

void WriteToStdout(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

// Runs instead of the system's crash handling (Windows Error Reporting's
// dialog, or Wine's debugger): one line and status 1, so that a scripted
// run ends with a known status and a readable log.
LONG WINAPI EndRunOnCrash(EXCEPTION_POINTERS* exception) {
  DWORD code = exception->ExceptionRecord->ExceptionCode;
  // Built by hand: the C runtime may be what crashed.
  char hex[11] = "0x";
  for (int digit = 0; digit < 8; ++digit)
    hex[2 + digit] = "0123456789ABCDEF"[(code >> (28 - 4 * digit)) & 0xF];
  hex[10] = '\0';
  WriteToStdout("Installer crashed while ");
  WriteToStdout(g_running_step);
  WriteToStdout(", exception code: ");
  WriteToStdout(hex);
  WriteToStdout("\r\n");  // What the C runtime's text mode writes for "\n".
  // Not ExitProcess: a crashed library's detach code must not run.
  TerminateProcess(GetCurrentProcess(), 1);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void PrepareUnattendedRun() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndRunOnCrash);
}

void EnterStep(const char* step) {
  g_running_step = step;
}
