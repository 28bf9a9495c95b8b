// The provenance record written beside repaired or recomputed tables. It
// carries the analysis sections it summarises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "angular.hpp"
#include "flip.hpp"
#include "frame.hpp"
#include "io/input_file.hpp"
#include "json.hpp"
#include "matrix.hpp"
#include "shell.hpp"

namespace tarvix {

struct Report;

// How the written tables relate to the image frames.
struct FrameProvenance {
  std::string input_format;  // "mrtrix" for a world-frame table, else "fsl"
  double affine_determinant_sign = 1.0;
  Mat3 rotation{};  // transpose of the world voxel map: voxel axes -> world
  Mat3 fsl_voxel_map{};
  Mat3 world_voxel_map{};
  bool frames_divergent = false;
  bool emitted_fsl = true;
  bool emitted_mrtrix = false;

  static FrameProvenance of(const FrameMaps& maps, bool emitted_mrtrix);
  json::Value to_json() const;
};

// The JSON record written beside repaired or recomputed gradient files.
// Absent optional members are left out of the file.
struct Provenance {
  std::uint32_t schema_version = 1;
  std::string tool;
  std::string tool_version;
  std::string timestamp;
  std::vector<InputFile> inputs;
  std::optional<ShellSummary> shells;
  std::optional<AngularSummary> angular;
  std::optional<FlipResult> flip;
  // When another measure than the coherence chose the transform: its record
  // and its name. Absent otherwise.
  std::optional<json::Value> tracking;
  std::optional<std::string> decided_by;
  std::optional<Mat3> applied_transform;
  std::optional<std::string> applied_label;
  std::optional<FrameProvenance> frame;
  std::vector<std::string> outputs;
  std::vector<std::string> notes;

  // Header, the current UTC time and the inputs; everything else empty.
  static Provenance make(std::vector<InputFile> inputs);
  // Copies the flip result; the applied transform and label come only from
  // its recommendation.
  Provenance& with_flip(const FlipResult& flip);
  Provenance& with_outputs(std::vector<std::string> outputs);

  json::Value to_json() const;
};

namespace io::provenance {
// Two-space indented JSON, no final newline, written atomically.
void write(const std::string& path, const Provenance& record);
}  // namespace io::provenance

// The measure that chose a repair's transform, when it is not the coherence.
struct DecidingMeasure {
  std::string name;    // e.g. "tracking"
  json::Value record;  // its own record
  std::optional<Mat3> recommended_transform;
  std::optional<std::string> recommended_label;
};

// The record of a repair: shells and angular only when the report has both,
// the flip result, the outputs, and the frame section when frames are known.
// With `decided`, the applied transform is that measure's recommendation.
void write_provenance(const std::string& path, const Report& report, const FlipResult& flip,
                      const std::vector<InputFile>& inputs, const std::vector<std::string>& outputs,
                      const FrameMaps* frames, bool emitted_mrtrix, const DecidingMeasure* decided = nullptr);

}  // namespace tarvix
