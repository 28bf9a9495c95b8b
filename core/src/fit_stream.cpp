#include "fit_stream.hpp"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "buffer_cache.hpp"
#include "consistency.hpp"
#include "error.hpp"
#include "fit_kernels.hpp"
#include "options.hpp"
#include "timing.hpp"

namespace tarvix {

using namespace fit;

namespace {

// Volumes held ahead of the summing task (as floats, or as stored when the
// stream takes them raw), beyond those the Volume keeps; the sums take at
// least half that many at a time (all of them on one thread), so each
// block's sums go through the cache once per run of volumes rather than once
// per volume.
constexpr std::size_t kRingVolumes = 16;
// On one thread the read waits while the sums run, and each run of volumes is
// one more pass of the sums (8 doubles a voxel) through memory: there the
// ring holds as many volumes as fit in this many bytes.
constexpr std::size_t kOneThreadRingBytes = std::size_t{32} << 20;
// In-plane positions the eigen step takes through all z at a time: the lines
// of the field it writes meanwhile (about five per position) stay in L1/L2.
constexpr std::uint64_t kColumn = 64;
// When the sums alone outgrow the cache (a whole brain at 1.2 mm and finer),
// sums and ring together would set the run's peak: the ring is kept to about
// this many bytes there, at the cost of more, shorter passes over the sums.
constexpr std::size_t kLeanRingBytes = std::size_t{48} << 20;
constexpr std::size_t kLeanRingVolumes = 4;

}  // namespace

struct FitStream::State {
  FitDesign design;
  std::vector<std::uint64_t> b0, shell, keep;
  std::uint64_t table_size = 0;
  tbb::task_arena* arena = nullptr;
  bool background = false;
  FitScope scope = FitScope::Whole;
  // The sums go back to the system rather than the cache: the ring is smaller,
  // and the eigen step parks the directions in the sums, so that neither the
  // ring nor a grid of directions is ever resident beside them.
  bool lean = false;
  std::size_t lean_from = cache::kLargestCached + 1;

  // Set by begin().
  bool began = false;
  std::vector<std::uint64_t> shape;
  std::uint64_t grid = 0;
  std::size_t n_blocks = 0;
  std::vector<std::size_t> first_row;  // rows of volume k: [first_row[k], first_row[k + 1])
  cache::Array<double> sums;  // n_blocks blocks of kRows rows of kStride
  cache::Array<float> ring;   // ring_slots volumes of grid floats
  // With raw volumes (take_raw), the ring holds them as stored instead and
  // the summing converts each block's run just before adding it.
  RawVoxels raw;
  bool raw_ring = false;
  // For stored voxels of 8 or 16 bits: raw rows are looked up, not converted.
  SignalTable table;
  cache::Array<unsigned char> raw_slots;  // ring_slots volumes of grid stored voxels
  std::size_t ring_slots = 0;
  std::size_t ring_handed = 0;   // ring volumes handed to the reader so far
  std::size_t pending_slot = 0;  // slot of the volume being read into the ring
  std::vector<std::ptrdiff_t> slot_owner;  // delivery in each slot, -1 when free
  std::size_t min_batch = 1;
  bool slot_claimed = false;  // the volume being read took a ring slot
  std::size_t wanted = 0;  // volumes the fit reads

  struct Delivery {
    std::uint64_t volume;
    const float* data;               // or, for a raw volume,
    const unsigned char* raw = nullptr;  // its stored bytes
    const float* kept = nullptr;     // a kept volume's floats in the Volume
  };
  std::vector<std::uint64_t> averaged;                     // sorted: volumes to average
  SignalSample* sample = nullptr;
  std::vector<std::pair<std::uint64_t, double>> means;     // made by whoever sums
  // Reserved up front and only appended to, so entries below `produced` can be
  // read without the lock.
  std::vector<Delivery> deliveries;

  std::mutex m;
  std::condition_variable cv;
  std::size_t produced = 0, consumed = 0;
  bool busy = false;  // a batch is being summed
  bool done = false;
  bool cancelled = false;
  bool taken = false;
  std::exception_ptr error;
  double reader_s = 0;  // the reading thread's time in the sink calls
  // Made by the summing task as soon as the last volume the fit reads is
  // summed, which may be well before the read ends.
  bool finished = false;
  TensorField field;

