// Finding and removing the bad entry of a cached package: the row of its
// RemoveFile table whose FileKey is "TmpFiles".
#ifndef TAMLO_REPAIR_BAD_ENTRY_H_
#define TAMLO_REPAIR_BAD_ENTRY_H_

// Looks for the bad entry in the package at |package_path|, opened
// read-only, and writes one line on the outcome. Returns true when the entry
// is there, false when it is not or when looking failed; |probe_failed| is
// set to whether looking failed, so that a failure is not mistaken for a
// clean package. A package that opened but has no RemoveFile table is
// clean: the view's failure is reported, and |probe_failed| is false.
bool FindBadEntry(const char* package_path, bool* probe_failed);

// Deletes the bad entry from the package at |package_path|, opened for
// transacting, commits, and writes one line on the outcome. Returns true when
// the commit stored the change, false on any failure (the package is then
// left as it was, or as the engine's commit left it).
bool RemoveBadEntry(const char* package_path);

#endif  // TAMLO_REPAIR_BAD_ENTRY_H_
