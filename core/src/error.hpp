// The single error type of the core. Every ordinary failure is an Error; the
// binding turns it into ValueError(display()), or for the command line's
// engine ValueError(located(...)), and nothing else.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarvix {

enum class ErrorKind {
  Io,
  Nifti,
  Json,
  Parse,
  TableMismatch,
  VolumeMismatch,
  MaskMismatch,
  ThreadCount,
  ThreadPool,
  DtiFit,
  NoFlipShell,
  MarginThreshold,
  AmplitudeStrict,
  RefuseOverwrite,
};

// The file of a call an error concerns, named as the command line gives it.
// A batch run's own report and tracking files are RunFile: no option names them.
enum class Role { Dwi, Mask, Bvec, Bval, Grad, OutBvec, OutBval, OutGrad, Provenance, RunFile };

struct Concern {
  Role role;
  std::string path;
  // Set where a volume count was held against this table: the fault is
  // between the two files, not in the one being read.
  std::string table;
};

class Error : public std::exception {
 public:
  // Wraps an operating-system error number: "No such file or directory (os error 2)".
  static Error io(int errnum);
  static Error io_text(std::string text);
  static Error nifti(std::string text);
  static Error json(std::string text);
  static Error parse(const std::string& path, std::string message);
  static Error table_mismatch(std::uint64_t directions, std::uint64_t bvals);
  static Error volume_mismatch(std::uint64_t gradients, std::uint64_t volumes);
  static Error mask_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels);
  // The mask's grid differs from the DWI's other than in its voxel count.
  static Error mask_grid(std::string detail);
  static Error thread_count();
  static Error thread_pool(std::string text);
  static Error dti_fit(std::string message);
  static Error no_flip_shell();
  static Error margin_threshold(double value);
  static Error amplitude_strict(std::string message);
  static Error refuse_overwrite(const std::string& path);

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& display() const noexcept { return display_; }
  const char* what() const noexcept override { return display_.c_str(); }

  // The module's text never shows the file: its callers know what they passed.
  // The innermost step that knew the file sets it; outer ones leave it.
  const std::optional<Concern>& concern() const noexcept { return concern_; }
  void set_concern(Role role, const std::string& path, std::string table = {}) {
    if (!concern_) concern_ = Concern{role, path, std::move(table)};
  }
  // A likely cause, found where the file was read (two files swapped).
  void add_hint(std::string_view hint) { display_ += hint; }

 private:
  Error(ErrorKind kind, std::string display) : kind_(kind), display_(std::move(display)) {}
  ErrorKind kind_;
  std::string display_;
  std::optional<Concern> concern_;
};

// Runs f; an Error it throws is marked as concerning `path` in `role`.
template <class F>
decltype(auto) concerning(Role role, const std::string& path, F&& f) {
  try {
    return std::forward<F>(f)();
  } catch (Error& e) {
    e.set_concern(role, path);
    throw;
  }
}

// How a caller names an error's file: by its command-line option, or (a
// batch run, whose files nobody typed) by its path alone.
enum class Naming { Option, Path };

// display() with the file it concerns: "..., while reading --bval b.txt".
// A text that names the file already (a FIFO, a parse error) is left as it
// is, and so is a batch run's error about its image, which the run is named by.
std::string located(const Error& error, Naming naming);

// A failure that is a plain message rather than an Error kind ("provide bvec and
// bval, or grad", batch failures). Raised as ValueError with exactly this text.
class Failure : public std::exception {
 public:
  explicit Failure(std::string text) : text_(std::move(text)) {}
  const std::string& text() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

// The operating system's description of an error number followed by "(os error N)".
std::string os_error_text(int errnum);

}  // namespace tarvix
