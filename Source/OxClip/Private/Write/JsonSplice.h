#pragma once

// Byte ranges of the values in a JSON text, for edits that keep every other byte as it was (numbers
// beyond double precision, duplicate keys, the writer's spacing). One pass over the text; the text
// is expected to be valid JSON (parsed before), and malformed text throws std::invalid_argument.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace oxr {

struct JsonSpan {
  std::size_t begin = 0;  // first byte of the value
  std::size_t end = 0;    // one past its last byte
};

struct JsonMember {
  std::string key;     // decoded
  std::size_t key_at;  // the key's opening quote
  JsonSpan value;
};

// The value that starts at `at` or after the blanks there.
JsonSpan json_value(std::string_view text, std::size_t at);
// The members of an object, in text order; empty when the span is not an object.
std::vector<JsonMember> json_members(std::string_view text, JsonSpan object);
// The elements of an array; empty when the span is not an array.
std::vector<JsonSpan> json_elements(std::string_view text, JsonSpan array);
// The member a reader takes for `key` (the last of duplicates); nullptr when there is none.
const JsonMember* json_find(const std::vector<JsonMember>& members, std::string_view key);

// Replaces [begin, end) with `text`; an insertion has begin == end.
struct JsonEdit {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string text;
};
// The text with the edits made; edits must not overlap.
std::string apply_json_edits(std::string_view text, std::vector<JsonEdit> edits);

// Edits that add `items` (JSON texts) at the end of an array, or add the member `"key": [items]`
// to `object` when it lacks the key or its value is not an array.
void append_to_array(std::string_view text, JsonSpan object, std::string_view key,
                     const std::vector<std::string>& items, std::vector<JsonEdit>& edits);

}  // namespace oxr
