#pragma once

#include "Retarget.h"

#include <filesystem>
#include <string>
#include <vector>

namespace oxr {

struct BatchJob {
  std::filesystem::path input;
  std::filesystem::path output;
  bool skip = false;  // its result is already there (--resume)
};

// What became of one input, as the report lists it.
struct FileOutcome {
  std::string status;  // "ok", "failed" or "skipped"
  std::int64_t frames = 0;
  double seconds = 0;
  std::string error;  // one line, naming the file
  std::vector<QaWarning> warnings;
  FootReport feet;
};

struct BatchReport {
  int files_ok = 0;
  int files_failed = 0;
  int files_skipped = 0;
  std::int64_t frames = 0;
  double seconds = 0;
  std::vector<FileOutcome> outcomes;  // one per job, in job order
};

// Retargets every job not marked skip on up to `jobs` worker threads, one retargeter per worker. A
// failing file is reported and the others go on. With show_progress, a progress bar is drawn on
// standard error.
BatchReport run_batch(const std::vector<BatchJob>& batch, const RetargetOptions& options, int jobs, bool show_progress);

// The report as JSON lines: input, output, status, frames, seconds, error, warnings (each an object:
// kind, bone, first_frame, last_frame, frames, value, text), and (when the source has feet) feet:
// source and result slide and ground penetration.
std::string report_lines(const std::vector<BatchJob>& batch, const BatchReport& report);

}  // namespace oxr