  bool drainer_started = false;
  tbb::task_group group;

  // Ring volumes of `volume_bytes` each to hold at most.
  std::size_t ring_cap(std::size_t volume_bytes) const {
    if (lean && volume_bytes) return std::clamp(kLeanRingBytes / volume_bytes, kLeanRingVolumes, kRingVolumes);
    if (background || volume_bytes == 0) return kRingVolumes;
    return std::max(kRingVolumes, kOneThreadRingBytes / volume_bytes);
  }

  void set_ring(std::size_t slots) {
    ring_slots = slots;
    slot_owner.assign(slots, -1);
    // Every batch is one more pass of the sums through memory. A summing task
    // takes half the ring, so that the reader fills the other half meanwhile;
    // on one thread nobody reads while the sums run, so the whole ring goes at once.
    const std::size_t ring_run = slots ? slots : kRingVolumes;
    min_batch = std::max<std::size_t>(1, background ? ring_run / 2 : ring_run);
  }

  template <class F>
  void in_arena(F&& f) {
    if (arena)
      arena->execute(std::forward<F>(f));
    else
      f();
  }

  // The means of the deliveries [b, e) that are to be averaged; their
  // signals on the sample's lattice count as taken (sum_batch copies them).
  // A volume the Volume does not keep is averaged from the ring, its stored
  // voxels looked up as the floats the reader would have made of them.
  void average_batch(std::size_t b, std::size_t e) {
    const std::uint64_t nx = shape[0], ny = shape[1], nz = shape[2];
    std::vector<float> converted;
    for (std::size_t d = b; d < e; ++d) {
      const Delivery& v = deliveries[d];
      if (std::binary_search(averaged.begin(), averaged.end(), v.volume)) {
        double mean;
        if (v.kept || !v.raw) {
          mean = grid_mean(v.kept ? v.kept : v.data, nx, ny, nz);
        } else if (table.bytes == 1) {
          mean = grid_mean_of([&](std::uint64_t at) { return table.value[v.raw[at]]; }, nx, ny, nz);
        } else if (table.bytes == 2) {
          mean = grid_mean_of(
              [&](std::uint64_t at) {
                std::uint16_t pattern;
                std::memcpy(&pattern, v.raw + at * 2, 2);
                return table.value[pattern];
              },
              nx, ny, nz);
        } else {
          converted.resize(static_cast<std::size_t>(grid));
          raw.to_float(v.raw, static_cast<std::size_t>(grid), converted.data());
          mean = grid_mean(converted.data(), nx, ny, nz);
        }
        means.emplace_back(v.volume, mean);
      }
      if (sample) sample->mark(v.volume);
    }
  }

  // The sample's lattice voxels of block [start, start + width) in the
  // deliveries [b, e), while the block is in cache for the sums.
  void sample_block(std::size_t b, std::size_t e, std::uint64_t start, std::size_t width,
                    std::vector<unsigned char>& gathered, std::vector<float>& converted) {
    const auto [first, last] = sample->within(start, start + width);
    if (first == last) return;
    const std::vector<std::uint64_t>& at = sample->kept();
    const std::size_t bytes = raw.bytes_per_voxel;
    for (std::size_t d = b; d < e; ++d) {
      const Delivery& v = deliveries[d];
      if (sample->holds_patterns()) {
        // Every delivery is raw then (take_raw agreed before the first).
        std::uint16_t* out = sample->pattern_slot(v.volume);
        for (std::size_t i = first; i < last; ++i) std::memcpy(out + i, v.raw + at[i] * 2, 2);
        continue;
      }
      float* out = sample->slot(v.volume);
      if (v.kept || !v.raw) {
        const float* src = v.kept ? v.kept : v.data;
        for (std::size_t i = first; i < last; ++i) out[i] = src[at[i]];
      } else if (table.bytes == 1) {
        for (std::size_t i = first; i < last; ++i) out[i] = table.value[v.raw[at[i]]];
      } else if (table.bytes == 2) {
        for (std::size_t i = first; i < last; ++i) {
          std::uint16_t pattern;
          std::memcpy(&pattern, v.raw + at[i] * 2, 2);
          out[i] = table.value[pattern];
        }
      } else {
        gathered.resize((last - first) * bytes);
        converted.resize(last - first);
        for (std::size_t i = first; i < last; ++i)
          std::memcpy(gathered.data() + (i - first) * bytes, v.raw + at[i] * bytes, bytes);
        raw.to_float(gathered.data(), last - first, converted.data());
        std::copy(converted.begin(), converted.end(), out + first);
      }
    }
  }

