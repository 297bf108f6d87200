#include "app/driver.h"

// Arguments and environment are ignored: the tool takes no configuration.
int main() {
  return RunRepair();
}
