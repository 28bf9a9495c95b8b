#include "run_context.hpp"

#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "cross_run.hpp"
#include "image_header.hpp"
#include "text.hpp"

namespace tarvix::bids_batch {
namespace {

using Json = nlohmann::ordered_json;

// The plan's own records (the cross-run note) as the report writer holds them.
json::Value to_value(const Json& j) {
  switch (j.type()) {
    case Json::value_t::object: {
      json::Value out = json::Value::object();
      for (const auto& [key, value] : j.items()) out.set(key, to_value(value));
      return out;
    }
    case Json::value_t::array: {
      json::Value out = json::Value::array();
      for (const auto& value : j) out.push(to_value(value));
      return out;
    }
    case Json::value_t::string: return json::Value(j.get<std::string>());
    case Json::value_t::boolean: return json::Value(j.get<bool>());
    case Json::value_t::number_integer: return json::Value(j.get<std::int64_t>());
    case Json::value_t::number_unsigned: return json::Value(j.get<std::uint64_t>());
    case Json::value_t::number_float: return json::Value(j.get<double>());
    default: return json::Value(nullptr);
  }
}

std::string path_of(const Json& v) { return bytes_of_nul_escapes(v.get<std::string>()); }

std::string relative(const std::string& path, const std::string& dir) {
  return std::filesystem::path(path).lexically_relative(dir).string();
}

json::Value* member(json::Value& object, const std::string& key) {
  for (auto& [k, v] : object.as_object())
    if (k == key) return &v;
  return nullptr;
}

// The derivatives dataset's mask for this run when it lies on the image's
// grid with the image's affine; otherwise the automatic region, and why.
void choose_mask(const std::string& mask_dir, const std::optional<std::string>& candidate, DwiEntry& entry,
                 RunContext& c) {
  json::Value record = json::Value::object();
  entry.masks.clear();
  const std::string shown = candidate ? display_path(relative(*candidate, mask_dir)) : std::string();
  const auto why = candidate ? mask_misfit(*candidate, entry.dwi) : std::nullopt;
  if (!candidate) {
    record.set("path", nullptr);
    c.mask_note = "no brain mask for this run in " + display_path(mask_dir) + ": the automatic region is used";
  } else if (why) {
    record.set("path", nullptr);
    record.set("rejected", shown);
    c.mask_note = "the brain mask " + shown + " " + *why + ": the automatic region is used";
  } else {
    entry.masks.push_back(*candidate);
    record.set("path", shown);
    c.mask_note = "brain mask " + shown + " from " + display_path(mask_dir);
  }
  record.set("note", c.mask_note);
  c.mask = std::move(record);
}

}  // namespace

RunContext run_context(const std::string& entry_text, const std::string& out_dir, DwiEntry& entry) {
  RunContext c;
  c.out_dir = out_dir;
  try {
    const Json j = Json::parse(nul_escaped_json(entry_text));
    const auto dwi = j.find("dwi_relative");
    c.source = json::Value::object();
    c.source.set("dwi", display_path(path_of(dwi != j.end() ? *dwi : j.at("dwi"))));
    c.source.set("name", display_path(path_of(j.at("name"))));
    if (const auto dir = j.find("mask_dir"); dir != j.end() && dir->is_string()) {
      const auto found = j.find("mask_candidate");
      const bool has = found != j.end() && found->is_string();
      choose_mask(path_of(*dir), has ? std::optional(path_of(*found)) : std::nullopt, entry, c);
    }
    if (const auto cross = j.find("cross_run"); cross != j.end() && cross->is_object() && cross->contains("note")) {
      c.cross_run = to_value(*cross);
      if (const auto undo = cross->find("correction"); undo != cross->end() && undo->is_string())
        c.cross_correction = undo->get<std::string>();
    }
    if (const auto repair = j.find("repair"); repair != j.end() && repair->is_object())
      for (const char* key : {"bvec", "bval", "grad", "provenance"}) {
        const auto p = repair->find(key);
        if (p != repair->end() && p->is_string()) c.repair_outputs.push_back(path_of(*p));
      }
  } catch (const Json::exception& ex) {
    throw Failure(std::string("invalid run entry: ") + ex.what());
  }
  return c;
}

void add_context(json::Value& report, const RunContext& context, const Verdict& verdict) {
  report.set("source", context.source);
  if (!member(report, "notes")) report.set("notes", json::Value::array());
  json::Value& notes = *member(report, "notes");
  if (context.mask) {
    report.set("mask", *context.mask);
    notes.push(context.mask_note);
  }
  if (context.cross_run) {
    // A new record, so the plan's note stays as the plan gave it.
    json::Value cross = json::Value::object();
    for (const auto& [key, value] : context.cross_run->as_object()) {
      if (key != "note") {
        cross.set(key, value);
        continue;
      }
      const std::string note = cross_run::with_verdict(std::get<std::string>(value.storage()),
                                                       context.cross_correction, verdict.status,
                                                       verdict.recommended_label);
      cross.set(key, note);
      notes.push(note);
    }
    report.set("cross_run", std::move(cross));
  }
  if (context.repair_outputs.empty()) return;
  json::Value written = json::Value::array();
  for (const std::string& path : context.repair_outputs) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) written.push(display_path(relative(path, context.out_dir)));
  }
  report.set("written_tables", std::move(written));
}

}  // namespace tarvix::bids_batch
