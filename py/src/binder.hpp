// The binding machinery of the package's extension modules: one parameter
// table (every parameter name means the same thing, with the same default, in
// every function that has it), argument binding and conversion in the manner
// of the interpreter's own Argument Clinic code with the same error messages,
// result conversion, C++ exceptions into Python exceptions, and the module
// plumbing. No analysis happens here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audit_run.hpp"
#include "call.hpp"
#include "error.hpp"
#include "flip.hpp"
#include "format.hpp"
#include "options.hpp"

namespace tarvix::binding {

// ---------------------------------------------------------------------------
// Owned references

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* o) : p_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Parameters. Every parameter name means the same thing (and has the same
// default) in every function that has it, so one table describes them all and
// each function lists the ones it takes, in order.

enum Field : std::size_t {
  kBvec,
  kBval,
  kGrad,
  kDwi,
  kMask,
  kRoot,
  kOutBvec,
  kOutBval,
  kOutGrad,
  kProvenance,
  kTolerance,
  kB0Threshold,
  kShell,
  kStep,
  kMarginThreshold,
  kStrict,
  kNormTolerance,
  kDryRun,
  kInPlace,
  kForceRepair,
  kTracking,
  kGlyphs,
  kProfile,
  kMeasure,
  kEntry,
  kOutDir,
  kParticipants,
  kKeepGoing,
  kResults,
  kGaps,
  kForce,
  kNoConsistency,
  kThreads,
  kFieldCount
};

enum class Kind { Path, Real, Flag, Count };

struct FieldSpec {
  Field field;
  const char* name;
  Kind kind;
  // The default of a real that has one, from the core's options; every other
  // parameter defaults to None (False for flags), and accepts None.
  std::optional<double> real_default = std::nullopt;
};

constexpr std::array<FieldSpec, kFieldCount> kFields = {{
    {kBvec, "bvec", Kind::Path},
    {kBval, "bval", Kind::Path},
    {kGrad, "grad", Kind::Path},
    {kDwi, "dwi", Kind::Path},
    {kMask, "mask", Kind::Path},
    {kRoot, "root", Kind::Path},
    {kOutBvec, "out_bvec", Kind::Path},
    {kOutBval, "out_bval", Kind::Path},
    {kOutGrad, "out_grad", Kind::Path},
    {kProvenance, "provenance", Kind::Path},
    {kTolerance, "tolerance", Kind::Real, tarvix::defaults::kTolerance},
    {kB0Threshold, "b0_threshold", Kind::Real, tarvix::defaults::kB0Threshold},
    {kShell, "shell", Kind::Real},
    {kStep, "step", Kind::Real},
    {kMarginThreshold, "margin_threshold", Kind::Real, tarvix::defaults::kMarginThreshold},
    {kStrict, "strict", Kind::Flag},
    {kNormTolerance, "norm_tolerance", Kind::Real, tarvix::defaults::kNormTolerance},
    {kDryRun, "dry_run", Kind::Flag},
    {kInPlace, "in_place", Kind::Flag},
    {kForceRepair, "force_repair", Kind::Flag},
    {kTracking, "tracking", Kind::Flag},
    {kGlyphs, "glyphs", Kind::Flag},
    {kProfile, "profile", Kind::Flag},
    {kMeasure, "measure", Kind::Path},
    {kEntry, "entry", Kind::Path},
    {kOutDir, "out_dir", Kind::Path},
    {kParticipants, "participants", Kind::Path},
    {kKeepGoing, "keep_going", Kind::Flag},
    {kResults, "results", Kind::Path},
    {kGaps, "gaps", Kind::Path},
    {kForce, "force", Kind::Flag},
    {kNoConsistency, "no_consistency", Kind::Flag},
    {kThreads, "threads", Kind::Count},
}};

constexpr bool fields_in_order() {
  for (std::size_t i = 0; i < kFields.size(); ++i)
    if (kFields[i].field != i) return false;
  return true;
}
static_assert(fields_in_order(), "kFields must be indexed by Field");

// The analysis settings as the command line offers them, each declared here
// once: its value's placeholder and help, and the range it must lie in with
// the words a usage error gives it ("--tolerance must be greater than 0").
// The option's name and default come from kFields. The command line builds its
// options, their help and its usage checks from this table (_engine.settings);
// the module keeps its own checks.
struct SettingSpec {
  Field field;
  const char* metavar;
  const char* help;
  std::optional<double> min = std::nullopt;
  bool min_open = false;  // the bound itself is outside the range
  std::optional<double> max = std::nullopt;
  bool max_open = false;
  const char* range_words = nullptr;
};

// More threads than this in one run only add contention; the module itself
// caps a pool at Execution's own limit.
inline constexpr double kMaxCommandThreads = 256;

inline constexpr SettingSpec kSettings[] = {
    {kTolerance, "FRACTION", "relative spread of b-values still counted as one shell", 0.0, true, std::nullopt,
     false, "greater than 0"},
    {kB0Threshold, "B", "b-values at or below this count as b=0 volumes", 0.0, false, std::nullopt, false,
     "0 or more"},
    {kShell, "B", "b-value of the shell used to check the axes (default: the shell nearest 1000)", 0.0, true,
     std::nullopt, false, "a b-value greater than 0"},
    {kStep, "VOXELS",
     "coherence: distance in voxels from a voxel to the neighbours its fibre direction is compared with "
     "(default: 4 mm, at least one voxel)",
     0.0, true, std::nullopt, false, "greater than 0 voxels"},
    {kMarginThreshold, "FRACTION",
     "coherence: relative lead the best axis transform needs over the runner-up to be flagged (the tracking's "
     "own is 0.05)",
     0.0, true, 1.0, false, "above 0 and at most 1"},
    {kNormTolerance, "FRACTION",
     "how far direction lengths may stray from 1 before the vectors count as amplitude-encoded"},
    {kThreads, "N", "number of worker threads for this run, at most 256 (default: one per processor)", 1.0, false,
     kMaxCommandThreads, false, "a positive integer"},
};

struct Param {
  Field field;
  bool required = false;
};

struct Signature {
  const char* name;
  std::span<const Param> params;
  const char* description;
};

constexpr bool is_none_default(const FieldSpec& f) { return f.kind != Kind::Flag && !f.real_default; }

// As the signature shows it: the repr of the default value.
inline std::string default_text(const FieldSpec& f) {
  if (f.kind == Kind::Flag) return "False";
  return f.real_default ? tarvix::format_json_real(*f.real_default) : "None";
}

// The converted values of one call; fields a function does not take keep
// their defaults, which are also the core's defaults.
struct Bound {
  std::array<std::optional<std::string>, kFieldCount> path;
  std::array<std::optional<double>, kFieldCount> real;
  std::array<bool, kFieldCount> flag{};
  std::optional<std::uint64_t> threads;

  Bound() {
    for (const auto& f : kFields)
      if (f.real_default) real[f.field] = f.real_default;
  }

  std::string required_path(Field f) const { return path[f].value(); }
};

// ---------------------------------------------------------------------------
// Keyword suggestions ("Did you mean 'tolerance'?"), the interpreter's own
// weighted edit distance: a case change costs 1, any other edit 2, and a
// candidate is only offered when at most a third of the characters change.

constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;
constexpr std::size_t kMaxStringSize = 40;

inline std::size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a = static_cast<char>(a + ('a' - 'A'));
  if ('A' <= b && b <= 'Z') b = static_cast<char>(b + ('a' - 'A'));
  return a == b ? kCaseCost : kMoveCost;
}

