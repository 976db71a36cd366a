/* Lock files: an advisory lock between processes, held as the existence of a file.

   flock_get creates the lock file exclusively (it fails when the file exists) and keeps it open
   until flock_free, which removes the file and closes it. While the lock is held the descriptor
   also carries an exclusive flock(2) lock, which the system drops when the holding process ends,
   however it ends. A lock file left behind by a holder that died without flock_free is thus
   recognised by the next flock_get, which finds its flock free, removes the file and takes the
   lock. flock_get calls on the same directory are serialised by a short flock(2) on the directory
   itself (held only inside flock_get, never while the lock is held), so that a file that was just
   created but not yet locked is never mistaken for a stale one, and of several callers that find
   the same stale file at once exactly one takes it over. flock_get may therefore wait briefly for
   another flock_get on the same directory, and it refuses a lock in a directory that the caller
   cannot open for reading. The scheme relies on flock(2) behaving as on a local file system.

   The descriptor is not inherited across exec. A child made by fork shares it, and with it the
   flock: the lock counts as held until the holder calls flock_free or every process sharing the
   descriptor has ended. */
#ifndef VELMORA_FILE_LOCK_H
#define VELMORA_FILE_LOCK_H

#include "velmora/export.h"

VELMORA_EXTERN_C_BEGIN

/* Longest lock-file path, in bytes, including the terminating NUL. */
#define FLOCK_PATH_SIZE 256

/* A held lock. Owned by the caller between flock_get and flock_free; the fields are for reading. */
typedef struct FLOCK {
  char path[FLOCK_PATH_SIZE]; /* the NUL-terminated lock-file path */
  int fd;                     /* the open descriptor of the lock file */
} FLOCK;

/* Takes the lock named by path (UTF-8, NUL-terminated, shorter than FLOCK_PATH_SIZE bytes) by
   creating that file, read-only, and returns a new record; release it with flock_free. Returns
   null, reporting nothing and leaving nothing behind, when the lock is held by a live process
   (this one included), when the path is null or too long, when the file cannot be created (no
   such directory, no write permission) or when memory runs out. */
VELMORA_API FLOCK *flock_get(const char *path);

/* Releases the lock: removes the lock file, closes its descriptor and frees the record. Accepts
   null. Returns null. */
VELMORA_API FLOCK *flock_free(FLOCK *lock);

VELMORA_EXTERN_C_END

#endif
