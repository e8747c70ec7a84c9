// What the fuzz harnesses share: a scratch folder per process and checks on what runs left there.
#ifndef ZORV_FUZZ_UTIL_H
#define ZORV_FUZZ_UTIL_H

#include <string>

// The process's scratch folder, made on first use.
const std::string &fuzz_scratch();
// Removes everything inside folder, keeping folder itself.
void fuzz_clear(const std::string &folder);
// The names directly inside folder, sorted.
std::string fuzz_listing(const std::string &folder);
// Aborts with a message: libFuzzer keeps the input that got here as a crash.
[[noreturn]] void fuzz_fail(const char *what);

#endif
