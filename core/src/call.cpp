#include "call.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include "bids_batch.hpp"
#include "error.hpp"
#include "execution.hpp"
#include "format.hpp"
#include "frame.hpp"
#include "pipeline.hpp"
#include "repair.hpp"
#include "report.hpp"

namespace tarvix {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point start, Clock::time_point end) {
  if (end <= start) return 0.0;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

// Everything a pipeline needs, read on the calling thread before the pool runs.
struct Frame {
  LoadedTable loaded;
  std::optional<VolumeRead> dwi;
  std::optional<Mask> mask;
  RunOptions options;
  // Declared last, so it stops before the volume it reads from is freed.
  std::unique_ptr<FitStream> fit;

  const Volume* volume() const { return dwi ? &dwi->volume : nullptr; }
  const Mask* mask_ptr() const { return mask ? &*mask : nullptr; }
};

RunOptions run_options(const AnalysisArgs& args) {
  RunOptions o;
  o.shell = args.shell;
  o.b0_threshold = args.b0_threshold;
  o.tolerance = args.tolerance;
  o.duplicate_angle_deg = 5.0;
  o.norm_tolerance = args.norm_tolerance;
  o.strict = args.strict;
  o.flip.b0_threshold = args.b0_threshold;
  o.flip.tolerance = args.tolerance;
  o.flip.min_s0 = 1.0;
  o.flip.fa_threshold = 0.2;
  o.flip.step = 1.0;
  o.flip.margin_threshold = args.margin_threshold;
  o.flip.frame_map = identity3();
  return o;
}

bool step_usable(const AnalysisArgs& args) {
  return !args.step || (std::isfinite(*args.step) && *args.step > 0.0);
}

// Which pipeline will read the image: the audit also measures the b=0 drift.
enum class Uses { Audit, Detect };

// The images of a call, after the table: DWI (with its frame map and default
// step), then the mask, then the check of a caller-given step, which only
// matters when there is an image to sample.
void read_images(Frame& f, const AnalysisArgs& args, ReadTimings* timings, const Execution& exec, Uses uses) {
  if (args.dwi) {
    if (step_usable(args)) f.fit = start_streamed_fit(f.loaded.table, f.options, exec, uses == Uses::Audit);
    f.options.flip.prefit = f.fit.get();
    f.dwi = read_volume_with_info(*args.dwi, timings, f.fit.get());
    f.options.flip.frame_map = voxel_frame_map(f.loaded.world_frame, f.dwi->info);
    f.options.flip.step = args.step ? *args.step : default_step(f.dwi->info.voxel_sizes);
  }
  if (args.mask) f.mask = read_mask(*args.mask);
  if (args.dwi && !step_usable(args))
    throw Failure("step must be finite and greater than 0: " + format_plain(*args.step));
}

Frame load(const AnalysisArgs& args) {
  return Frame{load_table(args.table.bvec, args.table.bval, args.table.grad), std::nullopt, std::nullopt,
               run_options(args), nullptr};
}

const AnalysisArgs& require_dwi(const AnalysisArgs& args) {
  if (!args.dwi) throw std::logic_error("this entry point needs a DWI path");
  return args;
}

}  // namespace

std::string call_inspect(const AnalysisArgs& args) {
  Execution exec(args.threads);
  Frame f = load(args);
  Report report = exec.run([&] { return inspect_pipeline(f.loaded.table, std::move(f.loaded.inputs), f.options); });
  return report.to_json_text();
}

std::string call_audit(const AnalysisArgs& args) {
  Execution exec(args.threads);
  Frame f = load(args);
  read_images(f, args, nullptr, exec, Uses::Audit);
  Report report = exec.run([&] {
    return audit_pipeline(f.loaded.table, f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options);
  });
  return report.to_json_text();
}

std::string call_detect_flip(const AnalysisArgs& args) {
  require_dwi(args);
  Execution exec(args.threads);
  Frame f = load(args);
  read_images(f, args, nullptr, exec, Uses::Detect);
  Report report = exec.run([&] {
    return detect_pipeline(f.loaded.table, *f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options);
  });
  return report.to_json_text();
}

