// Writes a package for demos, benchmarks and crash runs:
//   make_package PATH ROWS [--with-bad-entry]
// The package's RemoveFile table holds ROWS rows that must survive a repair,
// and the bad entry too when asked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/package_fixture.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 ||
      (argc == 4 && strcmp(argv[3], "--with-bad-entry") != 0)) {
    fprintf(stderr, "usage: %s PATH ROWS [--with-bad-entry]\n", argv[0]);
    return 2;
  }
  char* end = nullptr;
  long rows = strtol(argv[2], &end, 10);
  if (*end != '\0' || rows < 0 || rows > 10000000) {
    fprintf(stderr, "%s: ROWS must be a count of rows, not %s\n", argv[0], argv[2]);
    return 2;
  }
  std::string error;
  if (!WritePackage(argv[1], FileKeys(static_cast<int>(rows), argc == 4), &error)) {
    fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
    return 1;
  }
  return 0;
}
