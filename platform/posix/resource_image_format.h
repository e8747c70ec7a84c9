// How the Linux stand-in keeps a program's resources inside its own executable file.
//
// Windows keeps resources in a section of the executable image. The Linux build does the same in
// the simplest way that leaves the program runnable: the resource bytes are appended after the
// ELF image (which the loader never reads past), followed by a directory and a fixed trailer:
//
//     [ELF image][data of resource 1]...[data of resource N][directory][trailer]
//     directory entry: type (NUL-terminated, at most 63 bytes), id u32, language u32,
//                      offset u64 (from the start of the file), size u64      (little-endian)
//     trailer (24 bytes): "ZORVRSC1", directory offset u64, entry count u32, 4 zero bytes
//
// The program reads its own file (/proc/self/exe). ZORV_RESOURCE_IMAGE, when set, names another
// file to read resources from instead, so that a person or a test can run the same program with
// any payload without rebuilding it.
#ifndef ZORV_RESOURCE_IMAGE_FORMAT_H
#define ZORV_RESOURCE_IMAGE_FORMAT_H

#include <stddef.h>
#include <stdint.h>

static const char kResImageMagic[8] = {'Z', 'O', 'R', 'V', 'R', 'S', 'C', '1'};
static const size_t kResImageTrailerSize = 24;
static const size_t kResImageTypeMax = 63;
static const size_t kResImageMaxEntries = 64;
static const uint32_t kResImageLanguage = 1033;

#endif
