// The stand-in's database operations, done in this process: installer
// handles over the engine's objects, and transacted opens that reach the
// package only through a commit. Each behaves as the installer operation it
// stands for (installer/installer.h) and returns the same codes.
//
// The engine trusts the package's structures: a damaged package can crash it.
// So the installer operations run these in an engine host process (see
// standin_host.h), and only tests call them directly.
#ifndef TAMLO_INSTALLER_STANDIN_DATABASE_H_
#define TAMLO_INSTALLER_STANDIN_DATABASE_H_

#include "installer/installer.h"

UINT LocalOpenDatabase(LPCSTR path, LPCSTR persist, MSIHANDLE* database);
UINT LocalOpenView(MSIHANDLE database, LPCSTR query, MSIHANDLE* view);
UINT LocalViewExecute(MSIHANDLE view, MSIHANDLE parameters);
UINT LocalViewFetch(MSIHANDLE view, MSIHANDLE* record);
UINT LocalDatabaseCommit(MSIHANDLE database);
UINT LocalCloseHandle(MSIHANDLE handle);

// Closes every handle still open, as a process that is going away must, so
// that no staging is left behind.
void LocalCloseAll();

#endif  // TAMLO_INSTALLER_STANDIN_DATABASE_H_
