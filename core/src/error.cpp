#include "error.hpp"

#include <cstring>

#include "format.hpp"
#include "text.hpp"

namespace tarvix {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r returns the message, possibly not in buf.
  const char* msg = strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::io(int errnum) { return {ErrorKind::Io, "I/O error: " + os_error_text(errnum)}; }
Error Error::io_text(std::string text) { return {ErrorKind::Io, "I/O error: " + text}; }
Error Error::nifti(std::string text) { return {ErrorKind::Nifti, "NIfTI error: " + text}; }
Error Error::json(std::string text) { return {ErrorKind::Json, "JSON error: " + text}; }

Error Error::parse(const std::string& path, std::string message) {
  return {ErrorKind::Parse, "failed to parse " + display_path(path) + ": " + message};
}

Error Error::table_mismatch(std::uint64_t directions, std::uint64_t bvals) {
  return {ErrorKind::TableMismatch, "gradient table mismatch: " + std::to_string(directions) +
                                        " directions but " + std::to_string(bvals) + " b-values"};
}

Error Error::volume_mismatch(std::uint64_t gradients, std::uint64_t volumes) {
  return {ErrorKind::VolumeMismatch, "volume mismatch: " + std::to_string(gradients) +
                                         " gradients but " + std::to_string(volumes) + " DWI volumes"};
}

Error Error::mask_mismatch(std::uint64_t mask_voxels, std::uint64_t grid_voxels) {
  return {ErrorKind::MaskMismatch, "mask grid mismatch: mask has " + std::to_string(mask_voxels) +
                                       " voxels but the DWI grid has " + std::to_string(grid_voxels)};
}

Error Error::mask_grid(std::string detail) { return {ErrorKind::MaskMismatch, "mask grid mismatch: " + detail}; }

Error Error::thread_count() { return {ErrorKind::ThreadCount, "threads must be a positive integer"}; }
Error Error::thread_pool(std::string text) {
  return {ErrorKind::ThreadPool, "could not create thread pool: " + text};
}
Error Error::dti_fit(std::string message) { return {ErrorKind::DtiFit, "DTI fit failed: " + message}; }
Error Error::no_flip_shell() {
  return {ErrorKind::NoFlipShell, "no usable non-b0 shell for flip detection"};
}
Error Error::margin_threshold(double value) {
  return {ErrorKind::MarginThreshold,
          "margin threshold must be finite and in (0, 1]: " + format_plain(value)};
}
Error Error::amplitude_strict(std::string message) {
  return {ErrorKind::AmplitudeStrict, "amplitude-encoded bvecs (--strict): " + message};
}
Error Error::refuse_overwrite(const std::string& path) {
  return {ErrorKind::RefuseOverwrite,
          "refusing to overwrite existing file: " + display_path(path) + " (pass --force to allow)"};
}

}  // namespace tarvix
