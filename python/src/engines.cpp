/* The table engines from NumPy: variable-resolution tables over a shared buffer, with a Python
   callback for the grid points they compute on demand; the Lab-to-process table filled from
   vectorised Python colour models; the hyper-cube interpolator. Batch calls release the GIL.

   A variable-resolution table computes a missing grid point once and marks it computed. When the
   Python callback raises, the library call is let finish on NaN placeholders; afterwards the
   points that got placeholders are marked missing again and the table is rebuilt (its cache of
   interpolated off-grid vertices may hold values made from the placeholders), so that a later
   call computes them afresh. Calls on other threads that ran over a buffer while such a failure
   happened are repeated after the repair. All of this hangs on one reader-writer lock per
   buffer: interpolation shares it, repairs, walks and fills take it alone. Every wait on it is
   made without the GIL. */
#include <velmora/hypercube.h>
#include <velmora/labtoproctable.h>
#include <velmora/variablerestable.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "binding_support.h"

namespace velmora_py {

namespace {

constexpr float kPlaceholder = std::numeric_limits<float>::quiet_NaN();
/* Samples per library call: bounds the index array and keeps stride * index inside an int. */
constexpr py::ssize_t kSampleChunk = 1 << 16;

[[noreturn]] void raise_value_error(const std::string &message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw py::error_already_set();
}

std::string point_text(const unsigned char *point, std::size_t n) {
  std::string text = "(";
  for (std::size_t c = 0; c < n; ++c) {
    if (c > 0) text += ", ";
    text += std::to_string(point[c]);
  }
  return text + (n == 1 ? ",)" : ")");
}

/* An integer argument that must fit a byte before the library sees it (a cast would wrap). */
unsigned char byte_arg(py::handle value, const char *what) {
  long v = 0;
  try {
    v = py::cast<long>(value);
  } catch (py::cast_error &) {
    throw py::type_error(std::string(what) + " must be integers in 0 .. 255, got " +
                         py::repr(value).cast<std::string>());
  }
  if (v < 0 || v > 255)
    throw py::value_error(std::string(what) + " must lie in 0 .. 255, got " + std::to_string(v));
  return static_cast<unsigned char>(v);
}

std::vector<unsigned char> byte_list(py::handle seq, const char *what) {
  std::vector<unsigned char> bytes;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(seq))
    bytes.push_back(byte_arg(item, what));
  return bytes;
}

std::vector<bool> flag_list(py::handle seq) {
  std::vector<bool> flags;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(seq))
    flags.push_back(py::cast<bool>(item));
  return flags;
}

/* A model's result as a C-ordered float64 array of exactly the given shape. */
py::array_t<double, py::array::c_style> model_result(const py::object &result, py::ssize_t rows,
                                                     py::ssize_t width, const char *what) {
  auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(result);
  if (!arr) {
    PyErr_Clear();
    raise_value_error(std::string(what) + " must return an array of numbers");
  }
  const std::vector<py::ssize_t> expected{rows, width};
  const std::vector<py::ssize_t> got(arr.shape(), arr.shape() + arr.ndim());
  if (got != expected)
    raise_value_error(std::string(what) + " must return an array of shape " + shape_text(expected) +
                      ", got " + shape_text(got));
  return arr;
}

/* ---- SharedBuffer ---------------------------------------------------------------------------- */

/* What the tables over one buffer share besides the buffer: the lock and the failure counts. */
struct BufferState {
  /* Shared by library calls that read or compute grid points; held alone by repairs, walks and
     fills. */
  std::shared_mutex access;
  std::mutex lock;
  std::condition_variable repaired;
  std::uint64_t failures = 0; /* calls whose callback left placeholders; under lock */
  std::uint64_t repairs = 0;  /* of those, the ones whose points are marked missing again */
  /* Bumped under access (held alone) when grid values change, so that the tables drop their
     caches of interpolated off-grid vertices. */
  std::uint64_t edits = 0;

  std::pair<std::uint64_t, std::uint64_t> counts() {
    std::lock_guard<std::mutex> hold(lock);
    return {failures, repairs};
  }
  void note_failure() {
    std::lock_guard<std::mutex> hold(lock);
    ++failures;
  }
  void note_repair() {
    {
      std::lock_guard<std::mutex> hold(lock);
      ++repairs;
    }
    repaired.notify_all();
  }
  void wait_repaired(std::uint64_t upto) {
    std::unique_lock<std::mutex> hold(lock);
    repaired.wait(hold, [&] { return repairs >= upto; });
  }
};

/* One interpolation call in progress on this thread: the guard of its callback and the grid
   points that received placeholders. Calls nest when a callback interpolates another table. */
struct CallContext {
  explicit CallContext(BufferState &s) : state(&s) {}
  BufferState *state;
  CallbackGuard guard;
  std::vector<unsigned char> failed_points; /* one byte per table channel each */
  bool lost_points = false;                 /* a failed point could not be recorded */
  bool failed = false;
  CallContext *outer = nullptr;
};

thread_local CallContext *current_call = nullptr;

class CallScope {
 public:
  explicit CallScope(CallContext &ctx) : ctx_(ctx) {
    ctx_.outer = current_call;
    current_call = &ctx_;
  }
  ~CallScope() { current_call = ctx_.outer; }
  CallScope(const CallScope &) = delete;
  CallScope &operator=(const CallScope &) = delete;

 private:
  CallContext &ctx_;
};

/* A table's own calls would wait for themselves: its buffer's lock is held around the callback. */
void check_not_in_callback(const BufferState &state) {
  for (CallContext *ctx = current_call; ctx != nullptr; ctx = ctx->outer) {
    if (ctx->state == &state)
      throw py::value_error(
          "a table's callback cannot use a table over the same buffer (it would wait for "
          "itself)");
  }
}

class Buffer {
 public:
  Buffer(const py::object &counts, int outputs, const py::object &subsets)
      : counts_(byte_list(counts, "grid point counts")) {
    for (py::handle subset : py::reinterpret_borrow<py::iterable>(subsets))
      subsets_.push_back(flag_list(subset));
    ReportScope reports;
    int points = 0;
    buffer_ = std::make_unique<SharedBuffer>(counts_, points, subsets_, outputs);
    if (!buffer_->HasStorage()) reports.raise("SharedBuffer: no storage");
    /* Values the library leaves undefined until computed read as NaN. */
    float *values = nullptr;
    bool *computed = nullptr;
    buffer_->GetBufferStart(&values, &computed);
    std::fill_n(values, static_cast<std::size_t>(points) * static_cast<std::size_t>(outputs),
                kPlaceholder);
  }

