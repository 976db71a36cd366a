/* The C++ side of the Python tests: a program that runs named library calls on data the test
   sends, so that the tests compare the module's results with the same calls made from C++.

       velmora_py_reference <case> [arguments...]  < doubles  > doubles

   The input is the raw native-endian float64 values the test wrote to standard input; the case
   writes its results the same way to standard output. Each family registers its cases in its own
   file with REFERENCE_CASE. */
#ifndef VELMORA_PY_REFERENCE_H
#define VELMORA_PY_REFERENCE_H

#include <string>
#include <vector>

namespace reference {

using Arguments = std::vector<std::string>;
using Values = std::vector<double>;
/* Runs one case: args are the command line after the case name, in the values read from standard
   input; returns the values to write. Throws std::runtime_error to fail. */
using Case = Values (*)(const Arguments &args, const Values &in);

bool add_case(const char *name, Case run);

/* Argument i as an int or a double; throws when missing or malformed. */
int int_arg(const Arguments &args, std::size_t i);
double double_arg(const Arguments &args, std::size_t i);

}  // namespace reference

/* Defines and registers a case: REFERENCE_CASE(md_tetrad_interp) { ... return values; } with
   `args` and `in` in scope. */
#define REFERENCE_CASE(name)                                                       \
  static reference::Values reference_case_##name(const reference::Arguments &args, \
                                                 const reference::Values &in);     \
  static const bool reference_registered_##name =                                  \
      reference::add_case(#name, reference_case_##name);                           \
  static reference::Values reference_case_##name(                                  \
      [[maybe_unused]] const reference::Arguments &args,                           \
      [[maybe_unused]] const reference::Values &in)

#endif
