// The packer's compression on every core: one bzip2 stream, byte for byte what bzip2 -9 writes.
#ifndef ZORV_TOOLS_COMPRESS_H
#define ZORV_TOOLS_COMPRESS_H

#include <functional>
#include <string>

// How large the output may grow, and the error when it would grow larger: the compression then
// stops at once, so that an input the installer cannot carry is not compressed to its end.
struct output_limit {
    unsigned long long bytes = ~0ULL;
    std::string refusal;
};

// Compresses in_path into out_path as `bzip2 -9 -c` does, its blocks on threads, workers of them
// busy at a time (0: one per core). progress is told the bytes of in_path compressed so far after
// every block. Memory stays within some 10 MB a worker whatever the size of the input: it is read
// twice, in pieces, and nothing of it is held whole.
bool compress_bzip2_blocks(const std::string &in_path, const std::string &out_path, const output_limit &limit,
                           unsigned workers, const std::function<void(long long done)> &progress, std::string &error);

// The same on every core; with progress, one line on standard error is rewritten as it goes and
// cleared at the end.
bool compress_bzip2(const std::string &in_path, const std::string &out_path, const output_limit &limit, bool progress,
                    std::string &error);

#endif