  // Sums deliveries [b, e) into every block, volume after volume.
  void sum_batch(std::size_t b, std::size_t e, bool parallel) {
    // The batch's rows in order, each with its delivery.
    std::vector<std::pair<const DesignRow*, const Delivery*>> batch;
    std::size_t raw_deliveries = 0;
    for (std::size_t d = b; d < e; ++d) {
      const std::size_t k = static_cast<std::size_t>(deliveries[d].volume);
      raw_deliveries += deliveries[d].raw != nullptr;
      for (std::size_t i = first_row[k]; i < first_row[k + 1]; ++i) batch.emplace_back(&design.rows[i], &deliveries[d]);
    }
    auto body = [&](std::size_t lo, std::size_t hi) {
      std::vector<RowInput> rows(batch.size());
      // One block's run of each raw volume, as floats, unless they are looked up.
      const bool lookup = table.bytes != 0;
      std::vector<float> floats(lookup ? 0 : raw_deliveries * kBlock);
      std::vector<unsigned char> gathered;
      std::vector<float> sampled;
      for (std::size_t blk = lo; blk < hi; ++blk) {
        double* acc = sums.get() + blk * kBlockDoubles;
        const std::uint64_t start = blk * kBlock;
        const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - start));
        if (b == 0) std::fill(acc, acc + kBlockDoubles, 0.0);
        if (sample) sample_block(b, e, start, width, gathered, sampled);
        float* next = floats.data();
        const Delivery* converted = nullptr;
        for (std::size_t i = 0; i < batch.size(); ++i) {
          const Delivery* d = batch[i].second;
          const float* src;
          if (d->raw && lookup) {
            rows[i] = {nullptr, batch[i].first->w.data(), batch[i].first->base, d->raw + start * raw.bytes_per_voxel};
            continue;
          }
          if (!d->raw) {
            src = d->data + start;
          } else {
            if (d != converted) {
              raw.to_float(d->raw + start * raw.bytes_per_voxel, width, next);
              converted = d;
              next += kBlock;
            }
            src = next - kBlock;
          }
          rows[i] = {src, batch[i].first->w.data(), batch[i].first->base};
        }
        add_row_run(acc, rows.data(), rows.size(), width, design.ln_floor, &table);
      }
    };
    if (parallel)
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_blocks, 16),
                        [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    else
      body(0, n_blocks);
  }

  // The eigen step over the voxels `pick` takes. The field lists are in
  // z-fastest order, so stored runs (x fastest) would write each result to
  // another cache line: instead a column of kColumn in-plane positions is
  // taken through every z, and each voxel's lines fill up while they are
  // still in cache. Each voxel's arithmetic is the same in any order.
  void eigen_pass(TensorField& out, EigenPick pick) {
    const bool park = out.v1.empty();
    const std::uint64_t plane = shape[0] * shape[1], nz = shape[2];
    const std::size_t n_columns = static_cast<std::size_t>((plane + kColumn - 1) / kColumn);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_columns), [&](const tbb::blocked_range<std::size_t>& r) {
      FinishScratch scratch;
      for (std::size_t col = r.begin(); col != r.end(); ++col) {
        const std::uint64_t p0 = col * kColumn, p1 = std::min<std::uint64_t>(plane, p0 + kColumn);
        for (std::uint64_t z = 0; z < nz; ++z) {
          // Stored voxels [begin, end), split where they cross a block.
          for (std::uint64_t begin = z * plane + p0, end = z * plane + p1; begin < end;) {
            const std::uint64_t blk = begin / kBlock;
            const std::uint64_t stop = std::min<std::uint64_t>(end, (blk + 1) * kBlock);
            double* acc = sums.get() + blk * kBlockDoubles + (begin - blk * kBlock);
            finish_block(design, acc, begin, static_cast<std::size_t>(stop - begin), out, scratch, pick,
                         park ? acc : nullptr);
            begin = stop;
          }
        }
      }
    });
  }

  // The directions parked in the sums (by eigen passes over a field without
  // them) move to the field: packed to the front of the sums in stored
  // order, the rest of the sums' pages go back, and only then is the grid of
  // directions made. `fitted` picks, by baseline, the voxels the passes
  // fitted (the baseline worked out as the eigen step does, from the sums in
  // stored order); the others keep direction 0, as they would in the field.
  void unpark_directions(TensorField& out, EigenPick fitted) {
    constexpr std::size_t kWords = kBlock / 64;
    std::vector<std::uint64_t> bits(n_blocks * kWords, 0);  // fitted voxels, in stored order
    std::vector<std::size_t> offset(n_blocks + 1, 0);      // first packed double of each block
    std::vector<double> held(3 * kBlock);
    double* packed = sums.get();
    // Block by block through a copy: a block's packed directions may land on
    // its own rows, never on a later block's.
    for (std::size_t blk = 0; blk < n_blocks; ++blk) {
      const double* acc = sums.get() + blk * kBlockDoubles;
      const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, grid - blk * kBlock));
      std::size_t h = 0;
      for (std::size_t j = 0; j < width; ++j) {
        const double s0 = acc[kBaseRow * kStride + j] / design.base_count;
        if (design.min_s0 > s0 || !fitted.takes(s0)) continue;
        bits[blk * kWords + j / 64] |= std::uint64_t{1} << (j % 64);
        for (std::size_t c = 0; c < 3; ++c) held[h++] = acc[c * kStride + j];
      }
      std::copy(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(h), packed + offset[blk]);
      offset[blk + 1] = offset[blk] + h;
    }
    sums.trim(offset[n_blocks]);
    out.v1.assign(static_cast<std::size_t>(grid), Vec3{0, 0, 0});
    // In the eigen step's order, for the same reason.
    const std::uint64_t nx = shape[0], ny = shape[1], plane = nx * ny, nz = shape[2];
    const std::size_t n_columns = static_cast<std::size_t>((plane + kColumn - 1) / kColumn);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_columns), [&](const tbb::blocked_range<std::size_t>& r) {
      for (std::size_t col = r.begin(); col != r.end(); ++col) {
        const std::uint64_t p0 = col * kColumn, p1 = std::min<std::uint64_t>(plane, p0 + kColumn);
        for (std::uint64_t z = 0; z < nz; ++z) {
          for (std::uint64_t v = z * plane + p0, end = z * plane + p1; v < end; ++v) {
            const std::size_t blk = static_cast<std::size_t>(v / kBlock), j = static_cast<std::size_t>(v % kBlock);
            const std::uint64_t* w = bits.data() + blk * kWords;
            if (!((w[j / 64] >> (j % 64)) & 1)) continue;
            // Rank of the voxel among its block's fitted voxels.
            const std::uint64_t before = w[j / 64] & ((std::uint64_t{1} << (j % 64)) - 1);
            std::size_t rank = static_cast<std::size_t>(std::popcount(before));
            for (std::size_t k = 0; k < j / 64; ++k) rank += static_cast<std::size_t>(std::popcount(w[k]));
            const double* d = packed + offset[blk] + 3 * rank;
            const std::uint64_t p = v - z * plane;
            out.v1[static_cast<std::size_t>(((p % nx) * ny + p / nx) * nz + z)] = Vec3{d[0], d[1], d[2]};
          }
        }
      }
    });
  }

  // The eigen step, once all sums are complete. For the white-matter proxy
  // and the tracking's tissue only the bright voxels are needed (in a head,
  // well under half of the grid): the baselines come first, then the two
  // thresholds on them pick the voxels, and only when that leaves the proxy
  // empty (the detection then scores every anisotropic voxel) are the others
  // fitted too.
  void finish() {
    // Every volume is summed: the ring goes before the field is made, so that
    // the two are never held together.
    if (lean) {
      ring.give_back();
      raw_slots.give_back();
    } else {
      ring.reset();
      raw_slots.reset();
    }
    TensorField out = empty_field(shape[0], shape[1], shape[2], !lean);
    bool below_too = false;
    if (scope != FitScope::Whole) {
      eigen_pass(out, {EigenPick::None});
      // The tracking seeds in the tissue, which reaches below the proxy's
      // threshold on a grid with no background (a crop inside the brain); on a
      // head both are the same and nothing more is fitted. Without the
      // tracking its threshold (two more passes over the grid, one of them
      // taking logarithms) is not worked out at all. Both are kept in the
      // field, where the proxy and the tracking ask for them again.
      double from = 0;
      if (scope == FitScope::ProxyAndTissue) {
        const auto [bright, tissue] = out.brightness_thresholds();
        out.bright_from = bright;
        out.tissue_from = tissue;
        from = std::min(bright, tissue);
      } else {
        out.bright_from = from = out.bright_threshold();
      }
      eigen_pass(out, {EigenPick::AtLeast, from});
      const Mask proxy = out.wm_proxy(defaults::kFaThreshold);
      if (std::none_of(proxy.begin(), proxy.end(), [](std::uint8_t b) { return b != 0; })) {
        eigen_pass(out, {EigenPick::Below, from});
        below_too = true;
      }
      if (lean) unpark_directions(out, below_too ? EigenPick{} : EigenPick{EigenPick::AtLeast, from});
    } else {
      eigen_pass(out, {});
      if (lean) unpark_directions(out, {});
    }
    sums.reset();
    field = std::move(out);
    finished = true;
  }

  // Sums what is delivered and not yet summed, on this thread; called with the
  // lock held and no batch running, returns with the lock held.
  void sum_pending(std::unique_lock<std::mutex>& l, bool parallel) {
    const std::size_t b = consumed, e = produced;
    busy = true;
    l.unlock();
    try {
      average_batch(b, e);
      sum_batch(b, e, parallel);
    } catch (...) {
      l.lock();
      busy = false;
      cancelled = true;
      if (!error) error = std::current_exception();
      cv.notify_all();
      throw;
    }
    l.lock();
    consumed = e;
    busy = false;
    cv.notify_all();
  }

  // Whether the deliveries not yet summed make a batch worth taking.
  bool batch_ready() const {
    return produced > consumed && (produced - consumed >= min_batch || produced == wanted || done);
  }

  // The summing task: takes runs of delivered volumes in order until all are
  // summed, then runs the eigen step while the reader may still be inflating
  // volumes the fit does not read.
  void drain() {
    std::unique_lock<std::mutex> l(m);
    for (;;) {
      cv.wait(l, [&] { return cancelled || (!busy && (batch_ready() || consumed == wanted)); });
      if (cancelled) return;
      if (consumed == wanted) break;
      try {
        sum_pending(l, true);
      } catch (...) {
        return;  // kept in `error` for take()
      }
    }
    l.unlock();
    try {
      finish();
    } catch (...) {
      l.lock();
      cancelled = true;
      if (!error) error = std::current_exception();
    }
  }

  void rethrow_failure() {
    if (error) std::rethrow_exception(error);
  }

  void stop() noexcept {
    {
      std::lock_guard<std::mutex> l(m);
      cancelled = true;
    }
    cv.notify_all();
    if (drainer_started) {
      try {
        in_arena([&] { group.wait(); });
      } catch (...) {
      }
      drainer_started = false;
    }
  }
};

