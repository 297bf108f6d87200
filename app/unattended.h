// What a run needs when no one watches it: deployment systems start the
// tools on many machines at once and read only the console log and the
// exit status. The build picks one implementation per platform.
#ifndef TAMLO_APP_UNATTENDED_H_
#define TAMLO_APP_UNATTENDED_H_

// Sets the process up, once, before the first installer call: no system
// dialog may wait for a click, and a crash inside the installer ends the
// run with one line on standard output, naming the step that was running
// and the exception code (or "abort" for an abort()), and exit status 1.
// Returns nothing; where the platform needs none of this (the stand-in
// installer already turns an engine crash into a result code), it does
// nothing.
void PrepareUnattendedRun();

// Records |step| (static text, such as "probing the cached package") as
// the step now running, for the crash line. Returns nothing.
void EnterStep(const char* step);

#endif  // TAMLO_APP_UNATTENDED_H_
