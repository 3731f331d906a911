// Map files (--map): a JSON object of file joint -> source bone, read in one pass.

#include "Recognition.h"
#include "ToolError.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unordered_set>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

namespace fs = std::filesystem;

// Takes the pairs in file order as the parser meets them: linear in the file whatever the number of
// keys, and nothing nests (a value is a name or null).
class MapReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit MapReader(const std::string& path) : path_(path) {}

  JointMap map;
  std::string problem;

  bool start_object(std::size_t) override {
    if (depth_++ == 0) return true;
    return refuse_value("an object");
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool key(string_t& key) override {
    if (!keys_.insert(key).second) {
      problem = "joint \"" + shown_name(key) + "\" is listed twice";
      return false;
    }
    key_ = std::move(key);
    return true;
  }
  bool null() override { return take(""); }
  bool string(string_t& value) override { return take(std::move(value)); }
  bool boolean(bool) override { return refuse_value("true or false"); }
  bool number_integer(number_integer_t) override { return refuse_value("a number"); }
  bool number_unsigned(number_unsigned_t) override { return refuse_value("a number"); }
  bool number_float(number_float_t, const string_t&) override { return refuse_value("a number"); }
  bool binary(binary_t&) override { return refuse_value("binary data"); }
  bool start_array(std::size_t) override { return refuse_value("an array"); }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception&) override {
    problem = "not a JSON map file: malformed JSON at byte " + std::to_string(position);
    return false;
  }

 private:
  bool take(std::string bone) {
    if (depth_ != 1) return refuse_value("a name");
    map.emplace_back(std::move(key_), std::move(bone));
    return true;
  }
  bool refuse_value(const char* what) {
    problem = depth_ == 0 ? std::string("a map file is a JSON object of file joint -> source bone")
                          : "joint \"" + shown_name(key_) +
                                "\": the source bone must be a name (a string) or null, not " + what;
    return false;
  }

  std::string path_;
  std::unordered_set<std::string> keys_;
  std::string key_;
  int depth_ = 0;
};

}  // namespace

JointMap read_joint_map(const std::string& path) {
  std::error_code error;
  const auto status = fs::status(path, error);
  if (error || !fs::exists(status)) throw Error(path, "cannot open map file: no such file");
  if (fs::is_directory(status)) throw Error(path, "is a directory, not a map file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path, "cannot open map file");
  MapReader reader(path);
  const bool read = nlohmann::json::sax_parse(in, &reader);
  if (!read || !reader.problem.empty()) {
    throw Error(path, reader.problem.empty() ? std::string("not a JSON map file") : reader.problem);
  }
  return std::move(reader.map);
}

}  // namespace oxr