  SharedBuffer &get() { return *buffer_; }
  BufferState &state() { return state_; }
  int points() const { return buffer_->GetNrPoints(); }
  int outputs() const { return buffer_->GetNrOutputChannels(); }
  const std::vector<unsigned char> &counts() const { return counts_; }
  const std::vector<std::vector<bool>> &subsets() const { return subsets_; }
  float *values() const {
    float *v = nullptr;
    bool *c = nullptr;
    buffer_->GetBufferStart(&v, &c);
    return v;
  }
  bool *flags() const {
    float *v = nullptr;
    bool *c = nullptr;
    buffer_->GetBufferStart(&v, &c);
    return c;
  }

  /* Tells the tables over this buffer that grid values changed. */
  void invalidate_caches() {
    check_not_in_callback(state_);
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> alone(state_.access);
    ++state_.edits;
  }

 private:
  std::vector<unsigned char> counts_;
  std::vector<std::vector<bool>> subsets_;
  std::unique_ptr<SharedBuffer> buffer_;
  BufferState state_;
};

/* ---- VariableResolutionTable ----------------------------------------------------------------- */

/* One batch of samples cut into library calls: the channel planes, the sample indices and, when
   the output rows are not consecutive, a scratch block that is copied out. */
class Batch {
 public:
  Batch(const Rows<unsigned char> &in, const Rows<float> &result, int channels, int outputs)
      : in_(in), result_(result), outputs_(outputs), planes_(static_cast<std::size_t>(channels)) {
    const py::ssize_t stride = in.row_stride;
    chunk_ = kSampleChunk;
    if (stride != 0) chunk_ = std::min<py::ssize_t>(chunk_, INT_MAX / std::abs(stride));
    chunk_ = std::max<py::ssize_t>(1, std::min(chunk_, in.count));
    indices_.resize(static_cast<std::size_t>(chunk_));
    std::iota(indices_.begin(), indices_.end(), 0);
    direct_ =
        outputs == 0 || (result.col_stride == 1 && (in.count <= 1 || result.row_stride == outputs));
    if (!direct_) scratch_.resize(static_cast<std::size_t>(chunk_ * outputs));
  }

  /* Interpolates every sample; allocates nothing. */
  void run(VariableResolutionTable &table, bool regular) {
    const py::ssize_t stride = in_.row_stride;
    for (py::ssize_t start = 0; start < in_.count; start += chunk_) {
      const py::ssize_t count = std::min(chunk_, in_.count - start);
      for (std::size_t c = 0; c < planes_.size(); ++c)
        planes_[c] = in_.data + start * stride + static_cast<py::ssize_t>(c) * in_.col_stride;
      float *out = direct_ ? result_.data + start * outputs_ : scratch_.data();
      if (regular) {
        table.RegularInterpolate(planes_.data(), static_cast<int>(stride), out,
                                 static_cast<std::uint64_t>(count), indices_.data());
      } else {
        table.IrregularInterpolate(planes_.data(), static_cast<int>(stride), out,
                                   static_cast<std::uint64_t>(count), indices_.data());
      }
      if (direct_) continue;
      for (py::ssize_t i = 0; i < count; ++i) {
        for (int o = 0; o < outputs_; ++o)
          result_.data[(start + i) * result_.row_stride + o * result_.col_stride] =
              scratch_[static_cast<std::size_t>(i * outputs_ + o)];
      }
    }
  }

 private:
  const Rows<unsigned char> &in_;
  const Rows<float> &result_;
  int outputs_;
  py::ssize_t chunk_ = 1;
  bool direct_ = true;
  std::vector<const unsigned char *> planes_;
  std::vector<int> indices_;
  std::vector<float> scratch_;
};

class VariableTable;

/* The library's callback: computes one grid point through the table's Python callable. */
class PointCallback : public VariableResTable::SinglePointCalculationCallBack {
 public:
  explicit PointCallback(const VariableTable *owner) : owner_(owner) {}
  void operator()(const unsigned char *point, float *values) override;

 private:
  const VariableTable *owner_;
};

class VariableTable {
 public:
  VariableTable(Buffer &buffer, const OptionalArrayLike &mask, const OptionalArrayLike &positions,
                OptionalFunction callback)
      : buffer_(&buffer), callback_(std::move(callback)) {
    const std::vector<unsigned char> &counts = buffer.counts();
    if (mask.is_none()) {
      mask_.assign(counts.size(), true);
    } else {
      mask_ = flag_list(mask);
    }
    for (std::size_t d = 0; d < mask_.size(); ++d) {
      if (!mask_[d]) continue;
      if (d >= counts.size())
        throw py::value_error("mask selects channel " + std::to_string(d) + " of a buffer of " +
                              std::to_string(counts.size()) + " channels");
      max_.push_back(static_cast<unsigned char>(counts[d] - 1));
    }
    if (positions.is_none()) {
      /* Evenly spread, rounded half up. */
      for (unsigned char m : max_) {
        std::vector<unsigned char> pos;
        for (int j = 0; m > 0 && j <= m; ++j)
          pos.push_back(static_cast<unsigned char>((j * 510 + m) / (2 * m)));
        positions_.push_back(std::move(pos));
      }
    } else {
      for (py::handle channel : py::reinterpret_borrow<py::iterable>(positions))
        positions_.push_back(byte_list(channel, "grid positions"));
    }
    table_ = make_table();
    channels_ = static_cast<int>(max_.size());
    outputs_ = buffer.outputs();
    complete_ = table_->GetIsCompleteFixedSubset();
    buffer_size_ = table_->GetBufferSize();
  }
  VariableTable(const VariableTable &) = delete;
  VariableTable &operator=(const VariableTable &) = delete;

  int channels() const { return channels_; }
  int outputs() const { return outputs_; }
  bool complete() const { return complete_; }
  int buffer_size() const { return buffer_size_; }
  const std::vector<bool> &mask() const { return mask_; }
  const std::vector<std::vector<unsigned char>> &positions() const { return positions_; }
  const py::object &callback() const { return callback_; }
  void set_callback(py::object callback) { callback_ = std::move(callback); }

