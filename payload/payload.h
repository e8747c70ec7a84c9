// The embedded payload: installing the compressed archive the program carries, and its settings.
#ifndef ZORV_PAYLOAD_H
#define ZORV_PAYLOAD_H

// Resource type and identifiers in the program's own image.
#define ZORV_RESOURCE_TYPE "RCDATA_RAW"
#define ZORV_PAYLOAD_ID 101
#define ZORV_SETTINGS_ID 103

#include "platform.h"
#include "star_result.h"

// Writes the payload resource to "tmp_inst.bz2" in the current folder, decompresses it into
// "tmp_inst.sta" and extracts that archive under target_dir (passed unchanged as the prefix) as
// one change (transaction.h): STAR_OK with every new file on the disk; on any failure, including a
// payload that does not decompress whole, the cause (star_result.h): no payload, a temporary file
// that cannot be written or is held, a payload that is damaged or cut short, or the change's own
// cause; the target is then as it was before the call. An earlier call into the same target that
// was stopped half way is finished first. The temporary files are held while they are used and
// removed on every path; files of those names that another run holds are left to it
// (STAR_ERR_IN_USE).
star_result install_payload(const char *target_dir);

// The same in two halves, so that the decoding, which touches nothing but the current folder,
// can go on while the installer waits for a running copy of the application to quit.
struct decoded_payload {
    os_dir *here;       // the current folder
    os_file *archive;   // "tmp_inst.sta", held, the payload decoded whole
    long long size;
};
// The first half: the payload decoded into "tmp_inst.sta" ("tmp_inst.bz2" removed again). STAR_OK,
// or the cause with no temporary file left.
star_result decode_payload(decoded_payload *p);
// The second half: the decoded payload extracted under target_dir as install_payload does it, and
// "tmp_inst.sta" removed whatever the outcome. With a null target_dir, it is only removed.
star_result install_decoded(decoded_payload *p, const char *target_dir);

// The value of key in the settings resource, in a buffer shared by every call; null when the
// key is null or absent, the block is missing or empty, or the value does not fit.
char *lookup_embedded_setting(const char *key);

#endif
