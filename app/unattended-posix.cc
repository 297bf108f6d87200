#include "app/unattended.h"

// The stand-in installer runs its engine in a host process and reports a
// crash there as a result code, and there are no system dialogs to
// silence: nothing is left to do here.

void PrepareUnattendedRun() {}

void EnterStep(const char*) {}