  py::array interpolate(const ArrayLike &samples, const OutArray &out, bool regular) {
    Rows<unsigned char> in = input_rows<unsigned char>(samples, channels_, "samples", Dtype::exact);
    Rows<float> result = output_rows<float>(out, in.lead_shape, outputs_, "out");
    BufferState &state = buffer_->state();
    check_not_in_callback(state);
    if (regular && !complete_)
      throw py::value_error(
          "regular interpolation needs a table whose every channel combination has full "
          "resolution (is_complete_fixed_subset)");
    Batch batch(in, result, channels_, outputs_);
    CallContext ctx(state);
    bool incomplete = false;
    {
      py::gil_scoped_release nogil;
      if (regular && !all_computed()) {
        incomplete = true;
      } else {
        CallScope scope(ctx);
        run(ctx, [&](VariableResolutionTable &table) { batch.run(table, regular); });
      }
    }
    if (incomplete)
      throw py::value_error(
          "regular interpolation needs every grid point of the table computed; fill() it or "
          "use regular=False");
    ctx.guard.rethrow();
    return result.array;
  }

  /* The grid points of a walk (indices, one row per point) and their buffer indices. */
  std::pair<std::vector<unsigned char>, std::vector<py::ssize_t>> walk(bool unique) {
    std::vector<unsigned char> points;
    std::vector<py::ssize_t> indices;
    BufferState &state = buffer_->state();
    check_not_in_callback(state);
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> alone(state.access);
    const bool *flags = buffer_->flags();
    VariableResolutionTable::BufferIterator it =
        unique ? table_->GetBufferUniquePointsStart(false) : table_->GetBufferStart(false);
    points.reserve(static_cast<std::size_t>(buffer_size_) * static_cast<std::size_t>(channels_));
    indices.reserve(static_cast<std::size_t>(buffer_size_));
    while (!it.atEnd) {
      points.insert(points.end(), it.point.begin(), it.point.end());
      indices.push_back(it.computed - flags);
      table_->GetNextBufferPoint(it);
    }
    return {std::move(points), std::move(indices)};
  }

  py::object grid_points(bool unique, bool return_index) {
    auto [points, indices] = walk(unique);
    const auto count = static_cast<py::ssize_t>(indices.size());
    py::array_t<unsigned char> rows({count, static_cast<py::ssize_t>(channels_)});
    std::copy(points.begin(), points.end(), rows.mutable_data());
    if (!return_index) return rows;
    py::array_t<py::ssize_t> index(count);
    std::copy(indices.begin(), indices.end(), index.mutable_data());
    return py::make_tuple(rows, index);
  }

  void fill(const Function &model, bool unique) {
    auto [points, indices] = walk(unique);
    const auto count = static_cast<py::ssize_t>(indices.size());
    py::array_t<unsigned char> inputs({count, static_cast<py::ssize_t>(channels_)});
    unsigned char *in = inputs.mutable_data();
    for (std::size_t i = 0; i < points.size(); ++i)
      in[i] = positions_[i % static_cast<std::size_t>(channels_)][points[i]];
    py::module_ np = py::module_::import("numpy");
    py::object result = np.attr("asarray")(model(inputs));
    const std::vector<py::ssize_t> shape{count, static_cast<py::ssize_t>(outputs_)};
    try {
      result = np.attr("broadcast_to")(result, py::make_tuple(count, outputs_));
    } catch (py::error_already_set &e) {
      if (!e.matches(PyExc_ValueError)) throw;
      throw py::value_error("model must return values of shape " + shape_text(shape) + ", got " +
                            py::str(result.attr("shape")).cast<std::string>());
    }
    auto values = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(result);
    if (!values) throw py::error_already_set();
    BufferState &state = buffer_->state();
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> alone(state.access);
    float *stored = buffer_->values();
    bool *flags = buffer_->flags();
    const float *from = values.data();
    for (std::size_t i = 0; i < indices.size(); ++i) {
      std::copy_n(from + i * static_cast<std::size_t>(outputs_), outputs_,
                  stored + indices[i] * outputs_);
      flags[indices[i]] = true;
    }
    ++state.edits;
  }

  void clear_cache() {
    BufferState &state = buffer_->state();
    check_not_in_callback(state);
    py::gil_scoped_release nogil;
    std::unique_lock<std::shared_mutex> alone(state.access);
    rebuild();
  }

 private:
  friend class PointCallback;

  std::unique_ptr<VariableResolutionTable> make_table() const {
    auto table =
        std::make_unique<VariableResolutionTable>(max_, positions_, &buffer_->get(), mask_);
    table->SetSinglePointCalculationCallBack(std::make_unique<PointCallback>(this));
    return table;
  }

  /* A fresh table drops the cache of interpolated off-grid vertices. Under access, alone. */
  void rebuild() {
    table_ = make_table();
    built_edits_ = buffer_->state().edits;
  }

  /* Runs body(table) under the buffer's shared lock, so that its results never rest on a
     placeholder: it starts only when no failure awaits its repair, it is repeated (after a
     rebuild) when another call's callback failed meanwhile, and when its own callback failed the
     placeholders are marked missing again before it returns. Without the GIL. */
  template <class Body>
  void run(CallContext &ctx, Body &&body) {
    BufferState &state = buffer_->state();
    for (;;) {
      const auto [pending, repaired] = state.counts();
      if (pending != repaired) {
        state.wait_repaired(pending);
        continue;
      }
      std::uint64_t before = 0, after = 0;
      bool stale = false;
      {
        std::shared_lock<std::shared_mutex> shared(state.access);
        const auto [failures, repairs] = state.counts();
        if (failures != repairs) continue;
        before = failures;
        stale = built_edits_ != state.edits;
        if (!stale) {
          try {
            body(*table_);
          } catch (...) {
            shared.unlock();
            if (ctx.failed) repair(ctx);
            throw;
          }
          after = state.counts().first;
        }
      }
      if (stale) {
        std::unique_lock<std::shared_mutex> alone(state.access);
        if (built_edits_ != state.edits) rebuild();
        continue;
      }
      if (ctx.failed) {
        repair(ctx);
        return;
      }
      if (after == before) return;
      /* Another call's callback failed meanwhile: this call may have read its placeholders,
         and so may this table's cache. */
      state.wait_repaired(after);
      std::unique_lock<std::shared_mutex> alone(state.access);
      rebuild();
    }
  }

  /* Marks the points that received placeholders missing again and drops the table's cache. */
  void repair(CallContext &ctx) {
    BufferState &state = buffer_->state();
    struct Done {
      BufferState &state;
      ~Done() { state.note_repair(); }
    } done{state};
    std::unique_lock<std::shared_mutex> alone(state.access);
    SharedBuffer &buffer = buffer_->get();
    const VariableResTable::DynamicBitSet mask = table_->GetTableMask();
    const auto n = static_cast<std::size_t>(channels_);
    for (std::size_t at = 0; n > 0 && at < ctx.failed_points.size(); at += n) {
      bool *flag = nullptr;
      buffer.DoIrregularLookup(&ctx.failed_points[at], mask, &flag);
      if (flag != nullptr) *flag = false;
    }
    if (ctx.lost_points) {
      /* Every point of the table that holds a placeholder. */
      VariableResolutionTable::BufferIterator it = table_->GetBufferStart(false);
      while (!it.atEnd) {
        if (*it.computed &&
            std::any_of(it.value, it.value + outputs_, [](float v) { return std::isnan(v); }))
          *it.computed = false;
        table_->GetNextBufferPoint(it);
      }
    }
    rebuild();
  }

