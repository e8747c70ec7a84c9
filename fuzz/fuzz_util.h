// What the fuzz harnesses share: how a failed check ends the run.
#ifndef ZORV_FUZZ_UTIL_H
#define ZORV_FUZZ_UTIL_H

// Aborts with a message: libFuzzer keeps the input that got here as a crash.
[[noreturn]] void fuzz_fail(const char *what);

#endif
