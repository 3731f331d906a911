#include "Batch.h"

#include "Errors.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

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
  report.outcomes.resize(batch.size());
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].skip) {
      report.outcomes[i].status = "skipped";
    } else {
      todo.push_back(i);
    }
  }
  std::atomic<std::size_t> next{0};
  std::size_t done = 0;
  std::mutex progress_mutex;

  const auto worker = [&] {
    Solver solver;
    for (std::size_t k = next++; k < todo.size(); k = next++) {
      const std::size_t i = todo[k];
      FileOutcome& outcome = report.outcomes[i];
      const auto began = std::chrono::steady_clock::now();
      try {
        FileResult result = retarget_file(batch[i].input, batch[i].output, options, solver);
        outcome.status = "ok";
        outcome.frames = result.frames;
        outcome.warnings = std::move(result.warnings);
        outcome.feet = result.feet;
      } catch (const ToolError& error) {
        outcome.status = "failed";
        outcome.error = command_line_text(error);
      } catch (const std::bad_alloc&) {
        // A clip too large for this machine fails alone; the batch goes on.
        outcome.status = "failed";
        outcome.error = batch[i].input.string() + ": out of memory";
      } catch (const std::exception& error) {
        outcome.status = "failed";
        outcome.error = batch[i].input.string() + ": " + error.what();
      }
      outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      if (show_progress) {
        const std::lock_guard<std::mutex> lock(progress_mutex);
        draw_progress(++done, todo.size());
      }
    }
  };

  const int threads = std::max(1, std::min<int>(jobs, static_cast<int>(todo.size())));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& thread : pool) thread.join();

  for (const FileOutcome& outcome : report.outcomes) {
    if (outcome.status == "ok") {
      ++report.files_ok;
      report.frames += outcome.frames;
    } else if (outcome.status == "failed") {
      ++report.files_failed;
    } else {
      ++report.files_skipped;
    }
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return report;
}

std::string report_lines(const std::vector<BatchJob>& batch, const BatchReport& report) {
  std::string text;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const FileOutcome& outcome = report.outcomes[i];
    nlohmann::ordered_json line;
    line["input"] = batch[i].input.string();
    line["output"] = batch[i].output.string();
    line["status"] = outcome.status;
    line["frames"] = outcome.frames;
    line["seconds"] = outcome.seconds;
    line["error"] = outcome.error;
    nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
    for (const QaWarning& warning : outcome.warnings) {
      nlohmann::ordered_json item;
      item["kind"] = warning.kind;
      item["bone"] = warning.bone;
      item["first_frame"] = warning.first_frame;
      item["last_frame"] = warning.last_frame;
      item["frames"] = warning.frames;
      item["value"] = warning.value ? nlohmann::ordered_json(*warning.value) : nlohmann::ordered_json(nullptr);
      item["text"] = warning_text(warning, &command_line_spelling);
      warnings.push_back(std::move(item));
    }
    line["warnings"] = std::move(warnings);
    if (outcome.feet.measured) {
      const auto figures = [](const FootFigures& f) {
        return nlohmann::ordered_json{{"contact_frames", f.contact_frames},
                                      {"slide_cm_per_contact_frame", f.slide_cm},
                                      {"worst_slide_cm", f.worst_slide_cm},
                                      {"penetration_cm_per_contact_frame", f.penetration_cm},
                                      {"worst_penetration_cm", f.worst_penetration_cm}};
      };
      line["feet"] = {{"source", figures(outcome.feet.source)}, {"result", figures(outcome.feet.result)}};
    }
    text += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  }
  return text;
}

}  // namespace oxr
