/* The small utilities: the 16-bit-state stream cipher, single Base64 groups (and whole texts
   encoded group by group) and lock files as a context manager. */
#include <sys/stat.h>
#include <velmora/cipher.h>
#include <velmora/file_lock.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "binding_support.h"

namespace velmora_py {

namespace {

/* ---- Byte arguments -------------------------------------------------------------------------- */

/* The bytes of a bytes-like argument (bytes, bytearray, memoryview, a uint8 or int8 array),
   contiguous; a strided buffer is copied once. The buffer stays exported (a bytearray cannot
   be resized) while this lives. */
class ByteInput {
 public:
  ByteInput(py::handle obj, const char *what) {
    if (PyUnicode_Check(obj.ptr()))
      throw py::type_error(std::string(what) + " must be bytes-like, not str (encode it first)");
    if (!PyObject_CheckBuffer(obj.ptr()))
      throw py::type_error(std::string(what) +
                           " must be bytes, bytearray, memoryview or a uint8 array, got " +
                           Py_TYPE(obj.ptr())->tp_name);
    py::buffer buffer = py::reinterpret_borrow<py::buffer>(obj);
    info_ = buffer.request();
    const std::string format = info_.format;
    if (info_.itemsize != 1 || (format != "B" && format != "b" && format != "c"))
      throw py::type_error(std::string(what) +
                           " must hold bytes (uint8 items), got items of format '" + format + "'");
    if (!contiguous()) {
      copy_ = py::bytes(py::module_::import("builtins").attr("memoryview")(obj).attr("tobytes")());
      data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(copy_.ptr()));
    } else {
      data_ = static_cast<const unsigned char *>(info_.ptr);
    }
    size_ = static_cast<std::size_t>(info_.size);
  }

  const unsigned char *data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  bool contiguous() const {
    py::ssize_t expected = 1;
    for (py::ssize_t d = info_.ndim - 1; d >= 0; --d) {
      const auto axis = static_cast<std::size_t>(d);
      if (info_.shape[axis] > 1 && info_.strides[axis] != expected) return false;
      expected *= info_.shape[axis];
    }
    return true;
  }

  py::buffer_info info_;
  py::object copy_;
  const unsigned char *data_ = nullptr;
  std::size_t size_ = 0;
};

/* A new bytes object of size bytes, written through the returned pointer. */
py::bytes new_bytes(std::size_t size, unsigned char **data) {
  PyObject *raw = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(size));
  if (raw == nullptr) throw py::error_already_set();
  *data = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(raw));
  return py::reinterpret_steal<py::bytes>(raw);
}

/* ---- Cipher ---------------------------------------------------------------------------------- */

/* An int argument within 0 .. 65535. */
uint16_t uint16_arg(py::handle value, const char *what) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be an int, got " +
                         Py_TYPE(value.ptr())->tp_name);
  py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow != 0 || v < 0 || v > 65535)
    throw py::value_error(std::string(what) + " must lie within 0 .. 65535, got " +
                          py::str(number).cast<std::string>());
  return static_cast<uint16_t>(v);
}

using CipherFunction = void (*)(const unsigned char *, uint32_t, unsigned char *, uint16_t,
                                uint16_t, uint16_t);

py::bytes run_cipher(CipherFunction cipher, py::handle data, py::handle key, py::handle multiplier,
                     py::handle increment) {
  const uint16_t k = uint16_arg(key, "key");
  const uint16_t mul = uint16_arg(multiplier, "multiplier");
  const uint16_t inc = uint16_arg(increment, "increment");
  const ByteInput in(data, "data");
  if (in.size() > UINT32_MAX)
    throw py::value_error("data must be shorter than 4 GiB (the cipher counts bytes in 32 bits)");
  unsigned char *out = nullptr;
  py::bytes result = new_bytes(in.size(), &out);
  {
    py::gil_scoped_release nogil;
    cipher(in.data(), static_cast<uint32_t>(in.size()), out, k, mul, inc);
  }
  return result;
}

/* ---- Base64 ---------------------------------------------------------------------------------- */