FitStream::FitStream(const GradientTable& table, std::vector<std::uint64_t> b0_indices,
                     std::vector<std::uint64_t> shell_indices, double min_s0, std::vector<std::uint64_t> keep,
                     tbb::task_arena* arena, int concurrency, FitScope scope)
    : state_(std::make_unique<State>()) {
  State& st = *state_;
  st.design = make_design(table, b0_indices, shell_indices, min_s0);
  st.b0 = std::move(b0_indices);
  st.shell = std::move(shell_indices);
  std::sort(keep.begin(), keep.end());
  keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
  st.keep = std::move(keep);
  st.table_size = table.size();
  st.arena = arena;
  st.background = concurrency >= 2;
  st.scope = scope;
}

FitStream::~FitStream() { state_->stop(); }

bool FitStream::begin(const VolumeInfo& info, std::vector<std::uint8_t>& keep, std::vector<std::uint8_t>& want) {
  State& st = *state_;
  if (st.began || info.shape.size() != 4 || info.n_volumes != st.table_size) return false;
  const std::uint64_t n_volumes = info.n_volumes;
  if (keep.size() != n_volumes || want.size() != n_volumes) return false;
  const std::uint64_t grid = info.shape[0] * info.shape[1] * info.shape[2];
  if (grid == 0) return false;
  for (const DesignRow& s : st.design.rows)
    if (s.volume >= n_volumes) return false;

  std::vector<std::size_t> first_row(static_cast<std::size_t>(n_volumes) + 1, 0);
  for (const DesignRow& s : st.design.rows) ++first_row[static_cast<std::size_t>(s.volume) + 1];
  for (std::size_t k = 0; k < n_volumes; ++k) first_row[k + 1] += first_row[k];

  std::size_t wanted = 0, ring_volumes = 0;  // ring_volumes: wanted, not kept
  if (st.sample) st.sample->begin(info.shape, n_volumes);
  for (std::uint64_t k = 0; k < n_volumes; ++k) {
    const bool w = first_row[k + 1] > first_row[k] || st.sample ||
                   std::binary_search(st.averaged.begin(), st.averaged.end(), k);
    const bool kp = std::binary_search(st.keep.begin(), st.keep.end(), k);
    keep[k] = kp ? 1 : 0;
    want[k] = w ? 1 : 0;
    wanted += w;
    ring_volumes += w && !kp;
  }
  const std::size_t n_blocks = static_cast<std::size_t>((grid + kBlock - 1) / kBlock);
  st.lean = n_blocks * kBlockDoubles * sizeof(double) >= st.lean_from;
  const std::size_t slots = std::min(st.ring_cap(static_cast<std::size_t>(grid) * sizeof(float)), ring_volumes);
  try {
    // Left uninitialised: each block is cleared by the first batch, on the
    // summing thread, and the ring is written before it is read.
    st.sums = cache::Array<double>(n_blocks * kBlockDoubles);
    if (slots) st.ring = cache::Array<float>(slots * static_cast<std::size_t>(grid));
    st.deliveries.reserve(wanted);
  } catch (const std::bad_alloc&) {
    st.sums.reset();
    st.ring.reset();
    return false;  // read whole; the fit then runs on its own
  }
  st.shape = info.shape;
  st.grid = grid;
  st.n_blocks = n_blocks;
  st.first_row = std::move(first_row);
  st.set_ring(slots);
  st.wanted = wanted;
  st.began = true;

  if (st.background) {
    tbb::task_handle task = st.group.defer([&st] { st.drain(); });
    if (st.arena)
      st.arena->enqueue(std::move(task));
    else
      tbb::this_task_arena::enqueue(std::move(task));
    st.drainer_started = true;
  }
  return true;
}

