// Runs the built command-line tool as a child process, each test in a fresh temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tool_test {

namespace fs = std::filesystem;

// True in a build under a sanitizer that reserves shadow memory (address, thread, memory), however
// it was turned on: limits on the tool's address space or resident memory mean nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(OX_SANITIZED_BUILD)
inline constexpr bool kShadowMemorySanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
inline constexpr bool kShadowMemorySanitizer = true;
#else
inline constexpr bool kShadowMemorySanitizer = false;
#endif
#else
inline constexpr bool kShadowMemorySanitizer = false;
#endif

struct Outcome {
  int status = -1;  // exit status, -1 if killed by a signal
  std::string out;
  std::string err;
  long peak_kib = 0;         // the child's peak resident memory
  double cpu_seconds = 0;    // the child's processor time, user and system
};

inline std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_text(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::vector<std::string> entries_of(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A small clip: Hips (6 channels) and Spine (3), `declared` frames in the header, `rows` data lines.
// Lines: 1 HIERARCHY, 5 and 9 the CHANNELS, 10 End Site, 16 MOTION, 17 Frames, 18 Frame Time, 19 on rows.
inline std::string small_clip(int declared, int rows, const std::string& row = "0 90 0 10 20 30 -5 15 25") {
  std::string text =
      "HIERARCHY\nROOT Hips\n{\n  OFFSET 0 0 0\n  CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation "
      "Yrotation\n"
      "  JOINT Spine\n  {\n    OFFSET 0 10 0\n    CHANNELS 3 Zrotation Xrotation Yrotation\n"
      "    End Site\n    {\n      OFFSET 0 10 0\n    }\n  }\n}\nMOTION\n";
  text += "Frames: " + std::to_string(declared) + "\nFrame Time: 0.033333\n";
  for (int i = 0; i < rows; ++i) text += row + "\n";
  return text;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "oxretarget-e2e-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }

  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(root_, ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
  }

  // Starts the tool in the test's folder, its output streams captured in files there; max_file_bytes > 0
  // caps the size of any file the child writes, max_memory_bytes > 0 its address space.
  pid_t start(const std::vector<std::string>& args, std::uint64_t max_file_bytes = 0,
              std::uint64_t max_memory_bytes = 0) const {
    const std::string out_file = (root_ / ".stdout").string();
    const std::string err_file = (root_ / ".stderr").string();
    std::vector<std::string> words{OXRETARGET_TOOL};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
      const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (::chdir(root_.c_str()) != 0 || out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
      if (max_file_bytes > 0) {
        // Writes past the cap then fail with EFBIG instead of raising a signal.
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit cap{max_file_bytes, max_file_bytes};
        if (::setrlimit(RLIMIT_FSIZE, &cap) != 0) ::_exit(126);
      }
      if (max_memory_bytes > 0) {
        const rlimit cap{max_memory_bytes, max_memory_bytes};
        if (::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(126);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  // Runs the tool in the test's folder and waits for it.
  Outcome run(const std::vector<std::string>& args, std::uint64_t max_file_bytes = 0,
              std::uint64_t max_memory_bytes = 0) const {
    const pid_t pid = start(args, max_file_bytes, max_memory_bytes);
    Outcome result;
    int status = 0;
    rusage usage{};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.peak_kib = usage.ru_maxrss;
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_usec); };
    result.cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    result.out = read_text(root_ / ".stdout");
    result.err = read_text(root_ / ".stderr");
    return result;
  }

  fs::path make_dir(const std::string& name) const {
    fs::create_directories(root_ / name);
    return root_ / name;
  }

  fs::path root_;
};

}  // namespace tool_test
