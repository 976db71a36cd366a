/* The compiled half of the velmora package: every family's bindings, the velmora.Error exception
   and the bridge from the library's diagnostics to Python. The package's __init__.py re-exports
   all of it. */
#include "binding_support.h"

PYBIND11_MODULE(_velmora, m) {
  m.doc() = "Compiled bindings of the Velmora library; import them from the velmora package.";
  // Classes and functions take their module name from the scope while they are made: they are
  // registered as members of the package, which re-exports them, so help() and reprs say
  // "velmora.DoubleTable".
  m.attr("__name__") = "velmora";
  velmora_py::install_diagnostics(m);
  velmora_py::register_foundation(m);
  velmora_py::register_tables(m);
  velmora_py::register_cluster(m);
  velmora_py::register_engines(m);
  velmora_py::register_geometry(m);
  velmora_py::register_optimise(m);
  velmora_py::register_util(m);
  m.attr("__name__") = "velmora._velmora";
}
