#pragma once

// The names the error had before it was one type. Each is oxr::Error; UsageError and OutputError
// only choose its kind.

#include "Error.h"

#include <string>
#include <utility>

namespace oxr {

using ToolError = Error;

// A wrong argument or a plan that cannot work: Error of kind Usage.
class UsageError : public Error {
 public:
  explicit UsageError(std::string message) : Error(std::move(message), Kind::Usage) {}
  UsageError(std::string file, std::string message) : Error(std::move(file), std::move(message), Kind::Usage) {}
  // The same facts, as a usage error (a file an option names could not be read).
  explicit UsageError(Error error) : Error(std::move(error)) { of_kind(Kind::Usage); }
};

// A failure to write an output file: Error of kind Output.
class OutputError : public Error {
 public:
  explicit OutputError(std::string message) : Error(std::move(message), Kind::Output) {}
  OutputError(std::string file, std::string message) : Error(std::move(file), std::move(message), Kind::Output) {}
};

// The exit status an error ends a command with: 2 for a usage error, 1 for a file that failed.
inline int exit_status(const Error& error) { return error.kind() == ErrorKind::Usage ? 2 : 1; }

}  // namespace oxr