py::str encode_group(py::handle data) {
  const ByteInput in(data, "data");
  if (in.size() < 1 || in.size() > 3)
    throw py::value_error("a Base64 group encodes 1 to 3 bytes, got " + std::to_string(in.size()));
  unsigned char source[3] = {0, 0, 0};
  std::memcpy(source, in.data(), in.size());
  char text[4];
  encodeToBase64(source, text, static_cast<int>(in.size()));
  return py::str(text, 4);
}

py::bytes decode_group(py::handle text) {
  std::string group;
  if (PyUnicode_Check(text.ptr())) {
    group = py::reinterpret_borrow<py::str>(text).cast<std::string>();
    if (py::len(text) != 4 || group.size() != 4)
      throw py::value_error("a Base64 group is 4 ASCII characters, got " +
                            py::repr(text).cast<std::string>());
  } else {
    const ByteInput in(text, "text");
    group.assign(reinterpret_cast<const char *>(in.data()), in.size());
    if (group.size() != 4)
      throw py::value_error("a Base64 group is 4 characters, got " + std::to_string(group.size()));
  }
  unsigned char bytes[3];
  decodeFromBase64(group.data(), bytes);
  /* One '=' at the end leaves 2 meaningful bytes, two leave 1; the rest is noise. */
  std::size_t meaningful = 3;
  if (group[3] == '=') meaningful = group[2] == '=' ? 1 : 2;
  return py::bytes(reinterpret_cast<const char *>(bytes), meaningful);
}

py::str encode_text(py::handle data) {
  const ByteInput in(data, "data");
  std::string text;
  text.reserve((in.size() + 2) / 3 * 4);
  for (std::size_t at = 0; at < in.size(); at += 3) {
    const std::size_t count = std::min<std::size_t>(3, in.size() - at);
    unsigned char source[3] = {0, 0, 0};
    std::memcpy(source, in.data() + at, count);
    char group[4];
    encodeToBase64(source, group, static_cast<int>(count));
    text.append(group, 4);
  }
  return py::str(text);
}

/* ---- Lock files ------------------------------------------------------------------------------ */

/* A lock file held by this object between acquire() and release(). Thread-safe: the record is
   guarded by a mutex that is never waited for while the GIL is held by its holder. */
class LockFile {
 public:
  explicit LockFile(PathLike path) {
    py::module_ os = py::module_::import("os");
    path_ = os.attr("fspath")(path);
    encoded_ = os.attr("fsencode")(path_).cast<std::string>();
    if (encoded_.empty()) throw py::value_error("the lock-file path is empty");
    if (encoded_.find('\0') != std::string::npos)
      throw py::value_error("the lock-file path contains a NUL character");
    if (encoded_.size() >= FLOCK_PATH_SIZE)
      throw py::value_error("the lock-file path must be shorter than " +
                            std::to_string(FLOCK_PATH_SIZE) + " bytes, got " +
                            std::to_string(encoded_.size()));
  }
  ~LockFile() { flock_free(lock_); }
  LockFile(const LockFile &) = delete;
  LockFile &operator=(const LockFile &) = delete;

  bool acquire() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(mutex_);
    if (lock_ != nullptr) return false;
    lock_ = flock_get(encoded_.c_str());
    return lock_ != nullptr;
  }

  void release() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(mutex_);
    lock_ = flock_free(lock_);
  }

  bool locked() {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> hold(mutex_);
    return lock_ != nullptr;
  }

  const py::object &path() const { return path_; }

  /* Takes the lock for a with-block; velmora.Error when it cannot be had. */
  void enter() {
    if (locked()) raise_error("lock file " + display() + " is already held by this LockFile");
    if (!acquire()) raise_error("could not take lock file " + display() + ": " + why_refused());
  }

  std::string display() const { return py::repr(path_).cast<std::string>(); }

 private:
  /* flock_get reports nothing; the likely cause, from what the file system shows now. */
  std::string why_refused() const {
    struct stat info;
    if (::lstat(encoded_.c_str(), &info) == 0)
      return "it is held by a live process (this one included)";
    const std::size_t slash = encoded_.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : encoded_.substr(0, slash));
    if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return "its directory does not exist";
    return "the file could not be created there (is the directory writable and readable?)";
  }

  py::object path_;
  std::string encoded_;
  std::mutex mutex_;
  FLOCK *lock_ = nullptr;
};

}  // namespace

