/* Velmora: numerical support for colour management. Includes every public header; the class
   headers only when compiled as C++.

   Conventions that hold throughout, stated once:

   Ownership. What a creating function returns (mat_new, md_tetrad_new, md_tetrab_new_special,
   tetra_volume_new, restriction_new, dhsm_new, flock_get, mat_invert's inverse) belongs to the
   caller, who releases it with the family's *_kill (flock_free for a lock). A releasing function
   accepts null, releases everything the record owns and returns null (restriction_kill returns
   0), so callers can write `t = md_tetrad_kill(t);`. Pointers that a function hands out into an
   object (a table's vertex values, a volume's tetrahedron) stay owned by that object and die with
   it. Classes own their members; TPlane::Create returns a shared pointer.

   Failures. Nothing throws through the flat functions (class constructors may throw
   std::invalid_argument where their header says so). A failure is reported once, where it
   happens, through the diagnostics sink of ostrel/ostrel.h (install a handler with
   ostrel_set_error_handler; by default a line goes to stderr), and the function then returns its
   failure value after releasing what it had built: null for a creation, -1 or 0 as its header
   states (the minimisers return 1 for success and 0 for failure). Each header names its
   messages; a report carries the reporting source file relative to the source tree
   ("src/foundation/mat.cpp") and its line. Arguments are not validated beyond what each header
   states.

   Threads. Nothing runs in the background; every call works on the caller's thread. Distinct
   objects are independent. A filled double table (md_tetrad) may be interpolated by any number
   of threads at once, a byte table as md_tetrab.h states; any other object is safe for concurrent
   readers only where its header says so. A MATRIX (which caches its factors even when solving),
   a restriction, a solver record and every object being filled or changed belong to one thread
   at a time. The minimisers keep their line-search storage per thread, so minimisations on
   different threads are independent. */
#ifndef VELMORA_VELMORA_H
#define VELMORA_VELMORA_H

#include "velmora/export.h"

/* Foundation */
#include "velmora/mat.h"
#include "velmora/vector_number.h"

/* Optimisation */
#include "velmora/condirmin.h"
#include "velmora/restriction.h"

/* Tetrahedral tables */
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

/* Gamut geometry */
#include "velmora/projection.h"
#include "velmora/tetra_volume.h"

/* Utilities */
#include "velmora/cipher.h"
#include "velmora/file_lock.h"

#ifdef __cplusplus
#include "velmora/dhsm.h"
#include "velmora/hypercube.h"
#include "velmora/labtoproctable.h"
#include "velmora/tclustergroup.h"
#include "velmora/tconvexhull.h"
#include "velmora/tplane.h"
#include "velmora/variablerestable.h"
#endif

#endif
