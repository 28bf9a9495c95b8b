// The CPython extension module _tarvix: its thirteen functions, each binding
// its arguments with the package's binder, calling the core's call path with
// plain C++ values and turning the result into str / tuple / dict objects or a
// Python exception. The interpreter lock stays held for the whole call: the
// core's worker threads never see a Python object.
#include "binder.hpp"
#include "call.hpp"
#include "report.hpp"

namespace {

using namespace tarvix::binding;

ModuleState g_state{"_tarvix"};


// ---------------------------------------------------------------------------
// Bound values into the core's argument records.

// The module takes image headers as they state themselves (see tarvix::ImageRules).
tarvix::AnalysisArgs module_args(const Bound& b) {
  tarvix::AnalysisArgs a = analysis_args(b);
  a.image_rules = tarvix::ImageRules::Stated;
  return a;
}

tarvix::RepairArgs repair_args(const Bound& b) { return {module_args(b), output_paths(b), b.flag[kForceRepair]}; }

tarvix::RecomputeArgs recompute_args(const Bound& b) {
  return {table_args(b), output_paths(b), b.real[kB0Threshold].value(), b.threads};
}

tarvix::BidsArgs bids_args(const Bound& b) { return {b.required_path(kRoot), analysis_options(b), b.threads}; }

// (report, [timings], [glyphs]) in that order.
PyObject* result_tuple(const tarvix::CallResult& r) {
  std::array<Ref, 3> items;
  std::size_t count = 0;
  items[count] = Ref(text(r.json));
  if (!items[count++]) return nullptr;
  if (r.timings) {
    items[count] = Ref(timings_dict(*r.timings));
    if (!items[count++]) return nullptr;
  }
  if (r.glyphs) {
    if (!r.info) throw std::logic_error("glyph data without image geometry");
    items[count] = Ref(glyph_payload(*r.glyphs, *r.info));
    if (!items[count++]) return nullptr;
  }
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), items[i].release());
  return tuple;
}


PyObject* run_inspect(const Bound& b) { return text(tarvix::call_inspect(module_args(b))); }
PyObject* run_audit(const Bound& b) { return text(tarvix::call_audit(module_args(b))); }
PyObject* run_audit_with_glyphs(const Bound& b) {
  return result_tuple(tarvix::call_audit_with_glyphs(module_args(b)));
}
PyObject* run_audit_profiled(const Bound& b) {
  return result_tuple(tarvix::call_audit_profiled(module_args(b), false));
}
PyObject* run_audit_profiled_with_glyphs(const Bound& b) {
  return result_tuple(tarvix::call_audit_profiled(module_args(b), true));
}
PyObject* run_audit_bids(const Bound& b) { return text(tarvix::call_audit_bids(bids_args(b))); }
PyObject* run_detect_flip(const Bound& b) { return text(tarvix::call_detect_flip(module_args(b))); }
PyObject* run_detect_flip_with_glyphs(const Bound& b) {
  return result_tuple(tarvix::call_detect_flip_with_glyphs(module_args(b)));
}
PyObject* run_repair(const Bound& b) { return text(tarvix::call_repair(repair_args(b), false).json); }
PyObject* run_repair_with_glyphs(const Bound& b) { return result_tuple(tarvix::call_repair(repair_args(b), true)); }
PyObject* run_recompute_bval(const Bound& b) { return text(tarvix::call_recompute_bval(recompute_args(b))); }

constexpr Param kInspectParams[] = {
    {kBvec}, {kBval}, {kGrad}, {kTolerance}, {kB0Threshold}, {kShell}, {kStrict}, {kNormTolerance}, {kThreads},
};
constexpr Param kAuditParams[] = {
    {kBvec},  {kBval}, {kGrad},           {kDwi},    {kMask},          {kTolerance}, {kB0Threshold},
    {kShell}, {kStep}, {kMarginThreshold}, {kStrict}, {kNormTolerance}, {kThreads},
};
// audit_with_glyphs, audit_profiled and audit_profiled_with_glyphs.
constexpr Param kAuditDwiParams[] = {
    {kDwi, true}, {kBvec}, {kBval},           {kGrad},   {kMask},          {kTolerance}, {kB0Threshold},
    {kShell},     {kStep}, {kMarginThreshold}, {kStrict}, {kNormTolerance}, {kThreads},
};
constexpr Param kAuditBidsParams[] = {
    {kRoot, true}, {kTolerance}, {kB0Threshold}, {kShell},         {kStep},
    {kMarginThreshold}, {kStrict}, {kNormTolerance}, {kThreads},
};
constexpr Param kDetectParams[] = {
    {kDwi, true}, {kBvec}, {kBval}, {kGrad}, {kMask}, {kTolerance}, {kB0Threshold}, {kShell}, {kStep},
    {kMarginThreshold}, {kThreads},
};
constexpr Param kRepairParams[] = {
    {kDwi, true}, {kOutBvec, true}, {kOutBval, true}, {kBvec},  {kBval},   {kGrad},          {kMask},
    {kOutGrad},   {kProvenance},    {kTolerance},     {kB0Threshold}, {kShell}, {kStep}, {kMarginThreshold},
    {kDryRun},    {kInPlace},       {kStrict},        {kForceRepair}, {kNormTolerance}, {kThreads},
};
constexpr Param kRecomputeParams[] = {
    {kOutBvec, true}, {kOutBval, true}, {kBvec},  {kBval},   {kGrad}, {kOutGrad},
    {kProvenance},    {kB0Threshold},   {kDryRun}, {kInPlace}, {kThreads},
};

