#include "audit_run.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "error.hpp"
#include "fit_stream.hpp"
#include "frame.hpp"
#include "io/image_reader.hpp"
#include "pipeline.hpp"
#include "timing.hpp"

namespace tarvix {
namespace {

// The fit of `plan`, made while the DWI is read. None when the detection will
// not fit (it fails first) or the design cannot be solved: the fit reports that
// in its turn. `keep_b0`: the audit measures the b=0 drift inside a mask that
// is read after the DWI, so those volumes stay in memory.
std::unique_ptr<FitStream> start_fit_stream(const GradientTable& table, const DetectionPlan& plan,
                                            const AnalysisOptions& options, const Execution& exec, bool keep_b0,
                                            FitScope scope) {
  if (!plan.ready() || plan.shell->indices.empty()) return nullptr;
  std::vector<std::uint64_t> keep;
  if (keep_b0) keep = table.b0_indices(options.b0_threshold);
  try {
    return std::make_unique<FitStream>(table, plan.b0, plan.shell->indices, defaults::kMinS0, std::move(keep),
                                       exec.arena(), exec.concurrency(), scope);
  } catch (const Error&) {
    return nullptr;
  }
}

// The first candidate whose header puts it on the DWI's grid; the others are
// passed over on their headers alone, their data never read.
std::optional<Mask> choose_mask(const std::vector<std::string>& candidates, const VolumeInfo& dwi, ImageRules rule,
                                std::optional<std::string>& chosen) {
  for (const auto& candidate : candidates) {
    try {
      Mask mask = read_mask(candidate, [&](const VolumeInfo& info) { check_mask_geometry(info, dwi, rule); });
      chosen = candidate;
      return mask;
    } catch (const Error&) {
      // An unreadable candidate is not this run's mask; try the next one.
    }
  }
  return std::nullopt;
}

// A volume the fit takes that holds no finite value spoils every voxel's
// tensor: the detection would end in "no WM voxels" (or, inside a mask, rank
// transforms on an empty field) without saying why. It ends here instead,
// naming the volumes, at the point where the detection reports its failures.
void refuse_non_finite_volumes(RunData& run) {
  const VolumeRead& dwi = *run.dwi;
  DetectionPlan& plan = run.plan;
  if (!plan.ready() || !plan.shell || dwi.non_finite.empty()) return;
  const std::uint64_t grid = dwi.volume.grid_voxels();
  std::vector<std::uint64_t> used = plan.b0;
  used.insert(used.end(), plan.shell->indices.begin(), plan.shell->indices.end());
  std::sort(used.begin(), used.end());
  std::string names;
  std::size_t count = 0;
  for (const std::uint64_t k : used)
    if (k < dwi.non_finite.size() && grid > 0 && dwi.non_finite[static_cast<std::size_t>(k)] == grid) {
      names += (count++ ? ", " : "") + std::to_string(k);
    }
  if (!count) return;
  plan.failure = Error::dti_fit((count == 1 ? "volume " + names + " of the DWI holds" : "volumes " + names +
                                 " of the DWI hold") + " no finite value (Inf or NaN in every voxel)");
}

// The images, after the table: the DWI (with the fit streamed into it, its
// frame map and default step), then the mask, then the check of a caller-given
// step, which only matters when there is an image to sample.
void read_images(RunData& run, const RunInputs& inputs, const AnalysisOptions& options,
                 const Execution& exec, Pipeline pipeline, ReadTimings* timings, bool whole_field, bool tracking,
                 SignalSample* sample) {
  if (inputs.dwi) {
    run.plan = plan_detection(run.loaded.table, options);
    // Without a mask of any kind every reader of the field stays inside the
    // white-matter proxy (the coherence) or the tissue (the tracking); a mask
    // or the glyphs read other voxels too.
    const bool proxy_only = !whole_field && !inputs.mask && inputs.mask_candidates.empty();
    // With no mask to come, the drift's b=0 means are over the whole grid, and
    // the summing task works them out during the read: the b=0 volumes then
    // need not stay.
    const bool grid_drift = pipeline == Pipeline::Audit && !inputs.mask && inputs.mask_candidates.empty();
    if (step_valid(options.step))
      run.stream = start_fit_stream(run.loaded.table, run.plan, options, exec,
                                    pipeline == Pipeline::Audit && !grid_drift,
                                    !proxy_only ? FitScope::Whole
                                    : tracking  ? FitScope::ProxyAndTissue
                                                : FitScope::WhiteMatterProxy);
    if (run.stream && grid_drift)
      run.stream->average_volumes(run.loaded.table.b0_indices(options.b0_threshold));
    if (run.stream && sample) run.stream->sample_signals(sample);
    // A DWI with another volume count than the table is refused on its
    // header, before gigabytes are inflated only to be compared.
    const std::uint64_t entries = run.loaded.table.bvals.size();
    const std::string& table = inputs.table.grad ? *inputs.table.grad : *inputs.table.bvec;
    run.dwi = concerning(Role::Dwi, *inputs.dwi, [&] {
      return read_volume_with_info(*inputs.dwi, timings, run.stream.get(), [&](const VolumeInfo& info) {
        if (info.n_volumes == entries) return;
        Error mismatch = Error::volume_mismatch(entries, info.n_volumes);
        mismatch.set_concern(Role::Dwi, *inputs.dwi, table);
        throw mismatch;
      });
    });
    if (inputs.image_rules == ImageRules::Checked) refuse_non_finite_volumes(run);
    run.sampling = image_sampling(run.loaded.world_frame, run.dwi->info, options.step, inputs.image_rules);
  }
  if (inputs.mask) {
    // The mask's header is held against the DWI's before its data is read:
    // a small file can declare a huge grid.
    HeaderCheck against_dwi;
    if (run.dwi) against_dwi = [&dwi = run.dwi->info, rule = inputs.image_rules](const VolumeInfo& info) {
        check_mask_geometry(info, dwi, rule);
      };
    run.mask = concerning(Role::Mask, *inputs.mask, [&] { return read_mask(*inputs.mask, against_dwi); });
  } else if (run.dwi && !inputs.mask_candidates.empty()) {
    std::optional<std::string> chosen;
    run.mask = choose_mask(inputs.mask_candidates, run.dwi->info, inputs.image_rules, chosen);
    if (chosen) run.loaded.inputs.push_back(InputFile::of(*chosen));
  }
  if (inputs.dwi) check_step(options.step);
}

// `other` closes the gap to `total`. Summed left to right the five parts must
// not fall short of `total`, so a remainder that rounds down is nudged up by
// the last unit it lost.
StageTimings stage_timings(const ReadTimings& read, const DetectTimings& detect, double total, int threads) {
  StageTimings t;
  t.decompress = read.decompress_s;
  t.convert = read.convert_s;
  t.fit = detect.fit_s;
  t.coherence = detect.coherence_s;
  t.total = total;
  const double parts = t.decompress + t.convert + t.fit + t.coherence;
  if (t.total > parts) {
    t.other = t.total - parts;
    while (parts + t.other < t.total) t.other = std::nextafter(t.other, HUGE_VAL);
  }
  t.threads = static_cast<double>(threads);
  return t;
}

bool equivalent_to_identity(const Mat3& m) { return antipodal_or_equal(m, identity3()); }

StreamlineSample sample_for_picture(const GlyphData& fit, const Mask* mask, const Vec3& voxel_sizes,
                                    const Mat3& axes_to_world, const TrackingResult& tracking, std::uint64_t count) {
  const TrackingScore& other = equivalent_to_identity(tracking.best.matrix) ? tracking.runner_up : tracking.best;
  StreamlineSample s;
  s.other_label = other.label;
  s.as_given = sample_streamlines(fit.field, mask, fit.frame_map, voxel_sizes, identity3(), count, {}, axes_to_world);
  s.other = sample_streamlines(fit.field, mask, fit.frame_map, voxel_sizes, other.matrix, count, {}, axes_to_world);
  return s;
}

// The tracking measure on the field the pipeline fitted, inside the mask the
// user gave (not the coherence's white-matter proxy: tracking applies its own
// FA rule inside whatever mask it is given).
void run_tracking(RunResult& result, const GlyphData& fit, const RunData& run, const RunExtras& extras,
                  Execution& execution) {
  const Stopwatch clock;
  // Millimetres on the grid from the geometry the frame map came from.
  const Vec3& voxel_sizes = run.dwi->info.spacing;
  // The table is also read as if written in the other frame by mistake.
  const bool world = run.loaded.world_frame;
  const OtherFrame other =
      other_frame(world, fit.frame_map, voxel_frame_map(!world, run.dwi->info));
  const Mat3 axes_to_world = voxel_frame_map(true, run.dwi->info);
  result.tracking =
      track_candidates(fit.field, run.mask_ptr(), fit.frame_map, other, voxel_sizes, {}, execution, axes_to_world);
  result.tracking_s = clock.seconds();
  if (extras.streamline_sample > 0)
    result.streamlines = execution.run(
        [&] {
          return sample_for_picture(fit, run.mask_ptr(), voxel_sizes, axes_to_world, *result.tracking,
                                    extras.streamline_sample);
        });
}

// The consistency tests on the signals the stream kept, or, when the image was
// read whole, on the same lattice taken from it now.
void run_consistency(RunResult& result, const RunData& run, SignalSample& sample, const AnalysisOptions& options,
                     Execution& execution) {
  const Stopwatch clock;
  const Volume& volume = run.dwi->volume;
  if (!sample.complete() && !volume.partial && volume.ndim() >= 4) {
    sample.begin(volume.shape, volume.volume_count());
    sample.take_all(volume);
  }
  sample.clean();
  result.consistency = execution.run([&] {
    return check_consistency(run.loaded.table, sample, options.b0_threshold, options.tolerance);
  });
  result.consistency_s = clock.seconds();
}

Verdict verdict_of(const RunResult& r, const AnalysisOptions& options) {
  VerdictInputs in;
  in.report = &r.report;
  in.tracking = r.tracking ? &*r.tracking : nullptr;
  in.image = r.info ? &*r.info : nullptr;
  in.table = &r.loaded.table;
  in.b0_threshold = options.b0_threshold;
  in.consistency = r.consistency ? &*r.consistency : nullptr;
  in.margin_threshold = options.margin_threshold;
  return decide_verdict(in);
}

}  // namespace

RunResult audit_run(const RunInputs& inputs, const AnalysisOptions& options, Execution& execution,
                    Pipeline pipeline, RunExtras extras) {
  RunResult result;
  // Outlives the stream that fills it.
  SignalSample sample;
  RunData run;
  const Stopwatch table_clock;
  // Under the checked rules a table is refused for what the module would read
  // leniently (NaN, infinite or negative entries, misread layouts), naming the
  // entry; what both accept they read to the same table.
  run.loaded = inputs.image_rules == ImageRules::Checked
                   ? load_table_checked(inputs.table.bvec, inputs.table.bval, inputs.table.grad)
                   : load_table(inputs.table.bvec, inputs.table.bval, inputs.table.grad);
  if (extras.timings) result.table_s = table_clock.seconds();
  if (pipeline == Pipeline::Inspect) {
    result.report =
        execution.run([&] { return inspect_pipeline(run.loaded.table, run.loaded.inputs, options); });
    result.loaded = std::move(run.loaded);
    result.verdict = verdict_of(result, options);
    return result;
  }

  // The command line and the batch hold a requested shell to the table.
  if (inputs.image_rules == ImageRules::Checked) require_requested_shell(run.loaded.table, options);

  // The clock covers the image reads and the analysis, not table loading or
  // serialisation.
  const auto start = MonotonicClock::now();
  ReadTimings read;
  read_images(run, inputs, options, execution, pipeline, extras.timings ? &read : nullptr, extras.glyphs,
              extras.tracking, extras.consistency ? &sample : nullptr);
  DetectTimings detect;
  GlyphData glyphs;
  // The tracking measure reuses the fitted field the glyph data carries.
  const bool keep_field = extras.glyphs || (extras.tracking && run.dwi);
  const PipelineExtras pipeline_extras{keep_field ? &glyphs : nullptr, extras.timings ? &detect : nullptr};
  result.report = execution.run([&] {
    return pipeline == Pipeline::Audit ? audit_pipeline(run, options, pipeline_extras)
                                       : detect_pipeline(run, options, pipeline_extras);
  });
  if (extras.timings) {
    result.timings = stage_timings(read, detect, seconds_between(start, MonotonicClock::now()),
                                   execution.concurrency());
    result.scheme_s = detect.scheme_s;
  }
  if (extras.tracking && run.dwi) run_tracking(result, glyphs, run, extras, execution);
  if (extras.consistency && run.dwi) run_consistency(result, run, sample, options, execution);
  if (extras.glyphs) result.glyphs = std::move(glyphs);
  if (run.dwi) result.info = run.dwi->info;
  result.loaded = std::move(run.loaded);
  result.verdict = verdict_of(result, options);
  return result;
}

}  // namespace tarvix
