#include "app/driver.h"

// Like the repair, the check takes no configuration: arguments and
// environment are ignored.
int main() {
  return RunCheck();
}
