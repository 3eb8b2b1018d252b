// The one exception the engine throws: where a failure is found deep inside
// a recursion (a malformed directory, a scratch file that cannot be written
// or read back) it travels up as the Error it will be reported as, and the
// code that catches it hands that Error on unchanged.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "engine/error.h"

namespace marovi {

class EngineFailure : public std::exception {
 public:
  explicit EngineFailure(Error error) : error_(std::move(error)) {}
  const Error& error() const noexcept { return error_; }
  const char* what() const noexcept override { return error_.detail.c_str(); }

 private:
  Error error_;
};

// The names under which callers catch the two failures they tell apart: a
// resource directory that cannot be read safely (MalformedImage, or Refused
// when what else lives in the resource section stands in the way), and a
// leaf's new data that could not be kept in its scratch file (Io).
using ImageFormatError = EngineFailure;
using ScratchFileError = EngineFailure;

// Why an image cannot be changed safely, and where in the file the field or
// the structure that stands in the way lies.
inline Error RefusedAt(std::string detail, std::uint64_t offset) {
  Error error = MakeError(ErrorKind::Refused, std::move(detail));
  error.offset = offset;
  return error;
}

}  // namespace marovi
