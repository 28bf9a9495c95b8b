#include "report.hpp"

#include <chrono>
#include <cstdio>

namespace tarvix {

namespace {

// Formats a UTC time point; empty when the year does not fit four digits.
std::string format_rfc3339(std::chrono::system_clock::time_point now) {
  using namespace std::chrono;
  const auto ns_total = time_point_cast<nanoseconds>(now);
  const auto day = floor<days>(ns_total);
  const year_month_day ymd{day};
  const int y = static_cast<int>(ymd.year());
  if (y < 0 || y > 9999) return {};
  const hh_mm_ss<nanoseconds> tod{ns_total - day};

  char buf[64];
  int len = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", y, static_cast<unsigned>(ymd.month()),
                          static_cast<unsigned>(ymd.day()), static_cast<int>(tod.hours().count()),
                          static_cast<int>(tod.minutes().count()), static_cast<int>(tod.seconds().count()));
  std::string out(buf, static_cast<std::size_t>(len));
  long long frac = tod.subseconds().count();
  if (frac != 0) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09lld", frac);
    std::string f(digits);
    while (!f.empty() && f.back() == '0') f.pop_back();
    out += '.';
    out += f;
  }
  out += 'Z';
  return out;
}

}  // namespace

std::string rfc3339_at(std::chrono::system_clock::time_point t) { return format_rfc3339(t); }

std::string rfc3339_now() { return format_rfc3339(std::chrono::system_clock::now()); }

json::Value SchemeTable::to_json() const {
  json::Array dirs;
  dirs.reserve(directions.size());
  for (const auto& d : directions) dirs.push_back(json::vec3(d));
  return json::Value(json::Object{{"directions", json::Value(std::move(dirs))}, {"bvals", json::reals(bvals)}});
}

json::Value RepairInfo::to_json() const {
  return json::Value(json::Object{
      {"matrix", json::mat3(matrix)},
      {"label", label},
      {"outputs", json::strings(outputs)},
  });
}

Report Report::make(SchemeTable scheme) {
  Report r;
  r.timestamp = rfc3339_now();
  r.scheme = std::move(scheme);
  return r;
}

json::Value Report::to_json() const {
  json::Value out = json::Value::object();
  out.set("schema_version", static_cast<std::uint64_t>(schema_version));
  out.set("tool", tool);
  out.set("tool_version", tool_version);
  out.set("timestamp", timestamp);
  out.set("status", status_text(status));
  json::Array input_list;
  input_list.reserve(inputs.size());
  for (const auto& f : inputs) input_list.push_back(f.to_json());
  out.set("inputs", json::Value(std::move(input_list)));
  out.set("scheme", scheme.to_json());
  // Absent sections are left out entirely rather than written as null.
  if (shells) out.set("shells", shells->to_json());
  if (b0_drift) out.set("b0_drift", b0_drift->to_json());
  if (angular) out.set("angular", angular->to_json());
  if (flip) out.set("flip", flip->to_json());
  if (repair) out.set("repair", repair->to_json());
  if (norm_stats) out.set("norm_stats", norm_stats->to_json());
  out.set("notes", json::strings(notes));
  return out;
}

std::string Report::to_json_text(bool pretty) const { return json::dump(to_json(), pretty); }

}  // namespace tarvix