inline std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t max_cost) {
  while (!a.empty() && !b.empty() && a.front() == b.front()) {
    a.remove_prefix(1);
    b.remove_prefix(1);
  }
  while (!a.empty() && !b.empty() && a.back() == b.back()) {
    a.remove_suffix(1);
    b.remove_suffix(1);
  }
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxStringSize || b.size() > kMaxStringSize) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;

  std::array<std::size_t, kMaxStringSize> row{};
  for (std::size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t bi = 0; bi < b.size(); ++bi) {
    std::size_t distance = result = bi * kMoveCost;
    std::size_t minimum = SIZE_MAX;
    for (std::size_t ai = 0; ai < a.size(); ++ai) {
      const std::size_t substitute = distance + substitution_cost(b[bi], a[ai]);
      distance = row[ai];
      const std::size_t insert_delete = std::min(result, distance) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[ai] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

inline const char* suggest_keyword(const Signature& sig, std::string_view given) {
  const char* best = nullptr;
  std::size_t best_distance = SIZE_MAX;
  for (const Param& p : sig.params) {
    const std::string_view name = kFields[p.field].name;
    if (name == given) continue;
    std::size_t max_distance = (given.size() + name.size() + 3) * kMoveCost / 6;
    if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
    const std::size_t d = edit_distance(given, name, max_distance);
    if (d > max_distance) continue;
    if (!best || d < best_distance) {
      best = kFields[p.field].name;
      best_distance = d;
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// Binding: positional and keyword arguments into one slot per parameter, with
// the interpreter's checks in the interpreter's order and its messages.

inline PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwstack, const char* name) {
  const Py_ssize_t n = PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GetItem(kwnames, i);
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return kwstack[i];
  }
  return nullptr;
}

inline bool is_parameter(const Signature& sig, PyObject* key) {
  for (const Param& p : sig.params)
    if (PyUnicode_CompareWithASCIIString(key, kFields[p.field].name) == 0) return true;
  return false;
}

inline void raise_unexpected_keyword(const Signature& sig, PyObject* kwnames) {
  const Py_ssize_t n = PyTuple_Size(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* key = PyTuple_GetItem(kwnames, i);
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return;
    }
    if (is_parameter(sig, key)) continue;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    const char* suggestion = nullptr;
    if (utf8)
      suggestion = suggest_keyword(sig, std::string_view(utf8, static_cast<std::size_t>(size)));
    else
      PyErr_Clear();
    if (suggestion)
      PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'. Did you mean '%s'?",
                   sig.name, key, suggestion);
    else
      PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'", sig.name, key);
    return;
  }
  PyErr_Format(PyExc_TypeError, "invalid keyword argument for %.200s()", sig.name);
}

// Fills `slots` (one per parameter, nullptr where not given). All parameters
// are positional-or-keyword; the required ones lead.
inline bool unpack(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            std::span<PyObject*> slots) {
  const Py_ssize_t maxargs = static_cast<Py_ssize_t>(sig.params.size());
  Py_ssize_t minpos = 0;
  while (minpos < maxargs && sig.params[static_cast<std::size_t>(minpos)].required) ++minpos;

  Py_ssize_t nkwargs = kwnames ? PyTuple_Size(kwnames) : 0;
  PyObject* const* kwstack = args + nargs;
  for (auto& s : slots) s = nullptr;

  if (nkwargs == 0 && minpos <= nargs && nargs <= maxargs) {
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    return true;
  }
  if (nargs + nkwargs > maxargs) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd %sargument%s (%zd given)", sig.name, maxargs,
                 nargs == 0 ? "keyword " : "", maxargs == 1 ? "" : "s", nargs + nkwargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
  for (Py_ssize_t i = nargs; i < maxargs; ++i) {
    const char* name = kFields[sig.params[static_cast<std::size_t>(i)].field].name;
    PyObject* current = nullptr;
    if (nkwargs)
      current = find_keyword(kwnames, kwstack, name);
    else if (i >= minpos)
      break;
    slots[static_cast<std::size_t>(i)] = current;
    if (current) {
      --nkwargs;
    } else if (i < minpos) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)", sig.name, name, i + 1);
      return false;
    }
  }
  if (nkwargs > 0) {
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      const char* name = kFields[sig.params[static_cast<std::size_t>(i)].field].name;
      if (find_keyword(kwnames, kwstack, name)) {
        PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%zd)", sig.name,
                     name, i + 1);
        return false;
      }
    }
    raise_unexpected_keyword(sig, kwnames);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conversion, one parameter kind each. A failure names the function and the
