/* Velmora: numerical support for colour management. Includes every public header; the class
   headers only when compiled as C++. */
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
