// Fuzzes the stand-in's registration reader through the two product
// operations, as the tool calls them: any bytes in the registration file must
// give a result code, never a crash, a hang or a write past a buffer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "installer/installer.h"
#include "tests/package_fixture.h"

namespace {

std::string g_registry;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_registry = MakeTempDirectory() + "/products";
  setenv("MSI_STANDIN_REGISTRY", g_registry.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteFileBytes(g_registry, std::string(reinterpret_cast<const char*>(data), size));
  for (DWORD index = 0; index < 3; ++index) {
    // Exactly the room the tool gives: a braced GUID and its terminator.
    char* product = static_cast<char*>(malloc(39));
    UINT result = MsiEnumRelatedProductsA("{3B9E71D4-8A52-4F06-9C1E-7D24A6F05B83}", 0,
                                          index, product);
    if (result == ERROR_SUCCESS) {
      if (strlen(product) != 38)
        abort();
      char* path = static_cast<char*>(malloc(4096));
      DWORD count = 4096;
      result = MsiGetProductInfoA(product, "LocalPackage", path, &count);
      if (result == ERROR_SUCCESS && strlen(path) != count)
        abort();
      free(path);
    }
    free(product);
    if (result != ERROR_SUCCESS)
      break;
  }
  return 0;
}
