/* Reference cases of the table engines: variable-resolution tables computed through a C++
   callback, the Lab-to-process table interpolated and filled from C++ models, and the hyper-cube
   interpolator, as a C++ caller would use them. The models are the ones the Python tests write
   in NumPy, with the same operations in the same order. */
#include <velmora/hypercube.h>
#include <velmora/labtoproctable.h>
#include <velmora/variablerestable.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference.h"

namespace {

/* A comma-separated list of ints ("33,33,9"); "-" for an empty one. */
std::vector<int> int_list(const reference::Arguments &args, std::size_t i) {
  if (i >= args.size()) throw std::runtime_error("missing argument " + std::to_string(i));
  std::vector<int> values;
  if (args[i] == "-") return values;
  std::stringstream text(args[i]);
  std::string item;
  while (std::getline(text, item, ','))
    values.push_back(std::stoi(item));
  return values;
}

/* Reads the input values in order. */
class Reader {
 public:
  explicit Reader(const reference::Values &in) : in_(in) {}
  double next() { return in_.at(at_++); }
  std::size_t left() const { return in_.size() - at_; }

 private:
  const reference::Values &in_;
  std::size_t at_ = 0;
};

/* The test model of the variable-resolution tables, on the input bytes x of a grid point over all
   n buffer channels (0 on the channels outside the table), so that tables over one buffer agree
   on the points they share: output o = (o + 1) * x0 * x[n-1] / 255 + sum over c of
   (c + 2o + 1) * x[c]. */
struct ByteModel : VariableResTable::SinglePointCalculationCallBack {
  ByteModel(std::vector<std::vector<unsigned char>> positions, std::vector<bool> mask, int outputs)
      : positions(std::move(positions)), mask(std::move(mask)), outputs(outputs) {}
  void operator()(const unsigned char *point, float *values) override {
    const std::size_t n = mask.size();
    std::vector<double> x(n, 0.0);
    for (std::size_t d = 0, c = 0; d < n; ++d) {
      if (mask[d]) {
        x[d] = positions[c][point[c]];
        ++c;
      }
    }
    for (int o = 0; o < outputs; ++o) {
      double acc = (o + 1.0) * x[0] * x[n - 1] / 255.0;
      for (std::size_t c = 0; c < n; ++c)
        acc += (static_cast<double>(c) + 2.0 * o + 1.0) * x[c];
      values[o] = static_cast<float>(acc);
    }
  }
  std::vector<std::vector<unsigned char>> positions;
  std::vector<bool> mask;
  int outputs;
};

}  // namespace

/* args: grid point counts ("33,33,33"), outputs, fixed subsets as channel bit masks ("3,31" or
   "-"), table mask bits, mode (0: IrregularInterpolate computing points on demand, 1: every point
   computed by a walk first and then RegularInterpolate); in: per table channel its M + 1 grid
   positions, then the samples (one byte per table channel each). out: outputs per sample. */
REFERENCE_CASE(variable_table_interpolate) {
  const std::vector<int> counts = int_list(args, 0);
  const int outputs = reference::int_arg(args, 1);
  const std::vector<int> subset_bits = int_list(args, 2);
  const int mask_bits = reference::int_arg(args, 3);
  const int mode = reference::int_arg(args, 4);

  std::vector<unsigned char> grid(counts.begin(), counts.end());
  std::vector<std::vector<bool>> subsets;
  for (int bits : subset_bits) {
    std::vector<bool> flags;
    for (std::size_t c = 0; c < counts.size(); ++c)
      flags.push_back(((bits >> c) & 1) != 0);
    subsets.push_back(flags);
  }
  int points = 0;
  SharedBuffer buffer(grid, points, subsets, outputs);
  std::vector<bool> mask;
  std::vector<unsigned char> max;
  for (std::size_t c = 0; c < counts.size(); ++c) {
    mask.push_back(((mask_bits >> c) & 1) != 0);
    if (mask.back()) max.push_back(static_cast<unsigned char>(counts[c] - 1));
  }
  Reader read(in);
  std::vector<std::vector<unsigned char>> positions;
  for (unsigned char m : max) {
    std::vector<unsigned char> pos;
    for (int j = 0; j <= m; ++j)
      pos.push_back(static_cast<unsigned char>(read.next()));
    positions.push_back(pos);
  }
  VariableResolutionTable table(max, positions, &buffer, mask);
  table.SetSinglePointCalculationCallBack(std::make_unique<ByteModel>(positions, mask, outputs));

  const std::size_t n = max.size();
  const std::size_t count = read.left() / n;
  std::vector<unsigned char> samples(count * n);
  for (unsigned char &byte : samples)
    byte = static_cast<unsigned char>(read.next());
  std::vector<const unsigned char *> planes(n);
  for (std::size_t c = 0; c < n; ++c)
    planes[c] = samples.data() + c;
  std::vector<int> indices(count);
  std::iota(indices.begin(), indices.end(), 0);
  std::vector<float> out(count * static_cast<std::size_t>(outputs));
  if (mode == 1) {
    for (auto it = table.GetBufferStart(false); !it.atEnd; table.GetNextBufferPoint(it)) {
      table.EnsureIteratorHasConversion(it);
      *it.computed = true;
    }
    table.RegularInterpolate(planes.data(), static_cast<int>(n), out.data(), count, indices.data());
  } else {
    table.IrregularInterpolate(planes.data(), static_cast<int>(n), out.data(), count,
                               indices.data());
  }
  return reference::Values(out.begin(), out.end());
}

