// The packer's compression on every core: one bzip2 stream, byte for byte what bzip2 -9 writes.
#ifndef ZORV_TOOLS_ZORV_PACK_COMPRESS_H
#define ZORV_TOOLS_ZORV_PACK_COMPRESS_H

#include <functional>
#include <string>

#include "zorv_pack.h"

// Compresses in_path into out_path as `bzip2 -9 -c` does, its blocks on threads, workers of them
// busy at a time (0: one per core). Stops as soon as the output passes max_size bytes. progress is told the
// bytes of in_path compressed so far after every block. Memory stays within some 10 MB a worker
// whatever the size of the input: it is read twice, in pieces, and nothing of it is held whole.
compress_result compress_bzip2_blocks(const std::string &in_path, const std::string &out_path,
                                      unsigned long long max_size, unsigned workers,
                                      const std::function<void(long long done)> &progress, std::string &error);

#endif