// parameter in the interpreter's "argument 'x' must be T, not U" form.

// The type's name as the interpreter prints it in its own messages (its
// tp_name, which the stable ABI does not expose): types implemented in C are
// immutable and named with their module unless it is builtins; classes made by
// a class statement are mutable and named bare.
inline std::string type_name(PyObject* o) {
  if (o == Py_None) return "None";
  PyTypeObject* type = Py_TYPE(o);
  Ref name(PyType_GetName(type));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "?";
  }
  std::string out(utf8, static_cast<std::size_t>(size));
  if (!(PyType_GetFlags(type) & Py_TPFLAGS_IMMUTABLETYPE)) return out;
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  const char* m = module && PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), &size) : nullptr;
  if (!m) {
    PyErr_Clear();
    return out;
  }
  const std::string_view mv(m, static_cast<std::size_t>(size));
  return mv == "builtins" ? out : std::string(mv) + "." + out;
}

// Whether the type can be converted by float() or operator.index(), the test
// the interpreter's own converters make before calling them.
inline bool has_number_slot(PyObject* o, bool or_float) {
  PyTypeObject* type = Py_TYPE(o);
  return PyType_GetSlot(type, Py_nb_index) || (or_float && PyType_GetSlot(type, Py_nb_float));
}

inline bool bad_argument(const Signature& sig, const FieldSpec& f, const char* expected, PyObject* o) {
  PyErr_Format(PyExc_TypeError, "%.200s() argument '%s' must be %s, not %.50s", sig.name, f.name, expected,
               type_name(o).c_str());
  return false;
}

