#pragma once

#include "Retarget.h"

#include <filesystem>
#include <string>
#include <vector>

namespace oxr {

struct BatchJob {
  std::filesystem::path input;
  std::filesystem::path output;
};

struct BatchReport {
  int files_ok = 0;
  std::int64_t frames = 0;
  double seconds = 0;
  std::vector<std::string> errors;  // one line each, naming the file
};

// Retargets every job on up to `jobs` worker threads, one retargeter per worker. A failing file is
// reported and skipped. With show_progress, a progress bar is drawn on standard error.
BatchReport run_batch(const std::vector<BatchJob>& batch, const RetargetOptions& options, int jobs, bool show_progress);

}  // namespace oxr
