#include "json.hpp"

#include <cmath>
#include <cstdio>

#include "format.hpp"

namespace tarvix::json {

Value& Value::set(std::string key, Value value) {
  as_object().emplace_back(std::move(key), std::move(value));
  return *this;
}

Value& Value::push(Value value) {
  std::get<std::shared_ptr<Array>>(v_)->push_back(std::move(value));
  return *this;
}

Value vec3(const Vec3& v) { return Value(Array{Value(v[0]), Value(v[1]), Value(v[2])}); }

Value mat3(const Mat3& m) { return Value(Array{vec3(m[0]), vec3(m[1]), vec3(m[2])}); }

Value reals(const std::vector<double>& xs) {
  Array a;
  a.reserve(xs.size());
  for (double x : xs) a.emplace_back(x);
  return Value(std::move(a));
}

Value counts(const std::vector<std::uint64_t>& xs) {
  Array a;
  a.reserve(xs.size());
  for (auto x : xs) a.emplace_back(x);
  return Value(std::move(a));
}

Value strings(const std::vector<std::string>& xs) {
  Array a;
  a.reserve(xs.size());
  for (const auto& x : xs) a.emplace_back(x);
  return Value(std::move(a));
}

void append_string(std::string& out, const std::string& s) {
  out.push_back('"');
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
}

namespace {

void newline(std::string& out, int depth) {
  out.push_back('\n');
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void write(std::string& out, const Value& v, bool pretty, int depth) {
  struct Visitor {
    std::string& out;
    bool pretty;
    int depth;
    void operator()(std::nullptr_t) const { out += "null"; }
    void operator()(bool b) const { out += b ? "true" : "false"; }
    void operator()(double d) const {
      if (std::isfinite(d))
        out += format_json_real(d);
      else
        out += "null";
    }
    void operator()(std::uint64_t u) const { out += std::to_string(u); }
    void operator()(std::int64_t i) const { out += std::to_string(i); }
    void operator()(const std::string& s) const { append_string(out, s); }
    void operator()(const std::shared_ptr<Array>& a) const {
      if (a->empty()) {
        out += "[]";
        return;
      }
      out.push_back('[');
      bool first = true;
      for (const auto& e : *a) {
        if (!first) out.push_back(',');
        first = false;
        if (pretty) newline(out, depth + 1);
        write(out, e, pretty, depth + 1);
      }
      if (pretty) newline(out, depth);
      out.push_back(']');
    }
    void operator()(const std::shared_ptr<Object>& o) const {
      if (o->empty()) {
        out += "{}";
        return;
      }
      out.push_back('{');
      bool first = true;
      for (const auto& [k, e] : *o) {
        if (!first) out.push_back(',');
        first = false;
        if (pretty) newline(out, depth + 1);
        append_string(out, k);
        out += pretty ? ": " : ":";
        write(out, e, pretty, depth + 1);
      }
      if (pretty) newline(out, depth);
      out.push_back('}');
    }
  };
  std::visit(Visitor{out, pretty, depth}, v.storage());
}

}  // namespace

std::string dump(const Value& value, bool pretty) {
  std::string out;
  write(out, value, pretty, 0);
  return out;
}

}  // namespace tarvix::json
