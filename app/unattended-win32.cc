#include "app/unattended.h"

#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "app/crash_line.h"

namespace {

const char* g_running_step = "starting";

// Writes the crash line and ends the process with status 1. Not ExitProcess:
// a crashed library's detach code must not run.
void EndRun(const char* code) {
  char line[kCrashLineCapacity];
  DWORD length = static_cast<DWORD>(FormatCrashLine(g_running_step, code, line));
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, length, &written, nullptr);
  TerminateProcess(GetCurrentProcess(), 1);
}

// Runs instead of the system's crash handling (Windows Error Reporting's
// dialog, or Wine's debugger): one line and status 1, so that a scripted
// run ends with a known status and a readable log.
LONG WINAPI EndRunOnCrash(EXCEPTION_POINTERS* exception) {
  char code[11];
  FormatExceptionCode(exception->ExceptionRecord->ExceptionCode, code);
  EndRun(code);
  return EXCEPTION_EXECUTE_HANDLER;
}

// abort() would end the run with status 3, which the check uses for "repair
// needed": a crash must never read as a result.
void __cdecl EndRunOnAbort(int) {
  EndRun("abort");
}

}  // namespace

void PrepareUnattendedRun() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndRunOnCrash);
  signal(SIGABRT, EndRunOnAbort);
#if defined(_MSC_VER) || defined(_UCRT)
  // No message box and no fault report before the handler's line; the old
  // msvcrt.dll that MinGW builds use has neither, nor this function.
  _set_abort_behavior(0, _WRITE_ABORT_MSG | _CALL_REPORTFAULT);
#endif
}

void EnterStep(const char* step) {
  g_running_step = step;
}