  /* Whether every grid point of the table is computed (its own walk unless the whole buffer
     is). Without the GIL. */
  bool all_computed() {
    BufferState &state = buffer_->state();
    /* Flags set by a call whose callback failed are not to be trusted until its repair. */
    std::unique_lock<std::shared_mutex> alone(state.access, std::defer_lock);
    for (;;) {
      const auto [failures, repairs] = state.counts();
      if (failures != repairs) {
        state.wait_repaired(failures);
        continue;
      }
      alone.lock();
      const auto [now, done] = state.counts();
      if (now == done) break;
      alone.unlock();
    }
    const bool *flags = buffer_->flags();
    const auto points = static_cast<std::size_t>(buffer_->points());
    if (std::memchr(flags, 0, points) == nullptr) return true;
    VariableResolutionTable::BufferIterator it = table_->GetBufferStart(false);
    while (!it.atEnd) {
      if (!*it.computed) return false;
      table_->GetNextBufferPoint(it);
    }
    return true;
  }

  Buffer *buffer_; /* kept alive by the Python object (keep_alive) */
  std::vector<unsigned char> max_;
  std::vector<std::vector<unsigned char>> positions_;
  std::vector<bool> mask_;
  py::object callback_; /* read and written with the GIL */
  std::unique_ptr<VariableResolutionTable> table_;
  std::uint64_t built_edits_ = 0; /* buffer edits when table_ was made; under access */
  int channels_ = 0;
  int outputs_ = 0;
  bool complete_ = false;
  int buffer_size_ = 0;
};

void PointCallback::operator()(const unsigned char *point, float *values) {
  CallContext *ctx = current_call;
  const VariableTable &owner = *owner_;
  const auto n = static_cast<std::size_t>(owner.channels_);
  const int outputs = owner.outputs_;
  const bool ok = ctx != nullptr && ctx->guard.run([&] {
    if (owner.callback_.is_none())
      raise_value_error("grid point " + point_text(point, n) +
                        " is not computed and the table has no callback; fill() it or give "
                        "a callback");
    py::array_t<unsigned char> index(static_cast<py::ssize_t>(n));
    std::copy_n(point, n, index.mutable_data());
    py::object result = owner.callback_(index);
    auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(result);
    if (!arr) {
      PyErr_Clear();
      raise_value_error("the callback must return " + std::to_string(outputs) + " numbers");
    }
    if (arr.ndim() > 1 || arr.size() != outputs)
      raise_value_error(
          "the callback must return " + std::to_string(outputs) + " numbers for grid point " +
          point_text(point, n) + ", got shape " +
          shape_text(std::vector<py::ssize_t>(arr.shape(), arr.shape() + arr.ndim())));
    const double *v = arr.data();
    for (int o = 0; o < outputs; ++o)
      values[o] = static_cast<float>(v[o]);
  });
  if (ok) return;
  std::fill_n(values, outputs, kPlaceholder);
  if (ctx == nullptr) return;
  if (!ctx->failed) {
    ctx->failed = true;
    ctx->state->note_failure();
  }
  try {
    ctx->failed_points.insert(ctx->failed_points.end(), point, point + n);
  } catch (...) {
    ctx->lost_points = true;
  }
}

/* ---- LabToProcTable -------------------------------------------------------------------------- */

class LabTable {
 public:
  LabTable(int outputs, int step_l, int step_a, int step_b, int coarse_step)
      : table_(std::make_unique<LabToProcTable>(outputs, step_l, step_a, step_b, coarse_step)),
        outputs_(outputs),
        coarse_(coarse_step) {
    /* The grid the constructor made: spacings rounded down to divisors of the axis ranges,
       interval counts to multiples of the coarse step. */
    const int ranges[3] = {128, 256, 256};
    const int requested[3] = {step_l, step_a, step_b};
    for (int k = 0; k < 3; ++k) {
      int step = std::min(requested[k], ranges[k]);
      while (ranges[k] % step != 0)
        --step;
      const int intervals = ranges[k] / step;
      steps_[k] = step;
      dims_[k] = intervals - intervals % coarse_step + 1;
    }
    if (static_cast<long long>(dims_[0]) * dims_[1] * dims_[2] != table_->GetBufferPointAmount())
      throw std::logic_error("LabToProcTable: unexpected grid size");
  }
  LabTable(const LabTable &other) {
    std::shared_lock<std::shared_mutex> shared(other.access_);
    table_ = std::make_unique<LabToProcTable>(*other.table_);
    outputs_ = other.outputs_;
    coarse_ = other.coarse_;
    std::copy_n(other.steps_, 3, steps_);
    std::copy_n(other.dims_, 3, dims_);
  }
  LabTable &operator=(const LabTable &) = delete;

  int outputs() const { return outputs_; }
  int coarse_step() const { return coarse_; }
  py::tuple shape() const { return py::make_tuple(dims_[0], dims_[1], dims_[2]); }
  py::tuple steps() const { return py::make_tuple(steps_[0], steps_[1], steps_[2]); }

  /* Writable view grid[iL, iA, iB, c] of the value vector, whose storage never moves. */
  py::array grid(py::handle base) const {
    const auto item = static_cast<py::ssize_t>(sizeof(float));
    const py::ssize_t sl = outputs_ * item;
    const py::ssize_t sa = sl * dims_[0];
    const py::ssize_t sb = sa * dims_[1];
    return py::array(py::dtype::of<float>(),
                     std::vector<py::ssize_t>{dims_[0], dims_[1], dims_[2], outputs_},
                     std::vector<py::ssize_t>{sl, sa, sb, item}, table_->GetBuffer().data(), base);
  }

  py::array coordinates() const {
    py::array_t<double> lab({dims_[0], dims_[1], dims_[2], 3});
    double *out = lab.mutable_data();
    for (int iL = 0; iL < dims_[0]; ++iL) {
      for (int iA = 0; iA < dims_[1]; ++iA) {
        for (int iB = 0; iB < dims_[2]; ++iB, out += 3) {
          out[0] = iL * 128.0 / (dims_[0] - 1);
          out[1] = iA * 256.0 / (dims_[1] - 1) - 128.0;
          out[2] = iB * 256.0 / (dims_[2] - 1) - 128.0;
        }
      }
    }
    return lab;
  }

