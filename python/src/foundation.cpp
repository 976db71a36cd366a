#include "binding_support.h"

namespace velmora_py {

void register_foundation(py::module_ &) {}

}  // namespace velmora_py
