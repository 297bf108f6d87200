// The installer's database operations run in an engine host: a child process
// forked when the first database is opened, and ended when this process ends
// (at its exit, or killed by the system when this process dies). The engine trusts the
// package's structures, and a damaged package can crash it or make it loop;
// then only the host goes down. The call that was running returns a failure
// code (ERROR_OPEN_FAILED for an open, ERROR_FUNCTION_FAILED for any other),
// the host's other handles can only be closed, and this process carries on.
#ifndef TAMLO_INSTALLER_STANDIN_HOST_H_
#define TAMLO_INSTALLER_STANDIN_HOST_H_

// For tests: with false, the operations run in this process instead, so that
// faults injected here reach them. Takes effect for handles opened after it.
void SetEngineHostEnabled(bool enabled);

// For tests: ends the engine host, as this process's exit would; the next
// call starts a fresh one (which inherits the faults armed by then).
void StopEngineHost();

// For tests: how long a call waits for the host's reply before it takes the
// host for hung (0: the default, two minutes).
void SetEngineHostReplyTimeout(int timeout_ms);

#endif  // TAMLO_INSTALLER_STANDIN_HOST_H_
