// One-shot gzip of a byte string with ISA-L, for writing .nii.gz test images.
#pragma once

#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>

#include <cstdint>
#include <string>

inline std::string gzip(const std::string& plain) {
  isal_zstream zs;
  isal_deflate_init(&zs);
  zs.gzip_flag = IGZIP_GZIP;
  zs.end_of_stream = 1;
  std::string out(plain.size() + plain.size() / 2 + 1024, '\0');
  zs.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(plain.data()));
  zs.avail_in = static_cast<uint32_t>(plain.size());
  zs.next_out = reinterpret_cast<uint8_t*>(out.data());
  zs.avail_out = static_cast<uint32_t>(out.size());
  EXPECT_EQ(isal_deflate(&zs), COMP_OK);
  EXPECT_EQ(zs.internal_state.state, ZSTATE_END);
  out.resize(zs.total_out);
  return out;
}
