// The stand-in's product registration: a text file, one installed product a
// line, in enumeration order:
//   product code TAB upgrade code TAB cached package path
// The path is the rest of the line and may hold spaces. Blank lines (nothing
// but spaces and tabs) and lines starting with '#' are skipped. Codes are
// braced GUIDs, compared without regard to case; a product code comes once. The file is named by MSI_STANDIN_REGISTRY, or is
// kDefaultRegistryPath when that is unset or empty.
#ifndef TAMLO_INSTALLER_STANDIN_REGISTRY_H_
#define TAMLO_INSTALLER_STANDIN_REGISTRY_H_

#include <string>
#include <vector>

#include "installer/installer.h"

extern const char kDefaultRegistryPath[];

struct ProductRegistration {
  std::string product_code;
  std::string upgrade_code;
  std::string package_path;
};

// True for a braced GUID: 38 characters, hexadecimal digits in groups of
// 8-4-4-4-12.
bool IsBracedGuid(const char* text);

// Parses a whole registration file. Returns true and fills |products|, or
// false when a line is malformed or a product code comes twice.
bool ParseRegistrations(const std::string& text,
                        std::vector<ProductRegistration>* products);

// Reads the registration file. Returns 0 and fills |products| (left empty
// when there is no file: nothing is installed), or ERROR_BAD_CONFIGURATION
// (1610) when the file can't be read, is not a regular file, is larger than
// a registration can be (1 MiB), or does not parse.
UINT ReadRegistrations(std::vector<ProductRegistration>* products);

#endif  // TAMLO_INSTALLER_STANDIN_REGISTRY_H_
