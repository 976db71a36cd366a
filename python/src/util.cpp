#include "binding_support.h"

namespace velmora_py {

void register_util(py::module_ &) {}

}  // namespace velmora_py