  py::array interpolate(const ArrayLike &lab, const OutArray &out) const {
    Rows<float> in = input_rows<float>(lab, 3, "lab", Dtype::convert);
    if (in.count > 0 && (in.col_stride != 1 || (in.count > 1 && in.row_stride != 3))) {
      in.array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(in.array);
      in.data = static_cast<float *>(in.array.mutable_data());
      in.row_stride = 3;
      in.col_stride = 1;
    }
    Rows<float> result = output_rows<float>(out, in.lead_shape, outputs_, "out");
    const bool direct = in.count == 0 || (result.col_stride == 1 &&
                                          (in.count == 1 || result.row_stride == outputs_));
    {
      py::gil_scoped_release nogil;
      std::shared_lock<std::shared_mutex> shared(access_);
      if (direct) {
        table_->Interpolate(in.data, result.data, static_cast<std::uint64_t>(in.count));
      } else {
        std::vector<float> scratch(static_cast<std::size_t>(outputs_));
        for (py::ssize_t i = 0; i < in.count; ++i) {
          table_->Interpolate(in.data + 3 * i, scratch.data(), 1);
          for (int o = 0; o < outputs_; ++o)
            result.data[i * result.row_stride + o * result.col_stride] =
                scratch[static_cast<std::size_t>(o)];
        }
      }
    }
    return result.array;
  }

  void fill(const ArrayLike &samples, const Function &lab_to_process,
            const Function &process_to_lab, bool clip_to_hull, int border_width,
            const OptionalFunction &progress) {
    std::vector<std::vector<double>> sample_rows = sample_list(samples);
    if (!PyCallable_Check(lab_to_process.ptr()))
      throw py::type_error("lab_to_process must be callable");
    if (!PyCallable_Check(process_to_lab.ptr()))
      throw py::type_error("process_to_lab must be callable");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
      throw py::type_error("progress must be callable or None");
    const int outputs = outputs_;
    /* The models run on this thread inside FillTable; their exceptions unwind through it, which
       leaves the table it works on unchanged. */
    LabToProcTable::LabToProcessFunction to_process = [&](const double *lab, int count, float *out,
                                                          double start, double end) {
      py::gil_scoped_acquire gil;
      if (count > 0) {
        py::array_t<double> colours({static_cast<py::ssize_t>(count), py::ssize_t{3}});
        std::copy_n(lab, static_cast<std::size_t>(count) * 3, colours.mutable_data());
        auto values = model_result(lab_to_process(colours), count, outputs, "lab_to_process");
        const double *v = values.data();
        for (std::size_t i = 0; i < static_cast<std::size_t>(count) * outputs; ++i)
          out[i] = static_cast<float>(v[i]);
      }
      if (!progress.is_none()) progress(start, end);
    };
    LabToProcTable::ProcessToLabFunction to_lab = [&](const double *process, int count,
                                                      double *lab) {
      if (count <= 0) return;
      py::gil_scoped_acquire gil;
      py::array_t<double> values({static_cast<py::ssize_t>(count), py::ssize_t{outputs}});
      std::copy_n(process, static_cast<std::size_t>(count) * outputs, values.mutable_data());
      auto colours = model_result(process_to_lab(values), count, 3, "process_to_lab");
      std::copy_n(colours.data(), static_cast<std::size_t>(count) * 3, lab);
    };
    py::gil_scoped_release nogil;
    /* FillTable replaces the value vector; filling a copy and copying its values back keeps the
       storage that grid views point into. */
    std::unique_ptr<LabToProcTable> work = copy_table();
    work->FillTable(std::move(sample_rows), to_process, to_lab, clip_to_hull, border_width);
    std::unique_lock<std::shared_mutex> alone(access_);
    std::vector<float> &values = table_->GetBuffer();
    std::copy(work->GetBuffer().begin(), work->GetBuffer().end(), values.begin());
  }

 private:
  std::unique_ptr<LabToProcTable> copy_table() const {
    std::shared_lock<std::shared_mutex> shared(access_);
    return std::make_unique<LabToProcTable>(*table_);
  }

  /* Samples as (S, K) numbers, K >= 3 (only the first three, L*, a*, b*, are used). */
  static std::vector<std::vector<double>> sample_list(py::handle samples) {
    auto arr = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(samples);
    if (!arr) {
      PyErr_Clear();
      throw py::type_error("samples must be an array of Lab colours");
    }
    std::vector<std::vector<double>> rows;
    if (arr.size() == 0) return rows;
    if (arr.ndim() != 2 || arr.shape(1) < 3)
      throw py::value_error(
          "samples must have shape (count, 3), got " +
          shape_text(std::vector<py::ssize_t>(arr.shape(), arr.shape() + arr.ndim())));
    const double *v = arr.data();
    rows.reserve(static_cast<std::size_t>(arr.shape(0)));
    for (py::ssize_t i = 0; i < arr.shape(0); ++i)
      rows.emplace_back(v + i * arr.shape(1), v + i * arr.shape(1) + 3);
    return rows;
  }

  std::unique_ptr<LabToProcTable> table_;
  int outputs_ = 0;
  int coarse_ = 0;
  int steps_[3] = {};
  int dims_[3] = {};
  /* Shared by interpolations, held alone while filled values are copied in. */
  mutable std::shared_mutex access_;
};

/* ---- HyperCube ------------------------------------------------------------------------------- */

using InterpolationHelpers::BlackLevelCube;
using InterpolationHelpers::HyperCubeWithCorrections;

std::array<double, 3> triple(py::handle seq, const char *what) {
  std::vector<double> v;
  for (py::handle item : py::reinterpret_borrow<py::iterable>(seq))
    v.push_back(py::cast<double>(item));
  if (v.size() != 3) throw py::value_error(std::string(what) + " must hold three numbers");
  return {v[0], v[1], v[2]};
}

BlackLevelCube make_cube(const py::object &origin, double level, const py::object &size) {
  BlackLevelCube cube{};
  const std::array<double, 3> o = triple(origin, "origin");
  const std::array<double, 3> s = triple(size, "size");
  std::copy(o.begin(), o.end(), cube.origin);
  cube.level = level;
  std::copy(s.begin(), s.end(), cube.size);
  return cube;
}

