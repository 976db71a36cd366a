/* Pandix: opening files by UTF-8 path. A service of its own beside Velmora.

   open_utf8 takes the open-flag and permission values of the runtime the library was first
   written for, and translates each one to the platform; they must not be passed to POSIX open
   unchanged (its O_EXCL has another value, so exclusive creation would be lost). */
#ifndef PANDIX_PANDIX_H
#define PANDIX_PANDIX_H

#include <stdio.h>

#if defined(PANDIX_BUILDING)
#define PANDIX_API __attribute__((visibility("default")))
#else
#define PANDIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Open flags (combine with |). The access mode is the low two bits. */
#define PANDIX_O_RDONLY 0x0000
#define PANDIX_O_WRONLY 0x0001
#define PANDIX_O_RDWR 0x0002
#define PANDIX_O_APPEND 0x0008
#define PANDIX_O_TEMPORARY 0x0040 /* the file is removed when close_utf8 closes it */
#define PANDIX_O_CREAT 0x0100
#define PANDIX_O_TRUNC 0x0200
#define PANDIX_O_EXCL 0x0400
#define PANDIX_O_TEXT 0x4000   /* accepted, no effect here */
#define PANDIX_O_BINARY 0x8000 /* accepted, no effect here */

/* Permission values for a created file and for chmod_utf8. A file is always readable; without
   PANDIX_S_IWRITE it is read-only. */
#define PANDIX_S_IWRITE 0x0080
#define PANDIX_S_IREAD 0x0100

/* Opens path (UTF-8) with the flags and permission mode above. Returns a file descriptor, or -1
   on failure (errno set; -1 with EINVAL for unknown flag bits). The descriptor is not inherited
   across exec. Close it with close_utf8. */
PANDIX_API int open_utf8(const char *path, int flags, int mode);

/* Closes a descriptor from open_utf8; a file opened with PANDIX_O_TEMPORARY is removed. Returns 0,
   or -1 on failure. */
PANDIX_API int close_utf8(int fd);

/* Sets the permission of path to mode (PANDIX_S_IREAD / PANDIX_S_IWRITE). Returns 0 or -1. */
PANDIX_API int chmod_utf8(const char *path, int mode);

/* Opens a stream on path (UTF-8) with a standard fopen mode. Returns null on failure. */
PANDIX_API FILE *fopen_utf8(const char *path, const char *mode);

#ifdef __cplusplus
}
#endif

#endif
