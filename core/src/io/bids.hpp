// Finding the DWI runs of a BIDS dataset: the tree walk, DWI file names, sibling
// gradient files, sidecars and mask candidates. Only names and file types are
// looked at here; no image or gradient file is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvix {

// One discovered run.
struct DwiEntry {
  std::string dwi;                     // .../<name>.nii or .../<name>.nii.gz
  std::string bvec;                    // <base>.bvec, else <base>.bvecs
  std::string bval;                    // <base>.bval, else <base>.bvals
  std::vector<std::string> masks;      // mask candidates beside the image, in path order
  std::optional<std::string> sidecar;  // <base>.json when it is a regular file
  std::string base;                    // the image path cut before ".nii"

  // The file name of the base path (sub-01_dwi): the run's name in batch mode.
  std::string name() const;
};

// The sidecar fields batch mode reports; absent when missing or null.
struct BidsSidecar {
  std::optional<std::string> phase_encoding_direction;
  std::optional<double> total_readout_time;
  std::optional<std::uint32_t> multiband_acceleration_factor;
};

namespace bids {

// A folder of the tree that could not be listed, and the operating system's
// error number.
struct UnreadableFolder {
  std::string path;
  int errnum = 0;

  // "cannot list the folder <path>: Permission denied (os error 13)".
  std::string text() const;
};

// What a walk found: the runs, and what it left out on the way, each named by
// its path (folders that could not be listed; DWI images that are FIFOs,
// devices or sockets, which are never opened, or that lack a usable table).
struct Discovery {
  std::vector<DwiEntry> entries;
  std::vector<UnreadableFolder> unreadable;
  // One line per image left out, naming it and why: "<image>: no .bval beside
  // it: skipped".
  std::vector<std::string> skipped;
};

// How a walk reads a tree: every folder but derivatives/, with each run's
// tables beside its image and UTF-8 file names (the module's batch); or as a
// BIDS App, only the raw data (also leaving out sourcedata/, code/ and
// stimuli/ at the top, and every folder whose name starts with '.'), a table
// missing beside an image inherited from the nearest folder up to the root
// that holds one named by entities the run carries (dwi.bval, ses-1_dwi.bval),
// and file names taken as bytes.
enum class Scope { Everything, RawData };

// Every run under `root`, sorted by path order. A root that is missing or not
// a directory gives an empty list. Folders that cannot be listed are collected
// rather than ending the walk, so the caller decides whether to go on.
Discovery discover_runs(const std::string& root, Scope scope = Scope::Everything);

// As discover_runs, and an unlistable directory is an I/O error (the first one
// the walk met, the operating system's text alone).
std::vector<DwiEntry> discover(const std::string& root);

// Appends every non-directory path under `dir`, following symbolic links,
// skipping every directory named exactly "derivatives". Each directory is
// listed once however many links reach it: under its own path when the walk
// reaches it without links, else under the first link (in name order) found.
void walk(const std::string& dir, std::vector<std::string>& files);
// As walk, and a directory that cannot be listed is appended to `unreadable`
// and left out instead of ending the walk.
void walk(const std::string& dir, std::vector<std::string>& files, std::vector<UnreadableFolder>& unreadable,
          Scope scope = Scope::Everything);

// The image path with its file name cut before ".nii"/".nii.gz", when the file
// name marks a DWI image (<stem>_dwi.nii[.gz], case-sensitive, not "._*",
// valid UTF-8 unless `any_bytes`).
std::optional<std::string> nifti_base(const std::string& path, bool any_bytes = false);

// Mask images in `dir` (name containing "mask", any case; valid UTF-8 unless
// `any_bytes`), in path order. A directory that cannot be listed has none.
std::vector<std::string> find_masks(const std::string& dir, bool any_bytes = false);

// Path order: component by component, each compared as bytes.
bool path_less(const std::string& a, const std::string& b);

// Reads a sidecar strictly. Io or Json error when the file cannot be read, is
// not one JSON object, repeats one of the three fields or gives one of them a
// value of the wrong type.
BidsSidecar read_sidecar(const std::string& path);

// "BIDS sidecar: PE=j-, TRT=0.0542s, MB=3" from the fields present; none when
// no field is present.
std::optional<std::string> sidecar_note(const BidsSidecar& sidecar);

}  // namespace bids
}  // namespace tarvix
