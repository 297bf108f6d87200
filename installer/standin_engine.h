// What the stand-in needs around the database engine itself.
#ifndef TAMLO_INSTALLER_STANDIN_ENGINE_H_
#define TAMLO_INSTALLER_STANDIN_ENGINE_H_

#include <libmsi.h>

#include "installer/installer.h"

// Keeps the engine's and glib's own warnings off the console: the tool's
// output is its messages alone. Safe to call any number of times.
void SilenceEngineLogs();

// Registers the engine's object types and silences its logs, so that the
// processes forked from this one start with both done. Safe to call any
// number of times.
void PrepareEngine();

// Turns an engine error into the installer's result code, or |fallback| when
// the engine gave no error or one without a code of its own. Frees |error|.
UINT CodeFromEngineError(GError* error, UINT fallback);

#endif  // TAMLO_INSTALLER_STANDIN_ENGINE_H_
