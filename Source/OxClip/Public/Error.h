#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace oxr {

// What an error is about, which picks how a front end reports it: a file that could not be read or
// done (the tool's exit status 1), a wrong option or plan, nothing done yet (status 2), an output
// that could not be written (status 1).
enum class ErrorKind : std::uint8_t { File, Usage, Output };

// A name from a file as messages show it: control characters (ESC, BEL, newlines, NUL) as '?', and
// cut to 64 bytes with "..." after. Error texts pass through the same masking as a whole.
std::string shown_name(std::string_view name);

// An option spelled by a front end: the command line's "--end 9", Python's "end=9".
using OptionSpelling = std::string (*)(std::string_view option, std::string_view value);

// A way out a message suggests: an option (its name in the option table) and what its value is,
// led by words ("name its joints with", "map", "FILE"). Each front end spells the option its way.
struct OptionHint {
  std::string lead;
  std::string option;  // empty: no hint
  std::string value;

  // "; LEAD OPTION", the option spelled by spell; empty without an option.
  std::string text(OptionSpelling spell) const;
};

// The one error of the BVH reader, the pipeline and its front ends, as data: kind, file, line (the
// reader's), frame (the pipeline's), option (its name in the option table) and the problem. It
// prints as one line, "FILE: [line N: |frame N: ][OPTION ]problem", with no control characters
// (they show as '?') and at most 4096 bytes. The file is named once, by the
// layer that knows it (in_file), however many layers the error passes through; no layer pastes a
// place into the problem's text.
class Error : public std::exception {
 public:
  using Kind = ErrorKind;

  // A problem whose text may already begin with "FILE: "; in_file() then keeps that file.
  explicit Error(std::string message, Kind kind = Kind::File);
  Error(std::string file, std::string message, Kind kind = Kind::File);

  const char* what() const noexcept override { return text_.c_str(); }
  Kind kind() const noexcept { return kind_; }
  const std::string& file() const noexcept { return file_; }
  const std::string& message() const noexcept { return message_; }
  std::int64_t line() const noexcept { return line_; }    // 1-based; 0: not tied to a line
  std::int64_t frame() const noexcept { return frame_; }  // 0-based; -1: not tied to a frame
  // The option whose value is wrong ("end") and that value as given ("9"); empty when the problem
  // is not an option's, or (the value) when it is the option's as a whole.
  const std::string& option() const noexcept { return option_; }
  const std::string& option_value() const noexcept { return option_value_; }

  // A way out the error suggests, printed after the problem; none when its option is empty.
  const OptionHint& hint() const noexcept { return hint_; }

  // The line with the options spelled by `spell` (the command line's "--end 9", Python's "end=9"),
  // the hint's by `spell_hint` when given (a front end may point further there); what() spells
  // them NAME=VALUE.
  using OptionSpelling = oxr::OptionSpelling;
  std::string text(OptionSpelling spell, OptionSpelling spell_hint = nullptr) const;

  // Each fills its field and returns the error, to be thrown or rethrown. in_file names the file
  // unless the error names one already or is an output's (which names the output).
  Error& in_file(const std::string& file);
  Error& at_line(std::int64_t line);
  Error& at_frame(std::int64_t frame);
  Error& of_option(std::string option, std::string value = {});
  Error& with_hint(std::string lead, std::string option, std::string value = {});
  Error& of_kind(Kind kind);

 private:
  void compose();

  Kind kind_ = Kind::File;
  std::string file_;
  std::string message_;
  std::int64_t line_ = 0;
  std::int64_t frame_ = -1;
  std::string option_;
  std::string option_value_;
  OptionHint hint_;
  std::string text_;
};

}  // namespace oxr
