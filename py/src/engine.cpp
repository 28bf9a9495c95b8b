// The CPython extension module _engine: what the command line needs beside the
// thirteen functions of _tarvix. Its functions run the same audit path as
// _tarvix's (the same report, byte for byte) and, on the same fitted field
// (one read, one fit), the fibre-tracking measure, and hand back everything a
// caller may show in one dictionary.
#include "binder.hpp"
#include "call.hpp"

namespace {

using namespace tarvix::binding;

ModuleState g_state{"_engine"};

// Streamlines drawn per transform in a picture of the tracking measure.
constexpr std::uint64_t kPictureStreamlines = 300;

tarvix::AnalysisArgs analysis_args(const Bound& b) {
  tarvix::AnalysisOptions o;
  o.tolerance = b.real[kTolerance].value();
  o.b0_threshold = b.real[kB0Threshold].value();
  o.shell = b.real[kShell];
  o.step = b.real[kStep];
  o.margin_threshold = b.real[kMarginThreshold].value();
  o.strict = b.flag[kStrict];
  o.norm_tolerance = b.real[kNormTolerance].value();
  return {{b.path[kBvec], b.path[kBval], b.path[kGrad]}, b.path[kDwi], b.path[kMask], o, b.threads};
}

tarvix::RunExtras run_extras(const Bound& b) {
  tarvix::RunExtras e;
  e.glyphs = b.flag[kGlyphs];
  e.timings = b.flag[kProfile];
  e.tracking = b.flag[kTracking];
  if (e.glyphs && e.tracking) e.streamline_sample = kPictureStreamlines;
  return e;
}

// Each streamline as little-endian float32 x, y, z per point (voxel coordinates).
PyObject* streamline_list(const std::vector<std::vector<tarvix::Vec3>>& lines) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto& pts = lines[i];
    PyObject* b = bytes_of(12 * pts.size(), [&](char* out) {
      for (std::size_t k = 0; k < pts.size(); ++k)
        for (int c = 0; c < 3; ++c) put_f32_le(out + 12 * k + 4 * c, pts[k][static_cast<std::size_t>(c)]);
    });
    if (!b) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
  }
  return list.release();
}

PyObject* streamlines_dict(const tarvix::StreamlineSample& s) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "other_label", text(s.other_label))) return nullptr;
  if (!set_item(dict.get(), "as_given", streamline_list(s.as_given))) return nullptr;
  if (!set_item(dict.get(), "other", streamline_list(s.other))) return nullptr;
  return dict.release();
}

PyObject* none() { return Py_NewRef(Py_None); }

// {"report", "tracking", "tracking_seconds", "timings", "glyphs", "streamlines"}:
// the report as _tarvix returns it, the tracking record (compact JSON), and
// None for whatever was not asked for.
PyObject* run_dict(const tarvix::RunResult& r) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "report", text(r.report.to_json_text()))) return nullptr;
  if (!set_item(dict.get(), "tracking", r.tracking ? text(tarvix::json::dump(r.tracking->to_json())) : none()))
    return nullptr;
  if (!set_item(dict.get(), "tracking_seconds", r.tracking ? PyFloat_FromDouble(r.tracking_s) : none()))
    return nullptr;
  if (!set_item(dict.get(), "timings", r.timings ? timings_dict(*r.timings) : none())) return nullptr;
  if (r.glyphs && !r.info) throw std::logic_error("glyph data without image geometry");
  if (!set_item(dict.get(), "glyphs", r.glyphs ? glyph_payload(*r.glyphs, *r.info) : none())) return nullptr;
  if (!set_item(dict.get(), "streamlines", r.streamlines ? streamlines_dict(*r.streamlines) : none()))
    return nullptr;
  return dict.release();
}

PyObject* run_audit(const Bound& b) {
  return run_dict(tarvix::call_run(analysis_args(b), tarvix::Pipeline::Audit, run_extras(b)));
}
PyObject* run_detect_flip(const Bound& b) {
  return run_dict(tarvix::call_run(analysis_args(b), tarvix::Pipeline::Detect, run_extras(b)));
}
PyObject* run_repair(const Bound& b) {
  tarvix::RepairArgs args{analysis_args(b),
                          {b.required_path(kOutBvec), b.required_path(kOutBval), b.path[kOutGrad],
                           b.path[kProvenance], b.flag[kDryRun], b.flag[kInPlace]},
                          b.flag[kForceRepair]};
  return run_dict(tarvix::call_repair_run(args, run_extras(b)));
}

constexpr Param kAuditParams[] = {
    {kDwi},          {kBvec},          {kBval},    {kGrad},    {kMask},    {kTolerance}, {kB0Threshold},
    {kShell},        {kStep},          {kMarginThreshold},     {kStrict},  {kNormTolerance},
    {kTracking},     {kGlyphs},        {kProfile}, {kThreads},
};
constexpr Param kDetectParams[] = {
    {kDwi, true}, {kBvec},     {kBval},   {kGrad},     {kMask},   {kTolerance}, {kB0Threshold},
    {kShell},     {kStep},     {kMarginThreshold},     {kTracking}, {kGlyphs}, {kThreads},
};
constexpr Param kRepairParams[] = {
    {kDwi, true}, {kOutBvec, true}, {kOutBval, true}, {kBvec},      {kBval},    {kGrad},    {kMask},
    {kOutGrad},   {kProvenance},    {kTolerance},     {kB0Threshold}, {kShell}, {kStep},    {kMarginThreshold},
    {kDryRun},    {kInPlace},       {kStrict},        {kForceRepair}, {kNormTolerance},     {kTracking},
    {kGlyphs},    {kThreads},
};

constexpr const char* kAuditDoc =
    "The audit of _tarvix.audit, plus on request the fibre-tracking measure on the\n"
    "same fitted field (`tracking`), the glyph payload (`glyphs`) and the stage\n"
    "timings (`profile`). Returns a dict: report, tracking, tracking_seconds,\n"
    "timings, glyphs, streamlines (None where not asked for).";
constexpr const char* kDetectDoc = "As `audit`, with the report of _tarvix.detect_flip.";
constexpr const char* kRepairDoc =
    "The repair of _tarvix.repair. With `tracking`, the tracking verdict chooses the\n"
    "transform, and the provenance record says so.";

constexpr Signature kAudit{"audit", kAuditParams, kAuditDoc};
constexpr Signature kDetectFlip{"detect_flip", kDetectParams, kDetectDoc};
constexpr Signature kRepair{"repair", kRepairParams, kRepairDoc};

constexpr std::size_t kFunctionCount = 3;

std::array<Entry, kFunctionCount> entries() {
  return {{
      fast_entry<g_state, kAudit, run_audit>(),
      fast_entry<g_state, kDetectFlip, run_detect_flip>(),
      fast_entry<g_state, kRepair, run_repair>(),
  }};
}

MethodTable<kFunctionCount> g_methods;

PyModuleDef g_module = {PyModuleDef_HEAD_INIT, "_engine", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return init_module(g_state, g_module, g_methods, &entries); }
