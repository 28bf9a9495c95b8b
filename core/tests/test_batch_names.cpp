#include <gtest/gtest.h>

#include "bids_batch.hpp"

using namespace tarvix;

namespace {

DwiEntry entry(const std::string& dwi) {
  DwiEntry e;
  e.dwi = dwi;
  e.base = dwi.substr(0, dwi.find(".nii"));
  return e;
}

// The module keeps the file's name; the engine's batches add a session that
// only the folder gives, where BIDS puts it.
TEST(BatchNames, SessionFromTheFolderGoesIntoTheName) {
  const struct {
    const char *dwi, *file_name, *session_name;
  } cases[] = {
      {"/d/sub-01/ses-1/dwi/sub-01_dwi.nii.gz", "sub-01_dwi", "sub-01_ses-1_dwi"},
      {"/d/sub-01/ses-2/dwi/sub-01_acq-b_dwi.nii", "sub-01_acq-b_dwi", "sub-01_ses-2_acq-b_dwi"},
      {"/d/ses-pre/scan_dwi.nii.gz", "scan_dwi", "ses-pre_scan_dwi"},
      // A folder named like an entity with more after it is no session.
      {"/d/sub-01/ses-1_old/dwi/sub-01_dwi.nii.gz", "sub-01_dwi", "sub-01_dwi"},
      // Only folders count, not the file's own name.
      {"/d/ses-1_dwi.nii.gz", "ses-1_dwi", "ses-1_dwi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dwi);
    EXPECT_EQ(bids_batch::run_name(entry(c.dwi), bids_batch::Naming::File), c.file_name);
    EXPECT_EQ(bids_batch::run_name(entry(c.dwi), bids_batch::Naming::Session), c.session_name);
  }
}

}  // namespace
