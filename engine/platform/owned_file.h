// Scratch files by owner: gone when their owner goes.
#pragma once

#include <string>

#include "engine/platform/platform.h"

namespace marovi {

// A private scratch file that goes away with its handle: its name is dropped
// as soon as it is created (deleted on close on Windows), so neither a run
// that ends nor one that is killed leaves it behind.
class ScratchFile : public OwnedFile {
 public:
  ScratchFile() noexcept = default;
  // Creates the file under name; an empty one, with LastError() set, when
  // that fails.
  static ScratchFile Create(const std::string& name) {
    return ScratchFile(platform::CreateScratchFile(name));
  }

 private:
  explicit ScratchFile(platform::FileHandle handle) noexcept : OwnedFile(handle) {}
};

}  // namespace marovi