// Only str: path-like objects and bytes are refused rather than guessed at.
// The file-system encoding with surrogateescape gives back the original bytes
// of names that are not valid UTF-8.
inline bool convert_path(const Signature& sig, const FieldSpec& f, bool none_ok, PyObject* o,
                  std::optional<std::string>& out) {
  if (none_ok && o == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(o)) return bad_argument(sig, f, none_ok ? "str or None" : "str", o);
  Ref encoded(PyUnicode_EncodeFSDefault(o));
  if (!encoded) return false;
  const char* data = PyBytes_AsString(encoded.get());
  const auto size = static_cast<std::size_t>(PyBytes_Size(encoded.get()));
  // The operating system would silently cut the path at a NUL byte.
  if (std::memchr(data, 0, size)) {
    PyErr_Format(PyExc_ValueError, "%.200s: embedded null character in %s", sig.name, f.name);
    return false;
  }
  out.emplace(data, size);
  return true;
}

inline bool convert_real(const Signature& sig, const FieldSpec& f, bool none_ok, PyObject* o,
                  std::optional<double>& out) {
  if (none_ok && o == Py_None) {
    out.reset();
    return true;
  }
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AsDouble(o);
    return true;
  }
  if (!PyFloat_Check(o) && !has_number_slot(o, true))
    return bad_argument(sig, f, none_ok ? "float or None" : "float", o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

// bool, or an array library's boolean scalar (recognised by its type name so
// that numpy need not be imported); 1 and 0 are refused.
inline bool convert_flag(const Signature& sig, const FieldSpec& f, PyObject* o, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  const std::string tn = type_name(o);
  if (tn != "numpy.bool" && tn != "numpy.bool_") return bad_argument(sig, f, "bool", o);
  const int v = PyObject_IsTrue(o);
  if (v < 0) return false;
  out = v != 0;
  return true;
}

// None or an integer (anything with __index__, as for any int parameter);
// negative or too large counts raise the interpreter's OverflowError.
inline bool convert_count(const Signature& sig, const FieldSpec& f, PyObject* o, std::optional<std::uint64_t>& out) {
  if (o == Py_None) {
    out.reset();
    return true;
  }
  if (!PyLong_Check(o) && !has_number_slot(o, false)) return bad_argument(sig, f, "int or None", o);
  Ref index(PyNumber_Index(o));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
  std::array<PyObject*, kFieldCount> storage{};
  const std::span<PyObject*> slots(storage.data(), sig.params.size());
  if (!unpack(sig, args, nargs, kwnames, slots)) return false;
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    PyObject* o = slots[i];
    if (!o) continue;
    const Param& p = sig.params[i];
    const FieldSpec& f = kFields[p.field];
    const bool none_ok = !p.required && is_none_default(f);
    bool ok = false;
    switch (f.kind) {
      case Kind::Path: ok = convert_path(sig, f, none_ok, o, b.path[p.field]); break;
      case Kind::Real: ok = convert_real(sig, f, none_ok, o, b.real[p.field]); break;
      case Kind::Flag: ok = convert_flag(sig, f, o, b.flag[p.field]); break;
      case Kind::Count: ok = convert_count(sig, f, o, b.threads); break;
    }
    if (!ok) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Results into Python objects.

inline PyObject* text(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

inline void put_f32_le(char* out, double value) {
  const float f = static_cast<float>(value);  // round to nearest
  std::uint32_t bits = 0;
  std::memcpy(&bits, &f, sizeof bits);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((bits >> (8 * i)) & 0xFFu);
}

// One allocation per buffer; `fill` writes exactly n bytes.
template <class Fill>
inline PyObject* bytes_of(std::size_t n, Fill&& fill) {
  PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (b) fill(PyBytes_AsString(b));
  return b;
}

inline PyObject* float_list(std::span<const double> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (!v) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

template <std::size_t R, std::size_t C>
inline PyObject* matrix_list(const std::array<std::array<double, C>, R>& m) {
  Ref rows(PyList_New(R));
  if (!rows) return nullptr;
  for (std::size_t r = 0; r < R; ++r) {
    PyObject* row = float_list(m[r]);
    if (!row) return nullptr;
    PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(r), row);
  }
  return rows.release();
}

inline bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (!value) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// The viewer's payload: geometry as lists, per-voxel data as raw little-endian
// float32 (and byte) buffers in voxel linear order.
inline PyObject* glyph_payload(const tarvix::GlyphData& g, const tarvix::VolumeInfo& info) {
  const auto& field = g.field;
  const std::uint64_t n = field.shape[0] * field.shape[1] * field.shape[2];
  if (field.v1.size() != n || field.fa.size() != n || field.s0.size() != n || g.mask.size() != n)
    throw std::logic_error("glyph buffers do not match the tensor-field shape");

  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  Ref shape(PyList_New(3));
  if (!shape) return nullptr;
  for (int i = 0; i < 3; ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(field.shape[static_cast<std::size_t>(i)]);
    if (!v) return nullptr;
    PyList_SetItem(shape.get(), i, v);
  }
  if (!set_item(dict.get(), "shape", shape.release())) return nullptr;
  if (!set_item(dict.get(), "affine", matrix_list(info.affine))) return nullptr;
  if (!set_item(dict.get(), "voxel_sizes", float_list(info.voxel_sizes))) return nullptr;
  if (!set_item(dict.get(), "frame_map", matrix_list(g.frame_map))) return nullptr;
  PyObject* v1 = bytes_of(12 * n, [&](char* out) {
    for (std::uint64_t i = 0; i < n; ++i)
      for (int c = 0; c < 3; ++c) put_f32_le(out + 12 * i + 4 * c, field.v1[i][static_cast<std::size_t>(c)]);
  });
  if (!set_item(dict.get(), "v1", v1)) return nullptr;
  PyObject* fa = bytes_of(4 * n, [&](char* out) {
    for (std::uint64_t i = 0; i < n; ++i) put_f32_le(out + 4 * i, field.fa[i]);
  });
  if (!set_item(dict.get(), "fa", fa)) return nullptr;
  PyObject* s0 = bytes_of(4 * n, [&](char* out) {
    for (std::uint64_t i = 0; i < n; ++i) put_f32_le(out + 4 * i, field.s0[i]);
  });
  if (!set_item(dict.get(), "s0", s0)) return nullptr;
  PyObject* mask = bytes_of(n, [&](char* out) {
    for (std::uint64_t i = 0; i < n; ++i) out[i] = g.mask[i] ? 1 : 0;
  });
  if (!set_item(dict.get(), "mask", mask)) return nullptr;
  return dict.release();
}

inline PyObject* timings_dict(const tarvix::StageTimings& t) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, double> entries[] = {
      {"threads", t.threads}, {"decompress", t.decompress}, {"convert", t.convert}, {"fit", t.fit},
      {"coherence", t.coherence}, {"other", t.other}, {"total", t.total},
  };
  for (const auto& [key, value] : entries)
    if (!set_item(dict.get(), key, PyFloat_FromDouble(value))) return nullptr;
  return dict.release();
}


// ---------------------------------------------------------------------------
// Errors: every C++ exception ends here and becomes a Python exception.

inline void raise_text(PyObject* type, const std::string& message) {
  Ref s(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (s) PyErr_SetObject(type, s.get());
}

// With `name_files` an error's text names the file it concerns, by option.
template <class F>
inline PyObject* guarded(F&& f, bool name_files = false) noexcept {
  try {
    return f();
  } catch (const tarvix::Error& e) {
    raise_text(PyExc_ValueError, name_files ? tarvix::located(e, tarvix::Naming::Option) : e.display());
  } catch (const tarvix::Failure& e) {
    raise_text(PyExc_ValueError, e.text());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
  }
  return nullptr;
}


// ---------------------------------------------------------------------------
// Bound values into the core's argument records.

inline tarvix::TableArgs table_args(const Bound& b) { return {b.path[kBvec], b.path[kBval], b.path[kGrad]}; }

inline tarvix::AnalysisOptions analysis_options(const Bound& b) {
  tarvix::AnalysisOptions o;
  o.tolerance = b.real[kTolerance].value();
  o.b0_threshold = b.real[kB0Threshold].value();
  o.shell = b.real[kShell];
  o.step = b.real[kStep];
  o.margin_threshold = b.real[kMarginThreshold].value();
  o.strict = b.flag[kStrict];
  o.norm_tolerance = b.real[kNormTolerance].value();
  return o;
}

inline tarvix::OutputPaths output_paths(const Bound& b) {
  return {b.required_path(kOutBvec), b.required_path(kOutBval), b.path[kOutGrad], b.path[kProvenance],
          b.flag[kDryRun], b.flag[kInPlace]};
}

inline tarvix::AnalysisArgs analysis_args(const Bound& b) {
  return {table_args(b), b.path[kDwi], b.path[kMask], analysis_options(b), b.threads};
}

// ---------------------------------------------------------------------------
// Module plumbing shared by the package's extension modules.

// One module's interpreter and first module object. Its function objects
// belong to the interpreter that first created it; a sub-interpreter that
// shares the lock could still be handed a copy of the module's dictionary, so
// every call checks too.
struct ModuleState {
  const char* name;
  PyInterpreterState* owner = nullptr;
  // The module made by the first initialisation, kept for the life of the
  // process: a re-import hands back this very object.
  PyObject* first = nullptr;
  // Whether its errors name the file they concern (the command line's engine);
  // _tarvix's texts stay as they always were.
  bool name_files = false;
};

inline bool foreign_interpreter(const ModuleState& m) {
  if (PyInterpreterState_Get() == m.owner) return false;
  PyErr_Format(PyExc_ImportError, "%s can only be used by the interpreter that first imported it", m.name);
  return true;
}

using RunFn = PyObject* (*)(const Bound&);

template <ModuleState& M, const Signature& S, RunFn Run>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (foreign_interpreter(M)) return nullptr;
  return guarded([&]() -> PyObject* {
    Bound b;
    if (!bind(S, args, nargs, kwnames, b)) return nullptr;
    return Run(b);
  }, M.name_files);
}

struct Entry {
  const Signature* sig;  // nullptr for functions without arguments
  const char* name;
  PyCFunction fn;
};

template <ModuleState& M, const Signature& S, RunFn Run>
Entry fast_entry() {
  return {&S, S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M, S, Run>))};
}