/* A BlackLevelCube, or (origin, level, size). */
BlackLevelCube cube_arg(py::handle value, const char *what) {
  if (py::isinstance<BlackLevelCube>(value)) return value.cast<BlackLevelCube>();
  py::tuple parts;
  try {
    parts = py::tuple(py::reinterpret_borrow<py::object>(value));
  } catch (py::error_already_set &) {
    throw py::type_error(std::string(what) + " must be a BlackLevelCube or (origin, level, size)");
  }
  if (parts.size() != 3)
    throw py::type_error(std::string(what) + " must be a BlackLevelCube or (origin, level, size)");
  return make_cube(parts[0], parts[1].cast<double>(), parts[2]);
}

std::vector<InterpolationHelpers::Point> point_list(py::handle coordinates, py::handle values,
                                                    const char *coordinates_name,
                                                    const char *values_name) {
  std::vector<InterpolationHelpers::Point> points;
  if (coordinates.is_none() && values.is_none()) return points;
  if (coordinates.is_none() || values.is_none())
    throw py::value_error(std::string(coordinates_name) + " and " + values_name +
                          " must be given together");
  Rows<double> at = input_rows<double>(coordinates, 4, coordinates_name, Dtype::convert);
  Rows<double> val = input_rows<double>(values, 3, values_name, Dtype::convert);
  if (at.count != val.count)
    throw py::value_error(std::string(coordinates_name) + " holds " + std::to_string(at.count) +
                          " points but " + values_name + " " + std::to_string(val.count));
  points.resize(static_cast<std::size_t>(at.count));
  for (py::ssize_t i = 0; i < at.count; ++i) {
    InterpolationHelpers::Point &p = points[static_cast<std::size_t>(i)];
    for (int k = 0; k < 4; ++k)
      p.coordinates[k] = at.data[i * at.row_stride + k * at.col_stride];
    for (int k = 0; k < 3; ++k)
      p.value[k] = val.data[i * val.row_stride + k * val.col_stride];
  }
  return points;
}

class HyperCube {
 public:
  HyperCube(const py::object &low, const py::object &high, const ArrayLike &a_coordinates,
            const ArrayLike &a_values, const OptionalArrayLike &b_coordinates,
            const OptionalArrayLike &b_values)
      : low_(cube_arg(low, "low")), high_(cube_arg(high, "high")) {
    if (!(low_.level != high_.level))
      throw py::value_error("low and high must hold at different black levels");
    std::vector<InterpolationHelpers::Point> a =
        point_list(a_coordinates, a_values, "a_coordinates", "a_values");
    std::vector<InterpolationHelpers::Point> b =
        point_list(b_coordinates, b_values, "b_coordinates", "b_values");
    cube_ = std::make_unique<HyperCubeWithCorrections>(low_, high_, a, b);
  }

  const BlackLevelCube &low() const { return low_; }
  const BlackLevelCube &high() const { return high_; }

  py::array interpolate(const ArrayLike &points, const OutArray &out) const {
    Rows<double> in = input_rows<double>(points, 4, "points", Dtype::convert);
    Rows<double> result = output_rows<double>(out, in.lead_shape, 3, "out");
    {
      py::gil_scoped_release nogil;
      for (py::ssize_t i = 0; i < in.count; ++i) {
        double x[4], y[3];
        for (int k = 0; k < 4; ++k)
          x[k] = in.data[i * in.row_stride + k * in.col_stride];
        cube_->interpolate(x, y);
        for (int k = 0; k < 3; ++k)
          result.data[i * result.row_stride + k * result.col_stride] = y[k];
      }
    }
    return result.array;
  }

 private:
  BlackLevelCube low_;
  BlackLevelCube high_;
  std::unique_ptr<HyperCubeWithCorrections> cube_;
};

py::tuple as_tuple(const double *v) {
  return py::make_tuple(v[0], v[1], v[2]);
}

}  // namespace

