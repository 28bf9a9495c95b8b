#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "format.hpp"
#include "json.hpp"

using namespace tarvix;

TEST(JsonReal, NotationBoundaries) {
  EXPECT_EQ(format_json_real(1000.0), "1000.0");
  EXPECT_EQ(format_json_real(0.00001), "0.00001");
  EXPECT_EQ(format_json_real(0.000001), "1e-6");
  EXPECT_EQ(format_json_real(1e15), "1000000000000000.0");
  EXPECT_EQ(format_json_real(1e16), "1e+16");
  EXPECT_EQ(format_json_real(-0.00000123), "-1.23e-6");
  EXPECT_EQ(format_json_real(1.5e-7), "1.5e-7");
  EXPECT_EQ(format_json_real(2.5e100), "2.5e+100");
  EXPECT_EQ(format_json_real(5e-324), "5e-324");
  EXPECT_EQ(format_json_real(0.1), "0.1");
  EXPECT_EQ(format_json_real(123.456), "123.456");
  EXPECT_EQ(format_json_real(0.0), "0.0");
  EXPECT_EQ(format_json_real(-2.0), "-2.0");
}

TEST(PlainNumbers, ShortestWithoutExponent) {
  EXPECT_EQ(format_plain(1000), "1000");
  EXPECT_EQ(format_plain(1000.5), "1000.5");
  EXPECT_EQ(format_plain(0.0001), "0.0001");
  EXPECT_EQ(format_plain(-0.0), "-0");
  EXPECT_EQ(format_plain(1e20), "100000000000000000000");
  EXPECT_EQ(format_plain(std::nan("")), "NaN");
  EXPECT_EQ(format_plain(-INFINITY), "-inf");
  EXPECT_EQ(format_component(-0.0), "0.000000");
  EXPECT_EQ(format_component(-1e-9), "-0.000000");
  EXPECT_EQ(format_component(-0.7071067811865476), "-0.707107");
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");  // exact tie goes to even
  EXPECT_EQ(format_fixed(2.5, 0), "2");
}

TEST(JsonDump, CompactAndPrettyLayouts) {
  json::Value v = json::Value::object();
  v.set("a", 1.0).set("b", json::Value::array()).set("c", json::Value(json::Array{json::Value(1), json::Value("x\"\n")}));
  v.set("d", std::nan(""));
  EXPECT_EQ(json::dump(v), R"({"a":1.0,"b":[],"c":[1,"x\"\n"],"d":null})");
  EXPECT_EQ(json::dump(v, true), "{\n  \"a\": 1.0,\n  \"b\": [],\n  \"c\": [\n    1,\n    \"x\\\"\\n\"\n  ],\n  \"d\": null\n}");
}
