#include "installer/standin_registry.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include "installer/standin_codes.h"
#include "installer/standin_os.h"
#include "installer/standin_package.h"

const char kDefaultRegistryPath[] = "/var/lib/msi-standin/products";

namespace {

const size_t kBracedGuidLength = 38;
// A registration holds a line a product, a few hundred bytes each.
const size_t kLongestRegistration = 1024 * 1024;

const char* RegistryPath() {
  const char* path = getenv("MSI_STANDIN_REGISTRY");
  return (path != nullptr && path[0] != '\0') ? path : kDefaultRegistryPath;
}

// Reads the whole file at |path| into |text|. Returns 0, ENOENT when there
// is no file, or another errno when it can't be read or is not a
// registration at all: not a regular file (a FIFO would block the read for
// ever, a device never end), or larger than any registration could be.
int ReadWholeFile(const char* path, std::string* text) {
  // Looked at before it is opened for reading: opening a device or a FIFO
  // can do something (wake a writer, arm a watchdog) even when nothing is
  // read. Then opened through that very look.
  int looked_at = OsOpen(path, O_PATH, 0);
  if (looked_at < 0)
    return errno;
  struct stat status;
  int error = 0;
  if (OsFstat(looked_at, &status) != 0)
    error = errno;
  else if (!S_ISREG(status.st_mode))
    error = EINVAL;
  else if (status.st_size > static_cast<off_t>(kLongestRegistration))
    error = EFBIG;
  int fd = error == 0 ? OsOpen(PathOfDescriptor(looked_at).c_str(),
                               O_RDONLY | O_NONBLOCK | O_NOCTTY, 0)
                      : -1;
  if (error == 0 && fd < 0)
    error = errno;
  OsClose(looked_at);
  if (fd < 0)
    return error;
  text->clear();
  char buffer[65536];
  while (error == 0) {
    ssize_t got = OsRead(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      error = errno;
    else if (got == 0)
      break;
    else if (text->size() + static_cast<size_t>(got) > kLongestRegistration)
      error = EFBIG;  // Grew while being read.
    else
      text->append(buffer, static_cast<size_t>(got));
  }
  OsClose(fd);
  return error;
}

bool IsBlank(const std::string& line) {
  return line.find_first_not_of(" \t") == std::string::npos;
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

bool IsBracedGuidText(const std::string& text) {
  return text.size() == kBracedGuidLength && IsBracedGuid(text.c_str());
}

bool ParseLine(const std::string& line, ProductRegistration* product) {
  size_t first_tab = line.find('\t');
  if (first_tab == std::string::npos)
    return false;
  size_t second_tab = line.find('\t', first_tab + 1);
  if (second_tab == std::string::npos)
    return false;
  product->product_code = line.substr(0, first_tab);
  product->upgrade_code = line.substr(first_tab + 1, second_tab - first_tab - 1);
  product->package_path = line.substr(second_tab + 1);
  return IsBracedGuidText(product->product_code) &&
         IsBracedGuidText(product->upgrade_code) &&
         !product->package_path.empty() &&
         product->package_path.find('\0') == std::string::npos;
}

}  // namespace

bool IsBracedGuid(const char* text) {
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  for (size_t i = 0; i < kBracedGuidLength; ++i) {
    char c = text[i];
    if (kShape[i] == 'X' ? !IsHexDigit(c) : c != kShape[i])
      return false;  // Also stops at a terminator that comes too early.
  }
  return text[kBracedGuidLength] == '\0';
}

bool ParseRegistrations(const std::string& text,
                        std::vector<ProductRegistration>* products) {
  products->clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (IsBlank(line) || line[0] == '#')
      continue;
    ProductRegistration product;
    if (!ParseLine(line, &product))
      return false;
    // A product registered twice has no one package: which line is right
    // can't be told, and guessing could repair another product's package.
    for (const ProductRegistration& earlier : *products) {
      if (strcasecmp(earlier.product_code.c_str(), product.product_code.c_str()) == 0)
        return false;
    }
    products->push_back(product);
  }
  return true;
}

UINT ReadRegistrations(std::vector<ProductRegistration>* products) {
  products->clear();
  std::string text;
  int error = ReadWholeFile(RegistryPath(), &text);
  if (error == ENOENT)
    return ERROR_SUCCESS;
  if (error != 0 || !ParseRegistrations(text, products))
    return kErrorBadConfiguration;
  return ERROR_SUCCESS;
}

// The two product operations of the installer.

UINT MsiEnumRelatedProductsA(LPCSTR upgrade_code, DWORD reserved,
                             DWORD product_index, LPSTR product_buffer) {
  if (upgrade_code == nullptr || !IsBracedGuid(upgrade_code) || reserved != 0 ||
      product_buffer == nullptr)
    return kErrorInvalidParameter;
  std::vector<ProductRegistration> products;
  UINT result = ReadRegistrations(&products);
  if (result != ERROR_SUCCESS)
    return result;
  DWORD index = 0;
  for (const ProductRegistration& product : products) {
    if (strcasecmp(product.upgrade_code.c_str(), upgrade_code) != 0)
      continue;
    if (index++ == product_index) {
      memcpy(product_buffer, product.product_code.c_str(), kBracedGuidLength + 1);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_NO_MORE_ITEMS;
}

UINT MsiGetProductInfoA(LPCSTR product, LPCSTR property, LPSTR value_buffer,
                        LPDWORD value_count) {
  if (product == nullptr || !IsBracedGuid(product) || property == nullptr ||
      (value_buffer != nullptr && value_count == nullptr))
    return kErrorInvalidParameter;
  std::vector<ProductRegistration> products;
  UINT result = ReadRegistrations(&products);
  if (result != ERROR_SUCCESS)
    return result;
  const ProductRegistration* found = nullptr;
  for (const ProductRegistration& registered : products) {
    if (strcasecmp(registered.product_code.c_str(), product) == 0) {
      found = &registered;
      break;
    }
  }
  if (found == nullptr)
    return kErrorUnknownProduct;
  if (strcmp(property, "LocalPackage") != 0)
    return kErrorUnknownProperty;

  const std::string& value = found->package_path;
  if (value_count == nullptr)
    return ERROR_SUCCESS;  // Only asked whether the product has the value.
  DWORD capacity = *value_count;
  *value_count = static_cast<DWORD>(value.size());
  if (value_buffer == nullptr)
    return ERROR_SUCCESS;  // Only asked for the length.
  if (value.size() + 1 > capacity)
    return kErrorMoreData;
  memcpy(value_buffer, value.c_str(), value.size() + 1);
  return ERROR_SUCCESS;
}
