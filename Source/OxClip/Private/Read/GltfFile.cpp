#include "GltfFile.h"

#include "ToolError.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <system_error>

#include <sys/stat.h>

namespace oxr {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kJsonChunk = 0x4E4F534A;  // "JSON"
constexpr std::uint32_t kBinChunk = 0x004E4942;   // "BIN\0"

std::uint32_t read_u32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// What the loader's file callbacks saw: the files read and the first problem, in our words.
struct Reads {
  std::string base;  // the file's folder, absolute, with a trailing '/'
  std::vector<fs::path> files;
  std::string problem;
};

// A reference is resolved against the file's folder only (the loader would also try the working
// folder); an absolute one thus names nothing.
bool file_exists(const std::string& path, void* user) {
  const auto& reads = *static_cast<const Reads*>(user);
  struct stat status {};
  return path.rfind(reads.base, 0) == 0 && ::stat(path.c_str(), &status) == 0;
}

std::string same_path(const std::string& path, void*) { return path; }

bool read_whole_file(std::vector<unsigned char>* out, std::string* error, const std::string& path, void* user) {
  auto& reads = *static_cast<Reads*>(user);
  const std::string name = path.rfind(reads.base, 0) == 0 ? path.substr(reads.base.size()) : path;
  struct stat status {};
  std::string problem;
  if (::stat(path.c_str(), &status) != 0) {
    problem = "cannot open '" + name + "': " + std::strerror(errno);
  } else if (S_ISDIR(status.st_mode)) {
    problem = "'" + name + "' is a directory, not a buffer or an image";
  } else if (!S_ISREG(status.st_mode)) {
    problem = "'" + name + "' is not a regular file";
  } else {
    std::ifstream in(path, std::ios::binary);
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.eof() && !in) problem = "cannot read '" + name + "'";
  }
  if (!problem.empty()) {
    if (reads.problem.empty()) reads.problem = problem;
    *error = problem;
    return false;
  }
  reads.files.emplace_back(path);
  return true;
}

bool write_nothing(std::string*, const std::string&, const std::vector<unsigned char>&, void*) { return false; }

// Images are kept as the file has them: nothing is decoded, whatever the format.
bool keep_image(tinygltf::Image*, const int, std::string*, std::string*, int, int, const unsigned char*, int, void*) {
  return true;
}

// The loader's first complaint, after our own words.
std::string loader_problem(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
  return line.empty() ? std::string("not a valid glTF 2.0 file") : "not a valid glTF 2.0 file (" + line + ")";
}

}  // namespace

void check_json_depth(std::string_view text, std::size_t limit, const std::string& file) {
  std::size_t depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        throw ToolError(file, "its JSON is nested deeper than " + std::to_string(limit) + " levels");
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

GltfFile read_gltf(const fs::path& path, std::string_view what) {
  const std::string name = path.string();
  std::error_code error;
  const auto status = fs::status(path, error);
  if (error || !fs::exists(status)) throw ToolError(name, "cannot open: no such file");
  if (fs::is_directory(status)) throw ToolError(name, "is a directory, not a " + std::string(what));
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError(name, "cannot open: " + std::string(std::strerror(errno)));
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (bytes.size() >= std::numeric_limits<std::uint32_t>::max()) throw ToolError(name, "is larger than 4 GiB");

  GltfFile file;
  file.binary = bytes.size() >= 4 && bytes.compare(0, 4, "glTF") == 0;
  if (file.binary) {
    const std::size_t json_length = read_u32(bytes, 12);
    if (read_u32(bytes, 16) == kJsonChunk && 20 + json_length <= bytes.size()) {
      file.json = bytes.substr(20, json_length);
      const std::size_t bin_at = 20 + json_length;
      if (bin_at + 8 <= bytes.size() && read_u32(bytes, bin_at + 4) == kBinChunk) {
        file.bin = bytes.substr(bin_at + 8, read_u32(bytes, bin_at));
      }
    }
  } else {
    file.json = bytes;
  }
  check_json_depth(file.json, kGltfMaxDepth, name);

  Reads reads;
  const std::string folder = fs::absolute(path, error).parent_path().string();
  reads.base = folder.back() == '/' ? folder : folder + "/";
  tinygltf::TinyGLTF loader;
  loader.SetImageLoader(keep_image, nullptr);
  loader.SetFsCallbacks({&file_exists, &same_path, &read_whole_file, &write_nothing, &reads});
  std::string load_error, warning;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto size = static_cast<unsigned int>(bytes.size());
  bool loaded = false;
  try {
    loaded = file.binary ? loader.LoadBinaryFromMemory(&file.model, &load_error, &warning, data, size, folder)
                         : loader.LoadASCIIFromString(&file.model, &load_error, &warning, bytes.data(), size, folder);
  } catch (const std::exception&) {
    // The loader checks some indices by throwing (a binary chunk its buffers do not describe).
    throw ToolError(
        name, "cannot read " + std::string(what) + ": " + loader_problem("its buffers and binary chunk disagree"));
  }
  if (!loaded) {
    throw ToolError(name, "cannot read " + std::string(what) + ": " +
                              (reads.problem.empty() ? loader_problem(load_error) : reads.problem));
  }
  file.files = std::move(reads.files);
  return file;
}

}  // namespace oxr