namespace {

// The glyph variants: the plain pipeline with the glyph data kept beside the report.
CallResult with_glyphs(const AnalysisArgs& args, Uses uses) {
  require_dwi(args);
  Execution exec(args.threads);
  Frame f = load(args);
  read_images(f, args, nullptr, exec, uses);
  GlyphData glyphs;
  const PipelineExtras extras{&glyphs, nullptr};
  Report report = exec.run([&] {
    if (uses == Uses::Audit)
      return audit_pipeline(f.loaded.table, f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options, extras);
    return detect_pipeline(f.loaded.table, *f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options, extras);
  });
  CallResult out;
  out.json = report.to_json_text();
  out.glyphs = std::move(glyphs);
  out.info = std::move(f.dwi->info);
  return out;
}

}  // namespace

CallResult call_audit_with_glyphs(const AnalysisArgs& args) { return with_glyphs(args, Uses::Audit); }

CallResult call_detect_flip_with_glyphs(const AnalysisArgs& args) { return with_glyphs(args, Uses::Detect); }

CallResult call_audit_profiled(const AnalysisArgs& args, bool with_glyphs) {
  require_dwi(args);
  Execution exec(args.threads);
  Frame f = load(args);

  // The clock covers the image reads and the analysis, not argument
  // conversion, table loading or serialisation.
  const auto start = Clock::now();
  ReadTimings read;
  read_images(f, args, &read, exec, Uses::Audit);
  DetectTimings detect;
  GlyphData glyphs;
  Report report = exec.run([&] {
    return audit_pipeline(f.loaded.table, f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options,
                          PipelineExtras{with_glyphs ? &glyphs : nullptr, &detect});
  });
  const auto end = Clock::now();

  StageTimings t;
  t.decompress = read.decompress_s;
  t.convert = read.convert_s;
  t.fit = detect.fit_s;
  t.coherence = detect.coherence_s;
  t.total = seconds_between(start, end);
  // `other` closes the gap to `total`. Summed left to right the five parts
  // must not fall short of `total`, so a remainder that rounds down is
  // nudged up by the last unit it lost.
  const double parts = t.decompress + t.convert + t.fit + t.coherence;
  if (t.total > parts) {
    t.other = t.total - parts;
    while (parts + t.other < t.total) t.other = std::nextafter(t.other, HUGE_VAL);
  }
  t.threads = static_cast<double>(exec.concurrency());

  CallResult out;
  out.json = report.to_json_text();
  out.timings = t;
  if (with_glyphs) {
    out.glyphs = std::move(glyphs);
    out.info = std::move(f.dwi->info);
  }
  return out;
}

std::string call_audit_bids(const BidsArgs& args) { return audit_bids(args); }

CallResult call_repair(const RepairArgs& args, bool with_glyphs) {
  require_dwi(args.analysis);
  Execution exec(args.analysis.threads);
  Frame f = load(args.analysis);
  read_images(f, args.analysis, nullptr, exec, Uses::Audit);
  RepairSpec spec{args.out_bvec,
                  args.out_bval,
                  args.out_grad,
                  args.provenance,
                  FrameMaps::resolve(f.loaded.world_frame, f.dwi->info),
                  args.dry_run,
                  args.in_place,
                  args.force_repair};
  GlyphData glyphs;
  RepairOutput out = exec.run([&] {
    return run_repair(f.loaded.table, *f.volume(), f.mask_ptr(), std::move(f.loaded.inputs), f.options, spec,
                      with_glyphs ? &glyphs : nullptr);
  });
  CallResult result;
  result.json = out.report.to_json_text();
  if (with_glyphs) {
    result.glyphs = std::move(glyphs);
    result.info = std::move(f.dwi->info);
  }
  return result;
}

std::string call_recompute_bval(const RecomputeArgs& args) {
  Execution exec(args.threads);
  LoadedTable loaded = load_table(args.table.bvec, args.table.bval, args.table.grad);
  RecomputeSpec spec{args.out_bvec, args.out_bval, args.out_grad, args.provenance, args.dry_run, args.in_place};
  // Shells before and after recovery are always clustered with the default tolerance.
  constexpr double kShellTolerance = 0.05;
  RecomputeOutput out = exec.run(
      [&] { return recompute_bval(loaded.table, loaded.inputs, spec, args.b0_threshold, kShellTolerance); });
  return json::dump(out.to_json());
}

}  // namespace tarvix
