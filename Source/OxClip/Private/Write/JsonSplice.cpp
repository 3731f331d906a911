#include "JsonSplice.h"

#include <algorithm>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace oxr {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

[[noreturn]] void malformed() { throw std::invalid_argument("malformed JSON"); }

std::size_t skip_blanks(std::string_view text, std::size_t at) {
  // A byte order mark may open the text.
  if (at == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
  while (at < text.size() && blank(text[at])) ++at;
  return at;
}

// One past the string that opens at `at`.
std::size_t skip_string(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  malformed();
}

std::string decode_key(std::string_view quoted) {
  if (quoted.find('\\') == std::string_view::npos) return std::string(quoted.substr(1, quoted.size() - 2));
  try {
    return nlohmann::json::parse(quoted).get<std::string>();
  } catch (const nlohmann::json::exception&) {
    malformed();
  }
}

}  // namespace

JsonSpan json_value(std::string_view text, std::size_t at) {
  at = skip_blanks(text, at);
  if (at >= text.size()) malformed();
  const char first = text[at];
  if (first == '"') return {at, skip_string(text, at)};
  if (first != '[' && first != '{') {
    std::size_t end = at;
    while (end < text.size() && !blank(text[end]) && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
    return {at, end};
  }
  // Brackets counted, strings skipped: no recursion, whatever the depth.
  std::size_t depth = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      i = skip_string(text, i) - 1;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      return {at, i + 1};
    }
  }
  malformed();
}

std::vector<JsonMember> json_members(std::string_view text, JsonSpan object) {
  std::vector<JsonMember> members;
  if (object.end <= object.begin || text[object.begin] != '{') return members;
  std::size_t at = skip_blanks(text, object.begin + 1);
  while (at < object.end && text[at] != '}') {
    if (text[at] != '"') malformed();
    JsonMember member;
    member.key_at = at;
    const std::size_t key_end = skip_string(text, at);
    member.key = decode_key(text.substr(at, key_end - at));
    at = skip_blanks(text, key_end);
    if (at >= object.end || text[at] != ':') malformed();
    member.value = json_value(text, at + 1);
    at = skip_blanks(text, member.value.end);
    if (at < object.end && text[at] == ',') at = skip_blanks(text, at + 1);
    members.push_back(std::move(member));
  }
  return members;
}

std::vector<JsonSpan> json_elements(std::string_view text, JsonSpan array) {
  std::vector<JsonSpan> elements;
  if (array.end <= array.begin || text[array.begin] != '[') return elements;
  std::size_t at = skip_blanks(text, array.begin + 1);
  while (at < array.end && text[at] != ']') {
    elements.push_back(json_value(text, at));
    at = skip_blanks(text, elements.back().end);
    if (at < array.end && text[at] == ',') at = skip_blanks(text, at + 1);
  }
  return elements;
}

const JsonMember* json_find(const std::vector<JsonMember>& members, std::string_view key) {
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (it->key == key) return &*it;
  }
  return nullptr;
}

std::string apply_json_edits(std::string_view text, std::vector<JsonEdit> edits) {
  std::stable_sort(edits.begin(), edits.end(), [](const JsonEdit& a, const JsonEdit& b) { return a.begin < b.begin; });
  std::size_t size = text.size();
  for (const JsonEdit& edit : edits) size += edit.text.size();
  std::string out;
  out.reserve(size);
  std::size_t at = 0;
  for (const JsonEdit& edit : edits) {
    if (edit.begin < at || edit.end < edit.begin || edit.end > text.size()) throw std::logic_error("overlapping edits");
    out.append(text.substr(at, edit.begin - at));
    out += edit.text;
    at = edit.end;
  }
  out.append(text.substr(at));
  return out;
}

void append_to_array(std::string_view text, JsonSpan object, std::string_view key,
                     const std::vector<std::string>& items, std::vector<JsonEdit>& edits) {
  std::string joined;
  for (const std::string& item : items) {
    if (!joined.empty()) joined += ',';
    joined += item;
  }
  const std::vector<JsonMember> members = json_members(text, object);
  const JsonMember* member = json_find(members, key);
  if (member != nullptr && text[member->value.begin] == '[') {
    const bool empty = json_elements(text, member->value).empty();
    const std::size_t close = member->value.end - 1;
    edits.push_back({close, close, (empty ? "" : ",") + joined});
  } else if (member != nullptr) {
    edits.push_back({member->value.begin, member->value.end, "[" + joined + "]"});
  } else {
    const std::size_t close = object.end - 1;
    edits.push_back(
        {close, close, std::string(members.empty() ? "" : ",") + "\"" + std::string(key) + "\":[" + joined + "]"});
  }
}

}  // namespace oxr
