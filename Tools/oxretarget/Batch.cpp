#include "Batch.h"

#include "ToolError.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "OxRetarget_KZ_UE.h"

namespace oxr {
namespace {

void draw_progress(std::size_t done, std::size_t total) {
  constexpr int kWidth = 30;
  const int filled = total == 0 ? kWidth : static_cast<int>(kWidth * done / total);
  std::fputs(fmt::format("\r[{}{}] {}/{} files", std::string(static_cast<std::size_t>(filled), '#'),
                         std::string(static_cast<std::size_t>(kWidth - filled), '.'), done, total)
                 .c_str(),
             stderr);
  if (done == total) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

BatchReport run_batch(const std::vector<BatchJob>& batch, const RetargetOptions& options, int jobs,
                      bool show_progress) {
  const auto start = std::chrono::steady_clock::now();
  BatchReport report;
  std::atomic<std::size_t> next{0};
  std::atomic<std::int64_t> frames{0};
  std::atomic<int> ok{0};
  std::size_t done = 0;
  std::vector<std::string> errors(batch.size());
  std::mutex progress_mutex;

  const auto worker = [&] {
    OxRetarget_KZ_UE retargeter;
    retargeter.init();
    for (std::size_t i = next++; i < batch.size(); i = next++) {
      try {
        frames += retarget_file(batch[i].input, batch[i].output, options, retargeter).frames;
        ++ok;
      } catch (const ToolError& error) {
        errors[i] = error.what();
      } catch (const std::exception& error) {
        errors[i] = batch[i].input.string() + ": " + error.what();
      }
      if (show_progress) {
        const std::lock_guard<std::mutex> lock(progress_mutex);
        draw_progress(++done, batch.size());
      }
    }
  };

  const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(batch.size())));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& thread : pool) thread.join();

  for (std::string& error : errors) {
    if (!error.empty()) report.errors.push_back(std::move(error));
  }
  report.files_ok = ok;
  report.frames = frames;
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

}  // namespace oxr
