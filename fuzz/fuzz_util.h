// What the fuzz harnesses share: how a failed check ends the run, and what a result may be.
#ifndef ZORV_FUZZ_UTIL_H
#define ZORV_FUZZ_UTIL_H

// Aborts with a message: libFuzzer keeps the input that got here as a crash.
[[noreturn]] void fuzz_fail(const char *what);

// Fails unless result is STAR_OK or one of the causes star_result.h names.
void fuzz_check_result(int result);

#endif