void register_util(py::module_ &m) {
  m.def(
      "encrypt",
      [](py::handle data, py::handle key, py::handle multiplier, py::handle increment) {
        return run_cipher(CipherEncrypt, data, key, multiplier, increment);
      },
      py::arg("data"), py::arg("key"), py::arg("multiplier"), py::arg("increment"),
      R"doc(Enciphers data with the 16-bit-state stream cipher.

The state r starts at key; each byte p gives c = p ^ (r >> 8), and then
r = (c + r) * multiplier + increment (mod 65536). data is bytes, bytearray, memoryview or a
uint8 array (read in place when contiguous); key, multiplier and increment are ints within
0 .. 65535 (ValueError otherwise). Returns bytes of the same length.

The whole state is 16 bits: the cipher hides data from a glance and matches files that use
it; it does not protect secrets.)doc");
  m.def(
      "decrypt",
      [](py::handle data, py::handle key, py::handle multiplier, py::handle increment) {
        return run_cipher(CipherDecrypt, data, key, multiplier, increment);
      },
      py::arg("data"), py::arg("key"), py::arg("multiplier"), py::arg("increment"),
      R"doc(Deciphers data that encrypt enciphered with the same key, multiplier and increment.

Arguments and result as for encrypt.)doc");

  m.def("encode_base64_group", &encode_group, py::arg("data"),
        R"doc(Encodes 1 to 3 bytes as one Base64 group of 4 characters.

Standard alphabet (RFC 4648); '==' ends a group of 1 byte, '=' a group of 2. ValueError for
another length.)doc");
  m.def("decode_base64_group", &decode_group, py::arg("text"),
        R"doc(Decodes one Base64 group of 4 characters (str or bytes) into its meaningful bytes.

Returns 3 bytes, or 2 when the group ends in '=', 1 when it ends in '=='. The library does not
check the characters: one outside the alphabet decodes as if its 6 bits were all set.
ValueError for a text of another length.)doc");
  m.def("base64_encode", &encode_text, py::arg("data"),
        R"doc(Encodes bytes-like data as Base64 text (standard alphabet, '=' padding).

The text is made group by group by the same library call as encode_base64_group.)doc");

  py::class_<LockFile>(m, "LockFile", R"doc(
An advisory lock between processes, held as the existence of a lock file:

    with velmora.LockFile("/var/lock/profiles.lock"):
        ...                       # no other holder of the same path in here

The lock is taken by creating the file exclusively; release() removes it. The open descriptor
also carries a flock(2) lock, so a file left behind by a holder that died is recognised as stale
and taken over. The lock is released when the object is garbage-collected, and the system
releases it when the process ends, however it ends. Relies on flock(2) behaving as on a local
file system.)doc")
      .def(py::init<PathLike>(), py::arg("path"),
           "A lock on path (str, bytes or os.PathLike), not yet taken.\n\nValueError for an "
           "empty path or one of 256 bytes or more.")
      .def("acquire", &LockFile::acquire,
           "Tries once to take the lock and returns True when it was taken.\n\nFalse when it is "
           "held (by another process, another LockFile, or this one) or the file cannot be "
           "created there. Does not wait; the GIL is released meanwhile.")
      .def("release", &LockFile::release,
           "Releases the lock: removes the lock file. Harmless when the lock is not held.")
      .def_property_readonly("locked", &LockFile::locked, "True while this object holds the lock.")
      .def_property_readonly("path", &LockFile::path,
                             "The lock-file path as str or bytes (os.fspath of the path given).")
      .def(
          "__enter__",
          [](py::object self) {
            self.cast<LockFile &>().enter();
            return self;
          },
          "Takes the lock; velmora.Error when it cannot be had (held elsewhere, no such "
          "directory, not writable).")
      .def(
          "__exit__",
          [](LockFile &lock, py::handle, py::handle, py::handle) {
            lock.release();
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"), "Releases the lock.")
      .def(
          "__repr__",
          [](LockFile &lock) {
            return "<velmora.LockFile " + lock.display() + (lock.locked() ? " locked>" : ">");
          },
          "The path and whether the lock is held.");
}

}  // namespace velmora_py
