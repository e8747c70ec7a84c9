// The fixed texts and limits of the SIMPLE-TAR framing and its names, shared by every reader and writer.
#ifndef ZORV_STAR_FORMAT_H
#define ZORV_STAR_FORMAT_H

#include <stddef.h>

static const char kStarMagic[] = "-----SIMPLE-TAR--MEZTIL--BOUNDARY--";
static const size_t kStarMagicLen = sizeof kStarMagic - 1;  // 35
static const size_t kStarBoundaryLen = 60;                 // magic and 25 free characters
static const char kStarSeparator[] = "---------------------cortar desde aqui----------------------";
static const size_t kStarSeparatorLen = sizeof kStarSeparator - 1;  // 60
static const char kStarNameTag[] = "nombre=";
static const size_t kStarNameTagLen = sizeof kStarNameTag - 1;
static const size_t kStarNameMax = 292;  // what survives a 299-character line read
// Room for a destination path joined with an entry name, NUL included: a prefix of up to 4706
// characters always fits with a name of 292.
static const size_t kStarPathSize = 5000;

// Both '/' and '\' separate the levels of an entry name, on every system.
inline bool star_is_separator(char c) { return c == '/' || c == '\\'; }

#endif