void register_engines(py::module_ &m) {
  py::class_<Buffer>(m, "SharedBuffer", R"doc(
The grid points of a set of input channels for variable-resolution tables: `outputs` float32
values and a computed flag per point. Tables over some of its channels share the points they
have in common; each grid point is computed once.

    buffer = velmora.SharedBuffer([33, 33, 33, 33], outputs=3)
    table = velmora.VariableResolutionTable(buffer, callback=model)

The grid coarsens as more channels are active at once; fixed subsets keep chosen channel groups
at full resolution. Points not computed hold NaN.)doc")
      .def(py::init<const py::object &, int, const py::object &>(), py::arg("grid_point_counts"),
           py::arg("outputs"), py::arg("fixed_subsets") = py::tuple(),
           "grid_point_counts: grid points per channel (M + 1, 1 .. 33, at most 15 channels; a "
           "table needs M = 1, 2, 4, 8, 16 or 32). outputs: floats per point, 0 .. 255. "
           "fixed_subsets: at most four channel groups kept at full resolution, each a flag per "
           "channel (True for the channels in the group). Raises ValueError for arguments "
           "outside these ranges or grids of more than 2**31 - 1 points, velmora.Error when the "
           "storage cannot be allocated.")
      .def_property_readonly("points", &Buffer::points, "Number of grid points P.")
      .def_property_readonly("outputs", &Buffer::outputs, "Values per grid point.")
      .def_property_readonly(
          "grid_point_counts",
          [](const Buffer &b) { return std::vector<int>(b.counts().begin(), b.counts().end()); },
          "Grid points per channel, as given.")
      .def_property_readonly(
          "fixed_subsets", [](const Buffer &b) { return b.subsets(); },
          "The fixed subsets, as given (a list of flags per subset).")
      .def_property_readonly(
          "values",
          [](py::object self) {
            Buffer &b = self.cast<Buffer &>();
            return py::array(
                py::dtype::of<float>(), std::vector<py::ssize_t>{b.points(), b.outputs()},
                std::vector<py::ssize_t>{static_cast<py::ssize_t>(b.outputs() * sizeof(float)),
                                         static_cast<py::ssize_t>(sizeof(float))},
                b.values(), self);
          },
          "Writable float32 view of the values, shape (points, outputs), in buffer-index order "
          "(VariableResolutionTable.grid_points(return_index=True) gives the index of each grid "
          "point). It keeps the buffer alive. After changing values that tables have already "
          "interpolated, call invalidate_caches().")
      .def_property_readonly(
          "computed",
          [](py::object self) {
            Buffer &b = self.cast<Buffer &>();
            return py::array(py::dtype("bool"), std::vector<py::ssize_t>{b.points()},
                             std::vector<py::ssize_t>{1}, b.flags(), self);
          },
          "Writable bool view of the computed flags, shape (points,): a point whose flag is "
          "set is used as it is; one whose flag is clear is computed by the callback of the "
          "table that needs it. It keeps the buffer alive.")
      .def("invalidate_caches", &Buffer::invalidate_caches,
           "Makes the tables over this buffer drop their caches of interpolated off-grid "
           "vertices: call it after writing values of points the tables have already used.")
      .def("__repr__", [](const Buffer &b) {
        return "SharedBuffer(grid_point_counts=" +
               py::repr(py::cast(std::vector<int>(b.counts().begin(), b.counts().end())))
                   .cast<std::string>() +
               ", outputs=" + std::to_string(b.outputs()) +
               ", points=" + std::to_string(b.points()) + ")";
      });

  py::class_<VariableTable>(m, "VariableResolutionTable", R"doc(
A table from C byte-valued input channels (some channels of a SharedBuffer) to the buffer's
outputs, on a grid that coarsens as more channels are active. Missing grid points are computed
on demand by `callback`, or all at once by `fill`:

    buffer = velmora.SharedBuffer([33] * 4, outputs=3)
    table = velmora.VariableResolutionTable(buffer)
    table.fill(lambda x: model(x / 255.0))        # x: (P, 4) uint8 input bytes
    out = table.interpolate(image)                # uint8 (..., 4) -> float32 (..., 3)

interpolate releases the GIL, and several Python threads may interpolate one table (or several
tables over one buffer) at once; the callback then runs with the GIL on the calling thread. When
the callback raises, no further Python calls are made, the exception propagates once the library
call has returned, and the points it failed on are left missing, so a later call computes them
again.)doc")
      .def(py::init<Buffer &, const OptionalArrayLike &, const OptionalArrayLike &,
                    OptionalFunction>(),
           py::arg("buffer"), py::arg("mask") = py::none(), py::arg("grid_positions") = py::none(),
           py::arg("callback") = py::none(), py::keep_alive<1, 2>(),
           "buffer: the SharedBuffer holding the grid points (kept alive by the table). mask: a "
           "flag per buffer channel, the table's channels (default all). grid_positions: per "
           "table channel the M + 1 input bytes of its grid indices, strictly increasing from 0 "
           "to 255 (default evenly spread, rounded). callback: callback(point) -> outputs "
           "numbers, point a uint8 array of one grid index per table channel; called for grid "
           "points that are not computed. Raises ValueError when the buffer's M of a table "
           "channel is not 1, 2, 4, 8, 16 or 32, or for a mask or positions that do not fit.")
      .def_property_readonly("channels", &VariableTable::channels, "Number of table channels C.")
      .def_property_readonly("outputs", &VariableTable::outputs, "Values per grid point.")
      .def_property_readonly(
          "mask", [](const VariableTable &t) { return t.mask(); },
          "The buffer channels the table spans (a flag per channel).")
      .def_property_readonly(
          "grid_positions",
          [](const VariableTable &t) {
            py::list out;
            for (const std::vector<unsigned char> &p : t.positions()) {
              py::array_t<unsigned char> a(static_cast<py::ssize_t>(p.size()));
              std::copy(p.begin(), p.end(), a.mutable_data());
              out.append(a);
            }
            return out;
          },
          "Per table channel, the input bytes of its grid indices (uint8 arrays of M + 1).")
      .def_property("callback", &VariableTable::callback, &VariableTable::set_callback,
                    "The callable that computes missing grid points (None: a missing point "
                    "raises ValueError). Setting it affects the points computed from then on.")
      .def_property_readonly("is_complete_fixed_subset", &VariableTable::complete,
                             "True when every combination of the table's channels has full "
                             "resolution, so that interpolate(regular=True) applies.")
      .def_property_readonly("buffer_size", &VariableTable::buffer_size,
                             "Number of grid points of the table (of a buffer over its channels "
                             "alone).")
      .def("interpolate", &VariableTable::interpolate, py::arg("samples"),
           py::arg("out") = py::none(), py::arg("regular") = false,
           "Interpolates a uint8 array of shape (..., C) (read in place, strided or not) and "
           "returns float32 results of shape (..., outputs), written to out when given. Missing "
           "grid points are computed through the callback first. regular=True uses the "
           "full-resolution path, which computes nothing: ValueError unless "
           "is_complete_fixed_subset and every grid point of the table is computed. The "
           "callback's exception propagates unchanged; ValueError when it returns a wrong "
           "number of values.")
      .def("grid_points", &VariableTable::grid_points, py::arg("unique") = false,
           py::arg("return_index") = false,
           "The table's grid points as grid indices, a (P, C) uint8 array in walk order: the "
           "all-zero point, then the channel combinations in increasing pattern number (channel "
           "0 most significant), each one's points with the last channel fastest. unique=True "
           "walks only the points where every table channel is active. With return_index, also "
           "the buffer index of each point (an int array of P), for SharedBuffer.values and "
           "computed.")
      .def("fill", &VariableTable::fill, py::arg("model"), py::arg("unique") = false,
           "Computes every grid point of the table (with unique, those where every channel is "
           "active) from model(inputs), called once with the points' input bytes (their grid "
           "positions), a (P, C) uint8 array in the order of grid_points(); its result must "
           "broadcast to (P, outputs). Marks the points computed and makes the tables over the "
           "buffer drop their cached off-grid values.")
      .def("clear_cache", &VariableTable::clear_cache,
           "Drops the table's cache of interpolated off-grid vertices (see "
           "SharedBuffer.invalidate_caches).")
      .def("__repr__", [](const VariableTable &t) {
        return "VariableResolutionTable(channels=" + std::to_string(t.channels()) +
               ", outputs=" + std::to_string(t.outputs()) +
               ", grid_points=" + std::to_string(t.buffer_size()) + ")";
      });

  py::class_<LabTable>(m, "LabToProcTable", R"doc(
A regular grid over CIELAB (L* 0 .. 128, a* and b* -128 .. 128) holding `outputs` process values
per point, on the scale 0 .. 255, converted by trilinear interpolation.

    table = velmora.LabToProcTable(4, 4, 8, 8, 4)       # CMYK, 33 x 33 x 33 points
    table.fill(samples, lab_to_cmyk, cmyk_to_lab)
    cmyk = table.interpolate(lab)                       # (..., 3) -> float32 (..., 4)

Interpolation releases the GIL; any number of threads may interpolate at once. fill runs the
library's worker threads and calls the Python models on the calling thread.)doc")
      .def(py::init<int, int, int, int, int>(), py::arg("outputs"), py::arg("step_l"),
           py::arg("step_a"), py::arg("step_b"), py::arg("coarse_step"),
           "A table of zeros. step_l is the L* spacing, rounded down to a divisor of 128; step_a "
           "and step_b the a* and b* spacings, rounded down to divisors of 256; each axis' "
           "interval count is then rounded down to a multiple of coarse_step, the spacing in "
           "grid steps of the coarse grid fill computes first. Raises ValueError for outputs < "
           "1, spacings or a coarse step below 1, or a coarse step above an axis' interval "
           "count.")
      .def_property_readonly("outputs", &LabTable::outputs, "Process values per grid point M.")
      .def_property_readonly("shape", &LabTable::shape,
                             "Grid points along L*, a*, b*: (nL, nA, nB).")
      .def_property_readonly("steps", &LabTable::steps, "The L*, a*, b* spacings after rounding.")
      .def_property_readonly("coarse_step", &LabTable::coarse_step,
                             "Spacing of fill's coarse grid, in grid steps.")
      .def_property_readonly(
          "grid", [](py::object self) { return self.cast<LabTable &>().grid(self); },
          "Writable float32 view of the values, shape (nL, nA, nB, M): grid[iL, iA, iB] holds "
          "the values of L* = iL * 128 / (nL - 1), a* = iA * 256 / (nA - 1) - 128, b* likewise. "
          "It keeps the table alive and stays valid across fill. Do not write it while another "
          "thread interpolates.")
      .def("coordinates", &LabTable::coordinates,
           "The Lab colour of every grid point as interpolate reads it, shape (nL, nA, nB, 3).")
      .def("interpolate", &LabTable::interpolate, py::arg("lab"), py::arg("out") = py::none(),
           "Converts Lab colours, shape (..., 3), any real dtype (used as float32), to float32 "
           "process values of shape (..., M), written to out when given. Colours outside the "
           "grid (and NaN) are clamped onto it; results are limited to 0 .. 255.")
      .def("fill", &LabTable::fill, py::arg("samples"), py::arg("lab_to_process"),
           py::arg("process_to_lab"), py::arg("clip_to_hull") = true, py::arg("border_width") = 2,
           py::arg("progress") = py::none(),
           R"doc(Computes every grid value from the caller's colour model.

samples: Lab colours, shape (S, 3) (more columns are ignored), whose hull bounds the region
computed at full resolution, grown by border_width grid steps. lab_to_process(lab) receives a
float64 array (count, 3) and returns (count, M) process values on the scale 0 .. 255.
process_to_lab(process) receives a float64 array (count, M) of process values normalised as
1 - value / 254.999 (0 full, 1 empty) and returns (count, 3) Lab colours. Both are vectorised:
lab_to_process is called up to three times (coarse grid, region, points that fail the round
trip), process_to_lab once; neither is called for an empty batch. progress(start, end), when
given, is called after each lab_to_process step with the share of the whole fill (0 .. 1) it
stood for; the last ends at 1. With clip_to_hull, colours outside the samples' hull are pulled
into it before lab_to_process sees them. Values of exactly 0 and 255 are stored as -2.55 and
257.55. Raises ValueError for a coarse step below 2 or a result of the wrong shape; an exception
raised by a model or by progress propagates unchanged. On any exception the table is unchanged.)doc")
      .def(
          "copy", [](const LabTable &t) { return std::make_unique<LabTable>(t); },
          "A deep copy of the table.")
      .def("__repr__", [](const LabTable &t) {
        return "LabToProcTable(outputs=" + std::to_string(t.outputs()) +
               ", shape=" + py::repr(t.shape()).cast<std::string>() + ")";
      });

  py::class_<BlackLevelCube>(m, "BlackLevelCube", R"doc(
The box that holds at one black level: its lower corner `origin`, the black `level` and the edge
lengths `size`.)doc")
      .def(py::init(&make_cube), py::arg("origin"), py::arg("level"), py::arg("size"),
           "origin and size: three numbers each; level: the black level.")
      .def_property_readonly(
          "origin", [](const BlackLevelCube &c) { return as_tuple(c.origin); },
          "The box's lower corner (x, y, z).")
      .def_readonly("level", &BlackLevelCube::level, "The black level at which the box holds.")
      .def_property_readonly(
          "size", [](const BlackLevelCube &c) { return as_tuple(c.size); },
          "The box's edge lengths.")
      .def("__repr__", [](const BlackLevelCube &c) {
        return "BlackLevelCube(origin=" + py::repr(as_tuple(c.origin)).cast<std::string>() +
               ", level=" + py::repr(py::float_(c.level)).cast<std::string>() +
               ", size=" + py::repr(as_tuple(c.size)).cast<std::string>() + ")";
      });

  py::class_<HyperCube>(m, "HyperCube", R"doc(
Interpolation over a box that moves and shrinks with a black level: inputs (x, y, z, black
level) are normalised into the unit hypercube between the boxes `low` and `high`, and the three
outputs are a simplex blend of the values of correction points on the corners of a grid there.
Points of A supply values; points of B supply values and grid positions.

    cube = velmora.HyperCube(low, high, corner_coordinates, corner_values,
                             correction_coordinates, correction_values)
    out = cube.interpolate(points)                  # (..., 4) -> (..., 3)

interpolate releases the GIL; one object may serve several threads at once.)doc")
      .def(py::init<const py::object &, const py::object &, const ArrayLike &, const ArrayLike &,
                    const OptionalArrayLike &, const OptionalArrayLike &>(),
           py::arg("low"), py::arg("high"), py::arg("a_coordinates"), py::arg("a_values"),
           py::arg("b_coordinates") = py::none(), py::arg("b_values") = py::none(),
           "low, high: BlackLevelCube or (origin, level, size), at different black levels. "
           "a_coordinates, b_coordinates: (n, 4) points (x, y, z, black level); a_values, "
           "b_values: their (n, 3) values. Points whose normalised coordinates agree within "
           "0.01 are stored once (the first wins). Raises ValueError for equal levels or "
           "mismatched shapes.")
      .def_property_readonly("low", &HyperCube::low, "The box at the lower black level.")
      .def_property_readonly("high", &HyperCube::high, "The box at the higher black level.")
      .def("interpolate", &HyperCube::interpolate, py::arg("points"), py::arg("out") = py::none(),
           "Interpolates points of shape (..., 4) (x, y, z, black level; any real dtype) and "
           "returns float64 results of shape (..., 3), written to out when given. Normalised "
           "inputs are clamped into the unit hypercube (NaN to 0). A cell corner no stored "
           "point holds takes the multilinear blend of the stored corners of the unit "
           "hypercube.");
}

}  // namespace velmora_py