constexpr const char* kAuditProfiledDoc =
    "One instrumented audit: returns the report JSON plus a per-stage wall-clock\n"
    "split (`decompress`/`convert`/`fit`/`coherence`/`other`/`total`, seconds).\n"
    "The report is byte-identical to `audit`; only the timing instrumentation is\n"
    "added, so this drives the Python CLI's `--profile`.";
constexpr const char* kAuditBidsDoc =
    "Audit every DWI under a BIDS root (shared `bids_batch` core path). Writes the\n"
    "per-run and dataset reports under `<root>/derivatives/tarvix/` and returns a\n"
    "small JSON summary (`status`, `exit_code`, `summary_path`, `results`) for the\n"
    "caller to print. The exit code blocks only on WARN.";
constexpr const char* kRecomputeDoc =
    "Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from\n"
    "`repair`; returns a JSON before/after summary.";

constexpr Signature kInspect{"inspect", kInspectParams, ""};
constexpr Signature kAudit{"audit", kAuditParams, ""};
constexpr Signature kAuditWithGlyphs{"audit_with_glyphs", kAuditDwiParams, ""};
constexpr Signature kAuditProfiled{"audit_profiled", kAuditDwiParams, kAuditProfiledDoc};
constexpr Signature kAuditProfiledWithGlyphs{"audit_profiled_with_glyphs", kAuditDwiParams, ""};
constexpr Signature kAuditBids{"audit_bids", kAuditBidsParams, kAuditBidsDoc};
constexpr Signature kDetectFlip{"detect_flip", kDetectParams, ""};
constexpr Signature kDetectFlipWithGlyphs{"detect_flip_with_glyphs", kDetectParams, ""};
constexpr Signature kRepair{"repair", kRepairParams, ""};
constexpr Signature kRepairWithGlyphs{"repair_with_glyphs", kRepairParams, ""};
constexpr Signature kRecomputeBval{"recompute_bval", kRecomputeParams, kRecomputeDoc};

PyObject* version(PyObject*, PyObject*) {
  if (foreign_interpreter(g_state)) return nullptr;
  return PyUnicode_FromString(tarvix::kToolVersion);
}
PyObject* build_features(PyObject*, PyObject*) {
  if (foreign_interpreter(g_state)) return nullptr;
  return PyList_New(0);
}

constexpr std::size_t kFunctionCount = 13;

std::array<Entry, kFunctionCount> entries() {
  return {{
      {nullptr, "version", &version},
      {nullptr, "build_features", &build_features},
      fast_entry<g_state, kInspect, run_inspect>(),
      fast_entry<g_state, kAudit, run_audit>(),
      fast_entry<g_state, kAuditWithGlyphs, run_audit_with_glyphs>(),
      fast_entry<g_state, kAuditProfiled, run_audit_profiled>(),
      fast_entry<g_state, kAuditProfiledWithGlyphs, run_audit_profiled_with_glyphs>(),
      fast_entry<g_state, kAuditBids, run_audit_bids>(),
      fast_entry<g_state, kDetectFlip, run_detect_flip>(),
      fast_entry<g_state, kDetectFlipWithGlyphs, run_detect_flip_with_glyphs>(),
      fast_entry<g_state, kRepair, run_repair>(),
      fast_entry<g_state, kRepairWithGlyphs, run_repair_with_glyphs>(),
      fast_entry<g_state, kRecomputeBval, run_recompute_bval>(),
  }};
}

MethodTable<kFunctionCount> g_methods;

// m_size 0: the module keeps no state, so the import system may run the
// initialisation again on a re-import, which hands back the first module.
PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_tarvix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarvix(void) { return init_module(g_state, g_module, g_methods, &entries); }
