// Result codes that the stand-in installer returns besides success and
// "no more items", numbered as the Windows Installer numbers them.
#ifndef TAMLO_INSTALLER_STANDIN_CODES_H_
#define TAMLO_INSTALLER_STANDIN_CODES_H_

#include "installer/installer.h"

const UINT kErrorAccessDenied = 5;
const UINT kErrorInvalidHandle = 6;
const UINT kErrorNotEnoughMemory = 8;
const UINT kErrorInvalidData = 13;
const UINT kErrorOutOfMemory = 14;
const UINT kErrorInvalidParameter = 87;
const UINT kErrorOpenFailed = 110;
const UINT kErrorCallNotImplemented = 120;
const UINT kErrorMoreData = 234;
const UINT kErrorNotFound = 1168;
const UINT kErrorContinue = 1246;
const UINT kErrorUnknownProduct = 1605;
const UINT kErrorUnknownProperty = 1608;
const UINT kErrorBadConfiguration = 1610;
const UINT kErrorBadQuerySyntax = 1615;
const UINT kErrorInvalidField = 1616;
const UINT kErrorFunctionFailed = 1627;
const UINT kErrorInvalidTable = 1628;
const UINT kErrorDatatypeMismatch = 1629;
const UINT kErrorInvalidDatatype = 1804;

#endif  // TAMLO_INSTALLER_STANDIN_CODES_H_
