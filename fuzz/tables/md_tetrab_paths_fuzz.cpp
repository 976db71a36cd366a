// The vector and the scalar path of the byte and double tables on arbitrary tables, curves,
// layouts, masks and inputs: both must leave every byte of the caller's buffer alike.
//
// Input: a header of 8 bytes (table kind and shape, layout, count, mask threshold), then bytes
// that fill, cyclically, the grid, the curves, the mask and the points.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tables/md_tetra_simd.h"
#include "velmora/md_tetrab.h"
#include "velmora/md_tetrad.h"

namespace {

using velmora::test_hooks::force_table_path;
using velmora::test_hooks::TablePath;

// Bytes of the fuzzer's input after the header, repeated as often as needed.
class Source {
 public:
  Source(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  uint8_t next() { return size_ == 0 ? static_cast<uint8_t>(at_++ * 37) : data_[at_++ % size_]; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Element offsets of the inputs and outputs of point 0, and the strides, inside one buffer.
struct Layout {
  std::vector<long> in, out;
  long in_stride = 0, out_stride = 0, size = 0;
};

Layout make_layout(int kind, int n, int m, int count, int extra, int null_channel) {
  Layout l;
  const long c = count;
  switch (kind) {
    case 0:  // interleaved pixels, maybe padded, results behind them
      l.in_stride = n + extra % 3;
      l.out_stride = m + extra / 3 % 3;
      for (int d = 0; d < n; ++d)
        l.in.push_back(d);
      for (int k = 0; k < m; ++k)
        l.out.push_back(l.in_stride * c + 5 + k);
      break;
    case 1:  // planes of odd or unit stride
      l.in_stride = 1 + extra % 4;
      l.out_stride = 1 + extra / 4 % 3;
      for (int d = 0; d < n; ++d)
        l.in.push_back(d * (l.in_stride * c + 3));
      for (int k = 0; k < m; ++k)
        l.out.push_back(n * (l.in_stride * c + 3) + k * (l.out_stride * c + 1));
      break;
    default: {  // in place, or results shifted over later points' inputs
      const int slot = (n > m ? n : m) + extra % 2;
      l.in_stride = l.out_stride = slot;
      for (int d = 0; d < n; ++d)
        l.in.push_back(d);
      for (int k = 0; k < m; ++k)
        l.out.push_back((kind == 3 ? slot * (1 + extra / 2 % 2) : 0) + k);
      break;
    }
  }
  if (null_channel < m && m > 1) l.out[null_channel] = -1;
  l.size = (n + m + 2) * (c + 2) * 6 + 64;
  return l;
}

void check_bytes(const uint8_t *header, Source &src) {
  const int n = 3 + (header[0] & 1);
  const int m = 1 + (header[0] >> 1) % 6;
  const bool in_curves = header[0] >> 4 & 1, out_curves = header[0] >> 5 & 1;
  const int g = 2 + header[1] % (n == 3 ? 33 : 12);
  const int count = (header[2] | header[3] << 8) % 300;
  const int kind = header[4] % 4;
  const Layout l = make_layout(kind, n, m, count, header[4] >> 2, header[5] % 8);
  const bool masked = header[6] & 1;
  const double threshold = header[7] == 255 ? -1.0 : header[7] / 2.0;

  MD_TETRAB *t = md_tetrab_new(n, m, g);
  if (t == nullptr) return;
  int size = 0;
  uint8_t *grid = md_tetrab_dataptr(t, &size);
  for (int i = 0; i < size; ++i)
    grid[i] = src.next();
  std::vector<std::vector<uint8_t>> curves(n + m, std::vector<uint8_t>(256));
  std::vector<uint8_t *> curve(n + m, nullptr);
  for (int j = 0; j < n + m; ++j) {
    if ((j < n && !in_curves) || (j >= n && !out_curves)) continue;
    for (auto &b : curves[j])
      b = src.next();
    curve[j] = curves[j].data();
  }
  md_tetrab_LUT(t, curve.data(), curve.data() + n);
  std::vector<uint8_t> initial(l.size), mask(count);
  for (auto &b : initial)
    b = src.next();
  for (auto &b : mask)
    b = src.next();

  std::vector<uint8_t> result[2];
  const TablePath paths[2] = {TablePath::Scalar, TablePath::Vector};
  for (int k = 0; k < 2; ++k) {
    result[k] = initial;
    std::vector<uint8_t *> in(n), out(m);
    for (int d = 0; d < n; ++d)
      in[d] = result[k].data() + l.in[d];
    for (int c = 0; c < m; ++c)
      out[c] = l.out[c] < 0 ? nullptr : result[k].data() + l.out[c];
    force_table_path(paths[k]);
    md_tetrab_interp(t, in.data(), static_cast<int>(l.in_stride), out.data(),
                     static_cast<int>(l.out_stride), count, masked ? mask.data() : nullptr,
                     threshold);
    for (int c = 0; c < m; ++c) {
      if (l.out[c] >= 0 && out[c] != result[k].data() + l.out[c] + count * l.out_stride)
        __builtin_trap();
    }
  }
  force_table_path(TablePath::Automatic);
  md_tetrab_kill(t);
  if (result[0] != result[1]) __builtin_trap();
}

void check_doubles(const uint8_t *header, Source &src) {
  const int n = 3 + (header[0] & 1);
  const int m = 1 + (header[0] >> 1) % 6;
  const int g = 2 + header[1] % (n == 3 ? 17 : 9);
  const int count = (header[2] | header[3] << 8) % 300;
  const Layout l = make_layout(header[4] % 4, n, m, count, header[4] >> 2, header[5] % 8);
  const double lo = (header[6] - 128) * 1.5, hi = lo + (header[7] + 1) * (header[0] & 64 ? -1 : 1);
  MD_TETRAD *t = md_tetrad_new(n, m, g, lo, hi);
  if (t == nullptr) return;
  auto value = [&src] {
    int64_t bits = 0;
    for (int i = 0; i < 8; ++i)
      bits = bits << 8 | src.next();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
  };
  std::vector<int> index(n, 0);
  std::vector<double> coords(n);
  do {
    double *v = md_tetrad_vertex_get(t, index.data(), coords.data());
    for (int c = 0; c < m; ++c)
      v[c] = value();
  } while (md_tetrad_scan_vertex(t, index.data()) != 0);
  std::vector<double> initial(l.size);
  for (auto &v : initial) {  // mostly inside the range, sometimes any double at all
    const uint8_t pick = src.next();
    v = pick < 200 ? lo + (hi - lo) * src.next() / 255.0 : value();
  }
  std::vector<double> result[2];
  const TablePath paths[2] = {TablePath::Scalar, TablePath::Vector};
  for (int k = 0; k < 2; ++k) {
    result[k] = initial;
    std::vector<double *> in(n), out(m);
    for (int d = 0; d < n; ++d)
      in[d] = result[k].data() + l.in[d];
    for (int c = 0; c < m; ++c)
      out[c] = l.out[c] < 0 ? nullptr : result[k].data() + l.out[c];
    force_table_path(paths[k]);
    md_tetrad_interp(t, in.data(), static_cast<int>(l.in_stride), out.data(),
                     static_cast<int>(l.out_stride), count);
  }
  force_table_path(TablePath::Automatic);
  md_tetrad_kill(t);
  // Bit for bit, except that a NaN (from NaN or infinite grid values) may carry another payload:
  // which operand's NaN an addition passes on is the compiler's choice in either path.
  for (size_t i = 0; i < result[0].size(); ++i) {
    const bool both_nan = result[0][i] != result[0][i] && result[1][i] != result[1][i];
    if (!both_nan && std::memcmp(&result[0][i], &result[1][i], sizeof(double)) != 0)
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t kHeader = 8;
  if (size < kHeader) return 0;
  Source src(data + kHeader, size - kHeader);
  if (data[0] & 128) {
    check_doubles(data, src);
  } else {
    check_bytes(data, src);
  }
  return 0;
}
