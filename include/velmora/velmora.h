/* Velmora: numerical support for colour management. Includes every public header. */
#ifndef VELMORA_VELMORA_H
#define VELMORA_VELMORA_H

#include "velmora/export.h"
#include "velmora/md_tetrad.h"

#endif