/* args: outputs stepL stepA stepB coarseStep; in: the grid values in buffer order (L* fastest,
   then a*, then b*; M per point), then the Lab colours (float32 values, three each). out: M per
   colour. */
REFERENCE_CASE(lab_table_interpolate) {
  const int outputs = reference::int_arg(args, 0);
  LabToProcTable table(outputs, reference::int_arg(args, 1), reference::int_arg(args, 2),
                       reference::int_arg(args, 3), reference::int_arg(args, 4));
  std::vector<float> &buffer = table.GetBuffer();
  Reader read(in);
  for (float &v : buffer)
    v = static_cast<float>(read.next());
  const std::size_t count = read.left() / 3;
  std::vector<float> lab(count * 3);
  for (float &v : lab)
    v = static_cast<float>(read.next());
  std::vector<float> out(count * static_cast<std::size_t>(outputs));
  table.Interpolate(lab.data(), out.data(), count);
  return reference::Values(out.begin(), out.end());
}

/* The test models of the Lab-to-process fill, for three outputs: a smooth, non-linear map of
   Lab onto 0 .. 255 and its exact inverse on the normalised process values. */
namespace {

void lab_to_process(const double *lab, int count, float *out) {
  for (int i = 0; i < count; ++i) {
    const double L = lab[3 * i], a = lab[3 * i + 1], b = lab[3 * i + 2];
    const double u = (a + 128.0) / 256.0;
    out[3 * i] = static_cast<float>(255.0 - L * 1.9921875);
    out[3 * i + 1] = static_cast<float>(u * u * 255.0);
    out[3 * i + 2] = static_cast<float>((b + 128.0) * 0.99609375);
  }
}

void process_to_lab(const double *process, int count, double *lab) {
  for (int i = 0; i < count; ++i) {
    const double v0 = (1.0 - process[3 * i]) * 254.999;
    const double v1 = (1.0 - process[3 * i + 1]) * 254.999;
    const double v2 = (1.0 - process[3 * i + 2]) * 254.999;
    lab[3 * i] = (255.0 - v0) / 1.9921875;
    lab[3 * i + 1] = std::sqrt(std::fmax(v1, 0.0) / 255.0) * 256.0 - 128.0;
    lab[3 * i + 2] = v2 / 0.99609375 - 128.0;
  }
}

}  // namespace

/* args: stepL stepA stepB coarseStep clipToHull borderWidth; in: the samples (three Lab values
   each). out: the filled grid in buffer order (three values per point), then per labToProcess
   call its count, progress start and progress end, then the processToLab count. */
REFERENCE_CASE(lab_table_fill) {
  LabToProcTable table(3, reference::int_arg(args, 0), reference::int_arg(args, 1),
                       reference::int_arg(args, 2), reference::int_arg(args, 3));
  std::vector<std::vector<double>> samples;
  for (std::size_t i = 0; i + 3 <= in.size(); i += 3)
    samples.push_back({in[i], in[i + 1], in[i + 2]});
  reference::Values calls;
  double checked = 0;
  table.FillTable(
      samples,
      [&](const double *lab, int count, float *out, double start, double end) {
        lab_to_process(lab, count, out);
        calls.insert(calls.end(), {static_cast<double>(count), start, end});
      },
      [&](const double *process, int count, double *lab) {
        process_to_lab(process, count, lab);
        checked = count;
      },
      reference::int_arg(args, 4) != 0, reference::int_arg(args, 5));
  reference::Values out(table.GetBuffer().begin(), table.GetBuffer().end());
  out.insert(out.end(), calls.begin(), calls.end());
  out.push_back(checked);
  return out;
}

/* in: low (origin 3, level, size 3), high (the same), the number of points of A, each point
   (value 3, coordinates 4), the same for B, then the inputs (four each). out: three per input. */
REFERENCE_CASE(hypercube_interpolate) {
  using InterpolationHelpers::BlackLevelCube;
  using InterpolationHelpers::Point;
  Reader read(in);
  auto cube = [&] {
    BlackLevelCube c{};
    for (double &v : c.origin)
      v = read.next();
    c.level = read.next();
    for (double &v : c.size)
      v = read.next();
    return c;
  };
  auto point_list = [&] {
    std::vector<Point> points(static_cast<std::size_t>(read.next()));
    for (Point &p : points) {
      for (double &v : p.value)
        v = read.next();
      for (double &v : p.coordinates)
        v = read.next();
    }
    return points;
  };
  const BlackLevelCube low = cube();
  const BlackLevelCube high = cube();
  std::vector<Point> a = point_list();
  std::vector<Point> b = point_list();
  InterpolationHelpers::HyperCubeWithCorrections interpolator(low, high, a, b);
  reference::Values out;
  while (read.left() >= 4) {
    double x[4], y[3];
    for (double &v : x)
      v = read.next();
    interpolator.interpolate(x, y);
    out.insert(out.end(), y, y + 3);
  }
  return out;
}