// The next ring slot, once the volume it last held is summed: summed here
// when nobody is at it, else by the task that is.
std::size_t FitStream::claim_slot() {
  State& st = *state_;
  std::unique_lock<std::mutex> l(st.m);
  st.rethrow_failure();
  if (!st.ring_slots) throw std::logic_error("FitStream: no ring buffer for a streamed volume");
  const std::size_t slot = st.ring_handed % st.ring_slots;
  while (st.slot_owner[slot] >= 0 && static_cast<std::size_t>(st.slot_owner[slot]) >= st.consumed) {
    st.rethrow_failure();
    if (!st.busy)
      st.sum_pending(l, false);
    else
      st.cv.wait(l);
  }
  ++st.ring_handed;
  st.pending_slot = slot;
  st.slot_claimed = true;
  return slot;
}

float* FitStream::buffer_for(std::uint64_t) {
  State& st = *state_;
  const Lap lap(st.reader_s);
  if (st.raw_ring) throw std::logic_error("FitStream: a float volume after raw ones were agreed");
  return st.ring.get() + claim_slot() * static_cast<std::size_t>(st.grid);
}

bool FitStream::take_raw(const RawVoxels& raw) {
  State& st = *state_;
  // Stored voxels wider than floats would only make the ring bigger.
  if (!st.began || st.raw_ring || !raw.to_float || raw.bytes_per_voxel == 0 || raw.bytes_per_voxel > sizeof(float))
    return false;
  // Kept volumes come raw too (their lookups are cheaper than the logarithms
  // of their floats), so the ring holds any wanted volume.
  const std::size_t slots = std::min(st.ring_cap(static_cast<std::size_t>(st.grid) * raw.bytes_per_voxel), st.wanted);
  if (slots) {
    try {
      st.raw_slots =
          cache::Array<unsigned char>(slots * static_cast<std::size_t>(st.grid) * raw.bytes_per_voxel);
    } catch (const std::bad_alloc&) {
      return false;  // the float ring is there
    }
    st.ring.reset();  // never touched
  }
  st.set_ring(slots);
  st.raw = raw;
  st.raw_ring = true;
  st.table = make_signal_table(raw.bytes_per_voxel, raw.to_float, st.design.ln_floor);
  if (st.sample && st.table.bytes == 2) st.sample->hold_patterns(st.table.value);
  return true;
}

