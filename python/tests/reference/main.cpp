#include <cstdio>
#include <iostream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "reference.h"

namespace reference {

namespace {

std::map<std::string, Case> &cases() {
  static std::map<std::string, Case> all;
  return all;
}

Values read_values(std::FILE *file) {
  Values values;
  double buffer[4096];
  std::size_t got = 0;
  while ((got = std::fread(buffer, sizeof(double), 4096, file)) > 0)
    values.insert(values.end(), buffer, buffer + got);
  return values;
}

}  // namespace

bool add_case(const char *name, Case run) {
  cases()[name] = run;
  return true;
}

int int_arg(const Arguments &args, std::size_t i) {
  if (i >= args.size()) throw std::runtime_error("missing argument " + std::to_string(i));
  return std::stoi(args[i]);
}

double double_arg(const Arguments &args, std::size_t i) {
  if (i >= args.size()) throw std::runtime_error("missing argument " + std::to_string(i));
  return std::stod(args[i]);
}

}  // namespace reference

int main(int argc, char **argv) {
  if (argc < 2) {
    std::cerr << "usage: velmora_py_reference <case> [arguments...]\n";
    return 2;
  }
  auto found = reference::cases().find(argv[1]);
  if (found == reference::cases().end()) {
    std::cerr << "no case " << argv[1] << "\n";
    return 2;
  }
  try {
    reference::Arguments args(argv + 2, argv + argc);
    reference::Values out = found->second(args, reference::read_values(stdin));
    std::fwrite(out.data(), sizeof(double), out.size(), stdout);
  } catch (std::exception &e) {
    std::cerr << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
