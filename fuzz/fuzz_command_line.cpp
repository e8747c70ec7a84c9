// Fuzzes the command-line splitter: any tail gives at most 50 words, none of them empty.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "driver.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string tail(reinterpret_cast<const char *>(data), size);
    char **words = split_command_line(tail.c_str());
    if (!words) fuzz_fail("no word list");
    size_t chars = 0, count = 0;
    for (; count < ZORV_MAX_WORDS && words[count]; count++) {
        size_t n = strlen(words[count]);
        if (n == 0) fuzz_fail("an empty word");
        // A word is made of the tail's own characters, never of separators between words.
        chars += n;
        if (strchr(words[count], ' ') && !strchr(tail.c_str(), '"')) fuzz_fail("a space inside an unquoted word");
    }
    if (chars > strlen(tail.c_str())) fuzz_fail("more characters in the words than in the tail");
    free(words);
    return 0;
}
