// Stand-in for the tracking entry point of the package until the second
// extension module exists: reads one scan, fits the tensor on the working
// shell as flip detection does, and prints the tracking record as one JSON
// line per parameter set.
//
//   tarvix_track_driver --dwi F (--bvec F --bval F | --grad F) [--mask F]
//                       [--threads N] [--time] [--set "key=value ..."]...
//
// Each --set runs the measure once more with those options changed (keys:
// step_voxels, max_angle_deg, fa_threshold, n_seeds, min_length_mm,
// max_length_mm, n_subsets, margin_threshold, spread_factor); without any,
// once with the defaults. --time adds "tracking_s" (the measure alone) and
// "fit_s" members around the record: {"fit_s":..,"tracking_s":..,"record":{..}}.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"
#include "execution.hpp"
#include "flip.hpp"
#include "frame.hpp"
#include "io/table_loader.hpp"
#include "json.hpp"
#include "tensor.hpp"
#include "tracking.hpp"
#include "volume.hpp"

using namespace tarvix;

namespace {

struct Args {
  std::optional<std::string> dwi, bvec, bval, grad, mask;
  std::optional<std::uint64_t> threads;
  bool time = false;
  std::vector<std::string> sets;
};

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string k = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw Failure("missing value after " + k);
      return argv[++i];
    };
    if (k == "--dwi") a.dwi = value();
    else if (k == "--bvec") a.bvec = value();
    else if (k == "--bval") a.bval = value();
    else if (k == "--grad") a.grad = value();
    else if (k == "--mask") a.mask = value();
    else if (k == "--threads") a.threads = std::stoull(value());
    else if (k == "--time") a.time = true;
    else if (k == "--set") a.sets.push_back(value());
    else throw Failure("unknown argument " + k);
  }
  if (!a.dwi) throw Failure("--dwi is required");
  return a;
}

TrackingOptions with_overrides(const std::string& changes) {
  TrackingOptions o;
  std::istringstream in(changes);
  std::string item;
  while (in >> item) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) throw Failure("bad --set item " + item);
    const std::string k = item.substr(0, eq);
    const double v = std::stod(item.substr(eq + 1));
    if (k == "step_voxels") o.step_voxels = v;
    else if (k == "max_angle_deg") o.max_angle_deg = v;
    else if (k == "fa_threshold") o.fa_threshold = v;
    else if (k == "n_seeds") o.n_seeds = static_cast<std::uint64_t>(v);
    else if (k == "min_length_mm") o.min_length_mm = v;
    else if (k == "max_length_mm") o.max_length_mm = v;
    else if (k == "n_subsets") o.n_subsets = static_cast<std::uint64_t>(v);
    else if (k == "margin_threshold") o.margin_threshold = v;
    else if (k == "spread_factor") o.spread_factor = v;
    else throw Failure("unknown option " + k);
  }
  return o;
}

double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

int run(const Args& a) {
  using clock = std::chrono::steady_clock;
  Execution exec(a.threads);
  const LoadedTable loaded = load_table(a.bvec, a.bval, a.grad);
  const VolumeRead read = read_volume_with_info(*a.dwi);
  const std::optional<Mask> mask = a.mask ? std::optional<Mask>(read_mask(*a.mask)) : std::nullopt;
  const FlipOptions flip;  // the working shell and fit settings of flip detection
  const std::optional<Shell> shell = select_working_shell(loaded.table, flip.b0_threshold, flip.tolerance);
  if (!shell) throw Error::no_flip_shell();

  const auto t0 = clock::now();
  const TensorField field = exec.run([&] {
    return fit_dti(read.volume, loaded.table, loaded.table.b0_indices(flip.b0_threshold), shell->indices, flip.min_s0);
  });
  const double fit_s = seconds(t0, clock::now());
  const Mat3 frame_map = voxel_frame_map(loaded.world_frame, read.info);

  const std::vector<std::string> sets = a.sets.empty() ? std::vector<std::string>{""} : a.sets;
  for (const std::string& s : sets) {
    const TrackingOptions options = with_overrides(s);
    const auto t1 = clock::now();
    const TrackingResult r =
        track_candidates(field, mask ? &*mask : nullptr, frame_map, read.info.voxel_sizes, options, exec);
    const double track_s = seconds(t1, clock::now());
    if (a.time) {
      json::Value o = json::Value::object();
      o.set("fit_s", fit_s);
      o.set("tracking_s", track_s);
      o.set("record", r.to_json());
      std::cout << json::dump(o) << '\n';
    } else {
      std::cout << json::dump(r.to_json()) << '\n';
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const Error& e) {
    std::cerr << e.display() << '\n';
  } catch (const Failure& e) {
    std::cerr << e.text() << '\n';
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
  }
  return 1;
}
