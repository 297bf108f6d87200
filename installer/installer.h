// The Windows Installer operations that the repair calls, and nothing else.
//
// On Windows this is the platform itself: the SDK's headers, linked with
// msi.dll. Elsewhere the same eight operations are declared here and the
// build links an implementation behind them (the stand-in installer, or a
// test double). The repair code includes this header and never asks which.
//
// Every operation returns an installer result code: ERROR_SUCCESS (0) on
// success, ERROR_NO_MORE_ITEMS (259) where an operation can say that there
// is nothing (more) to return, and any other value on failure.
#ifndef TAMLO_INSTALLER_INSTALLER_H_
#define TAMLO_INSTALLER_INSTALLER_H_

#ifdef _WIN32

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#else

#include <cstdint>

typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;

// A handle on an open database, view or record; 0 is no handle.
typedef uint32_t MSIHANDLE;

#define ERROR_SUCCESS 0u
#define ERROR_NO_MORE_ITEMS 259u

// Persist modes, passed where a path could be passed.
#define MSIDBOPEN_READONLY (reinterpret_cast<LPCSTR>(0))
#define MSIDBOPEN_TRANSACT (reinterpret_cast<LPCSTR>(1))

// Writes into |product_buffer| (39 characters) the code of the installed
// product at |product_index| among those related to |upgrade_code|.
// Returns 0 when it did, 259 when there is no product at that index.
UINT MsiEnumRelatedProductsA(LPCSTR upgrade_code, DWORD reserved,
                             DWORD product_index, LPSTR product_buffer);

// Writes into |value_buffer| the value of |property| for |product|.
// |value_count| holds the buffer's capacity in characters on the way in and
// the value's length, terminator excluded, on the way out. Returns 0 when
// the value was written, ERROR_MORE_DATA (234) when it does not fit.
UINT MsiGetProductInfoA(LPCSTR product, LPCSTR property, LPSTR value_buffer,
                        LPDWORD value_count);

// Opens the database at |path| read-only or for transacting, by |persist|.
// Returns 0 and a database handle in |database|. The stand-in takes only
// these two modes and answers ERROR_INVALID_PARAMETER (87) to any other.
UINT MsiOpenDatabaseA(LPCSTR path, LPCSTR persist, MSIHANDLE* database);

// Prepares |query| on |database|. Returns 0 and a view handle in |view|.
UINT MsiDatabaseOpenViewA(MSIHANDLE database, LPCSTR query, MSIHANDLE* view);

// Runs the view's query; |parameters| is a record handle or 0 for none.
UINT MsiViewExecute(MSIHANDLE view, MSIHANDLE parameters);

// Returns 0 and the next row's record handle in |record|, 259 when no row
// is left.
UINT MsiViewFetch(MSIHANDLE view, MSIHANDLE* record);

// Stores in the package the changes made through a database opened for
// transacting. Returns 0 only once they are stored. On a database opened
// read-only it does nothing and returns 0.
UINT MsiDatabaseCommit(MSIHANDLE database);

// Releases a database, view or record handle. A database opened for
// transacting and closed without a commit leaves the package as it was.
UINT MsiCloseHandle(MSIHANDLE handle);

#endif  // _WIN32

#endif  // TAMLO_INSTALLER_INSTALLER_H_
