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

namespace {

const char* role_option(Role role) {
  switch (role) {
    case Role::Dwi: return "--dwi";
    case Role::Mask: return "--mask";
    case Role::Bvec: return "--bvec";
    case Role::Bval: return "--bval";
    case Role::Grad: return "--grad";
    case Role::OutBvec: return "--out-bvec";
    case Role::OutBval: return "--out-bval";
    case Role::OutGrad: return "--out-grad";
    case Role::Provenance: return "--provenance";
    case Role::RunFile: return nullptr;
  }
  return nullptr;
}

bool is_output(Role role) {
  return role == Role::OutBvec || role == Role::OutBval || role == Role::OutGrad || role == Role::Provenance ||
         role == Role::RunFile;
}

// The path as a word of the text, not a piece of another: "b" is in "b-values".
bool names(const std::string& text, const std::string& path) {
  for (std::size_t at = text.find(path); at != std::string::npos; at = text.find(path, at + 1)) {
    const std::size_t end = at + path.size();
    if ((at == 0 || text[at - 1] == ' ') && (end == text.size() || std::string_view(":;), ").find(text[end]) !=
                                                                        std::string_view::npos))
      return true;
  }
  return false;
}

}  // namespace

std::string located(const Error& error, Naming naming) {
  const std::optional<Concern>& c = error.concern();
  // A batch names each run by its image already.
  if (!c || c->path.empty() || (naming == Naming::Path && c->role == Role::Dwi)) return error.display();
  const std::string path = display_path(c->path);
  if (names(error.display(), path)) return error.display();
  const char* option = naming == Naming::Option ? role_option(c->role) : nullptr;
  const std::string named = option ? std::string(option) + " " + path : path;
  if (!c->table.empty()) return error.display() + ", between the table " + display_path(c->table) + " and " + named;
  return error.display() + (is_output(c->role) ? ", while writing " : ", while reading ") + named;
}

}  // namespace tarvix
