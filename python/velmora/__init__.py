"""Velmora: numerical support for colour management, from NumPy.

Tables
    DoubleTable, ByteTable: simplex interpolation tables filled from vectorised models.
Scattered data
    ClusterGroup: device values for Lab colours from measured (Lab, device) pairs.
Engines
    SharedBuffer, VariableResolutionTable, LabToProcTable, BlackLevelCube, HyperCube.
Geometry
    ConvexHull, TetraVolume, project_on_triangle.
Minimisers
    powell, powell_restricted, nelder_mead, returning a MinimizeResult.
Dense LU
    solve, det, inv.
Utilities
    encrypt, decrypt, encode_base64_group, decode_base64_group, base64_encode, LockFile.

Failures raise velmora.Error with the library's own message. The library's progress lines go to
the "velmora" logger at DEBUG; enable them with
logging.getLogger("velmora").setLevel(logging.DEBUG) and a handler. Importing the package
installs the library's diagnostics handlers for the whole process.

Batch calls take arrays of shape (..., K) in any layout (read in place when the dtype matches and
the leading axes share one stride) and release the GIL while the library works.
"""

import logging as _logging

from ._velmora import *  # noqa: F401,F403
from ._velmora import Error

_logging.getLogger(__name__).addHandler(_logging.NullHandler())

__all__ = [name for name in dir() if not name.startswith("_")]
__version__ = "0.1.0"