unsigned char* FitStream::raw_buffer_for(std::uint64_t) {
  State& st = *state_;
  const Lap lap(st.reader_s);
  if (!st.raw_ring) throw std::logic_error("FitStream: a raw volume without take_raw");
  return st.raw_slots.get() + claim_slot() * static_cast<std::size_t>(st.grid) * st.raw.bytes_per_voxel;
}

void FitStream::volume_ready(std::uint64_t k, const float* data) {
  const bool kept = std::binary_search(state_->keep.begin(), state_->keep.end(), k);
  deliver(k, data, nullptr, kept ? data : nullptr);
}

void FitStream::raw_volume_ready(std::uint64_t k, const unsigned char* raw, const float* kept) {
  deliver(k, nullptr, raw, kept);
}

void FitStream::average_volumes(std::vector<std::uint64_t> volumes) {
  State& st = *state_;
  if (st.began) throw std::logic_error("FitStream::average_volumes: the read has begun");
  std::sort(volumes.begin(), volumes.end());
  volumes.erase(std::unique(volumes.begin(), volumes.end()), volumes.end());
  st.averaged = std::move(volumes);
}

void FitStream::lean_from(std::size_t sum_bytes) {
  State& st = *state_;
  if (st.began) throw std::logic_error("FitStream::lean_from: the read has begun");
  st.lean_from = sum_bytes;
}

