#pragma once

// The names the error had before it was one type. Each is oxr::Error; UsageError and OutputError
// only choose its kind.

#include "Error.h"

#include <cstdint>
#include <string>
#include <utility>

namespace oxr {

using ToolError = Error;

// An Error of one kind that keeps its type through the setters, so that
// `throw UsageError(...).of_option(...)` throws a UsageError.
template <ErrorKind K>
class KindedError : public Error {
 public:
  explicit KindedError(std::string message) : Error(std::move(message), K) {}
  KindedError(std::string file, std::string message) : Error(std::move(file), std::move(message), K) {}
  // The same facts, as an error of this kind (a file an option names could not be read: a usage error).
  explicit KindedError(Error error) : Error(std::move(error)) { of_kind(K); }

  KindedError& in_file(const std::string& file) {
    Error::in_file(file);
    return *this;
  }
  KindedError& at_line(std::int64_t line) {
    Error::at_line(line);
    return *this;
  }
  KindedError& at_frame(std::int64_t frame) {
    Error::at_frame(frame);
    return *this;
  }
  KindedError& of_option(std::string option, std::string value = {}) {
    Error::of_option(std::move(option), std::move(value));
    return *this;
  }
};

// A wrong argument or a plan that cannot work: Error of kind Usage.
using UsageError = KindedError<ErrorKind::Usage>;

// A failure to write an output file: Error of kind Output.
using OutputError = KindedError<ErrorKind::Output>;

}  // namespace oxr
