// The provenance record: what wrote a set of gradient files, from which inputs,
// what the audit found and in which frames the files were written.
#include <utility>

#include "fileio.hpp"
#include "io/provenance.hpp"
#include "report.hpp"

namespace tarvix {

FrameProvenance FrameProvenance::of(const FrameMaps& maps, bool emitted_mrtrix) {
  FrameProvenance f;
  f.input_format = maps.table_frame == TableFrame::World ? "mrtrix" : "fsl";
  f.affine_determinant_sign = maps.affine_determinant_sign;
  f.rotation = transpose(maps.world_voxel_map);
  f.fsl_voxel_map = maps.fsl_voxel_map;
  f.world_voxel_map = maps.world_voxel_map;
  f.frames_divergent = maps.frames_divergent;
  f.emitted_fsl = true;
  f.emitted_mrtrix = emitted_mrtrix;
  return f;
}

json::Value FrameProvenance::to_json() const {
  return json::Value(json::Object{
      {"input_format", input_format},
      {"affine_determinant_sign", affine_determinant_sign},
      {"rotation", json::mat3(rotation)},
      {"fsl_voxel_map", json::mat3(fsl_voxel_map)},
      {"world_voxel_map", json::mat3(world_voxel_map)},
      {"frames_divergent", frames_divergent},
      {"emitted_fsl", emitted_fsl},
      {"emitted_mrtrix", emitted_mrtrix},
  });
}

Provenance Provenance::make(std::vector<InputFile> inputs) {
  Provenance p;
  p.tool = kToolName;
  p.tool_version = kToolVersion;
  p.timestamp = rfc3339_now();
  p.inputs = std::move(inputs);
  return p;
}

Provenance& Provenance::with_flip(const FlipResult& result) {
  flip = result;
  applied_transform = result.recommended_transform;
  applied_label = result.recommended_label;
  return *this;
}

Provenance& Provenance::with_outputs(std::vector<std::string> files) {
  outputs = std::move(files);
  return *this;
}

json::Value Provenance::to_json() const {
  json::Value v = json::Value::object();
  v.set("schema_version", schema_version);
  v.set("tool", tool);
  v.set("tool_version", tool_version);
  v.set("timestamp", timestamp);
  json::Array in;
  in.reserve(inputs.size());
  for (const auto& f : inputs) in.push_back(f.to_json());
  v.set("inputs", json::Value(std::move(in)));
  if (shells) v.set("shells", shells->to_json());
  if (angular) v.set("angular", angular->to_json());
  if (flip) v.set("flip", flip->to_json());
  if (tracking) v.set("tracking", *tracking);
  if (decided_by) v.set("decided_by", *decided_by);
  if (applied_transform) v.set("applied_transform", json::mat3(*applied_transform));
  if (applied_label) v.set("applied_label", *applied_label);
  if (frame) v.set("frame", frame->to_json());
  v.set("outputs", json::strings(outputs));
  v.set("notes", json::strings(notes));
  return v;
}

namespace io::provenance {

void write(const std::string& path, const Provenance& record) {
  write_file_atomic(path, json::dump(record.to_json(), true));
}

}  // namespace io::provenance

void write_provenance(const std::string& path, const Report& report, const FlipResult& flip,
                      const std::vector<InputFile>& inputs, const std::vector<std::string>& outputs,
                      const FrameMaps* frames, bool emitted_mrtrix, const DecidingMeasure* decided) {
  Provenance record = Provenance::make(inputs);
  // The two scheme sections travel together or not at all.
  if (report.shells && report.angular) {
    record.shells = report.shells;
    record.angular = report.angular;
  }
  record.with_flip(flip);
  if (decided) {
    record.tracking = decided->record;
    record.decided_by = decided->name;
    record.applied_transform = decided->recommended_transform;
    record.applied_label = decided->recommended_label;
  }
  record.with_outputs(outputs);
  if (frames) record.frame = FrameProvenance::of(*frames, emitted_mrtrix);
  io::provenance::write(path, record);
}

}  // namespace tarvix