void FitStream::sample_signals(SignalSample* sample) {
  State& st = *state_;
  if (st.began) throw std::logic_error("FitStream::sample_signals: the read has begun");
  st.sample = sample;
}

std::optional<std::vector<double>> FitStream::volume_means(const std::vector<std::uint64_t>& volumes) const {
  const State& st = *state_;
  if (!st.taken) return std::nullopt;
  std::vector<double> out;
  out.reserve(volumes.size());
  for (std::uint64_t k : volumes) {
    auto it = std::find_if(st.means.begin(), st.means.end(), [k](const auto& m) { return m.first == k; });
    if (it == st.means.end()) return std::nullopt;
    out.push_back(it->second);
  }
  return out;
}

void FitStream::deliver(std::uint64_t k, const float* data, const unsigned char* raw, const float* kept) {
  State& st = *state_;
  const Lap lap(st.reader_s);
  std::unique_lock<std::mutex> l(st.m);
  st.rethrow_failure();
  if (st.slot_claimed) st.slot_owner[st.pending_slot] = static_cast<std::ptrdiff_t>(st.produced);
  st.slot_claimed = false;
  st.deliveries.push_back({k, data, raw, kept});
  ++st.produced;
  if (st.background) {
    l.unlock();
    st.cv.notify_all();
  } else if (st.batch_ready()) {
    st.sum_pending(l, false);
  }
}

void FitStream::end() {
  State& st = *state_;
  const Lap lap(st.reader_s);
  std::unique_lock<std::mutex> l(st.m);
  st.done = true;
  if (st.background) {
    l.unlock();
    st.cv.notify_all();
    return;
  }
  if (st.produced > st.consumed) st.sum_pending(l, false);
}

void FitStream::abandon() noexcept { state_->stop(); }

bool FitStream::complete() const {
  const State& st = *state_;
  return st.began && st.done && !st.taken;
}

TensorField FitStream::take() {
  State& st = *state_;
  if (!st.began || st.taken) throw std::logic_error("FitStream::take: no streamed fit to take");
  if (st.drainer_started) {
    st.in_arena([&] { st.group.wait(); });
    st.drainer_started = false;
  }
  st.rethrow_failure();
  if (!st.done || st.consumed != st.wanted) throw std::logic_error("FitStream::take: the image was not read through");
  st.taken = true;
  if (!st.finished) st.finish();
  return std::move(st.field);
}

double FitStream::reader_seconds() const { return state_->reader_s; }

bool FitStream::taken() const { return state_->taken; }

}  // namespace tarvix
