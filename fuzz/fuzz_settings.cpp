// Fuzzes the settings lookup: any block and key; no byte beyond the block may be read.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_util.h"
#include "memory_platform.h"
#include "payload.h"

// The first byte gives the key's length; the key follows, then the block (the resource's bytes,
// which the in-memory stand-in loads into memory of exactly their size).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    size_t key_len = data[0] % 32;
    if (key_len > size - 1) key_len = size - 1;
    std::string key(reinterpret_cast<const char *>(data + 1), key_len);
    if (key.find('\0') != std::string::npos) return 0;
    std::string block(reinterpret_cast<const char *>(data + 1 + key_len), size - 1 - key_len);

    memory_reset();
    memory_set_resource(103, block);
    const char *value = lookup_embedded_setting(key.c_str());
    if (value && strlen(value) > 192) fuzz_fail("a value longer than the result buffer");
    // A value found stands in the block after the key and "=", ended by a space, past the first
    // line. (A NUL in the block would end the returned text early; that is left out of the check.)
    if (value && block.find('\0') == std::string::npos) {
        size_t first_lf = block.find('\n');
        if (first_lf == std::string::npos || block.find(key + "=" + value + " ", first_lf + 1) == std::string::npos)
            fuzz_fail("a value that is not in the block");
    }
    return 0;
}