// The signature line the interpreter turns into __text_signature__, then the
// description that becomes __doc__.
inline std::string docstring(const Signature& sig) {
  std::string doc = sig.name;
  doc += '(';
  bool first = true;
  for (const Param& p : sig.params) {
    if (!first) doc += ", ";
    first = false;
    doc += kFields[p.field].name;
    if (!p.required) {
      doc += '=';
      doc += default_text(kFields[p.field]);
    }
  }
  doc += ")\n--\n\n";
  doc += sig.description;
  return doc;
}


// The method table (and the docstrings it points into) of one module.
template <std::size_t N>
struct MethodTable {
  std::array<std::string, N> docs;
  std::array<PyMethodDef, N + 1> methods{};

  void fill(const std::array<Entry, N>& entries) {
    for (std::size_t i = 0; i < N; ++i) {
      const Entry& e = entries[i];
      docs[i] = e.sig ? docstring(*e.sig) : std::string(e.name) + "()\n--\n\n";
      methods[i] = {e.name, e.fn, e.sig ? METH_FASTCALL | METH_KEYWORDS : METH_NOARGS, docs[i].c_str()};
    }
    methods[N] = {nullptr, nullptr, 0, nullptr};
  }
};

// The body of a module's PyInit: refuses other interpreters, returns the first
// module on a re-import, else creates it (filling the method table once).
template <std::size_t N>
PyObject* init_module(ModuleState& m, PyModuleDef& def, MethodTable<N>& table,
                      std::array<Entry, N> (*entries)()) {
  PyInterpreterState* here = PyInterpreterState_Get();
  if (m.owner && foreign_interpreter(m)) return nullptr;
  if (m.first) return Py_NewRef(m.first);
  return guarded([&]() -> PyObject* {
    if (!def.m_methods) {
      table.fill(entries());
      def.m_methods = table.methods.data();
    }
    PyObject* module = PyModule_Create(&def);
    if (module) {
      m.owner = here;
      m.first = Py_NewRef(module);
    }
    return module;
  });
}

}  // namespace tarvix::binding
