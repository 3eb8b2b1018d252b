// Open files by owner: closed when their owner goes.
#pragma once

#include <string>
#include <utility>

#include "engine/platform.h"

namespace marovi {

// An open file, closed with its owner.
class OwnedFile {
 public:
  OwnedFile() noexcept = default;
  explicit OwnedFile(platform::FileHandle handle) noexcept : handle_(handle) {}
  OwnedFile(OwnedFile&& other) noexcept : handle_(other.release()) {}
  OwnedFile& operator=(OwnedFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.release();
    }
    return *this;
  }
  OwnedFile(const OwnedFile&) = delete;
  OwnedFile& operator=(const OwnedFile&) = delete;
  ~OwnedFile() { Close(); }

  platform::FileHandle get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != platform::kInvalidFile; }
  explicit operator bool() const noexcept { return valid(); }
  // Gives the handle up without closing it.
  platform::FileHandle release() noexcept { return std::exchange(handle_, platform::kInvalidFile); }
  void Close() noexcept {
    if (valid()) platform::CloseFile(release());
  }

 private:
  platform::FileHandle handle_ = platform::kInvalidFile;
};

// A private scratch file that goes away with its handle: its name is dropped
// as soon as it is created (deleted on close on Windows), so neither a run
// that ends nor one that is killed leaves it behind.
class ScratchFile : public OwnedFile {
 public:
  ScratchFile() noexcept = default;
  // Creates the file under name; an empty one, with LastError() set, when
  // that fails.
  static ScratchFile Create(const std::string& name) {
    ScratchFile file;
    static_cast<OwnedFile&>(file) = OwnedFile(platform::CreateScratchFile(name));
    return file;
  }
};

}  // namespace marovi
