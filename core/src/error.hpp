// The single error type of the core. Every ordinary failure is an Error; the
// binding turns it into ValueError(display()) and nothing else.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

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

 private:
  Error(ErrorKind kind, std::string display) : kind_(kind), display_(std::move(display)) {}
  ErrorKind kind_;
  std::string display_;
};

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
