// The archive's name rule: which entry names stay inside the folder they are extracted into.
//
// An entry name is a path relative to the destination prefix; '/' and '\' both separate levels.
// A name leaves the prefix with a ".." level (either separator), a leading '/' or '\', or a ':'
// (a drive, or a Windows file stream). On Windows a level named as a device (CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM1-9, LPT1-9, in any case, with or without an extension, "nul.txt") opens
// that device instead of a file, so there such names leave it too; elsewhere they are ordinary.
#ifndef ZORV_STAR_NAMES_H
#define ZORV_STAR_NAMES_H

// 1 if name stays inside any prefix it is joined to on this system, else 0. Extraction refuses
// every other name, and the writer does not store it.
int star_name_is_safe(const char *name);

// The same rule as Windows applies it, whatever system runs it: for tools that make archives to
// be extracted on Windows.
int star_name_is_safe_on_windows(const char *name);

#endif
