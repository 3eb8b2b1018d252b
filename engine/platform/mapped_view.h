// The whole of a file mapped for reading and writing: the mapping, the
// address of its bytes and their count, held and dropped together.
#pragma once

#include <cstdint>
#include <span>

#include "engine/platform/platform.h"

namespace marovi::platform {

class MappedView {
 public:
  MappedView() = default;
  ~MappedView() { Reset(); }
  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;

  // Maps the whole of file (MapWholeFile), dropping any view held before.
  // False, with the platform's error, leaves the view empty; the file is
  // kept for Remap either way. The view does not own the file.
  bool Map(FileHandle file);
  // Maps the same file again, at its length now (after it grew or shrank).
  bool Remap() { return Map(file_); }
  // Drops the view (writes through it reach the file); Remap maps it again.
  void Reset() noexcept;

  std::uint8_t* data() const { return data_; }
  // The file's length when it was mapped; 0 when nothing is mapped.
  std::uint32_t size() const { return size_; }
  std::span<std::uint8_t> bytes() const { return {data_, size_}; }
  bool mapped() const { return data_ != nullptr; }
  FileHandle file() const { return file_; }

  // Runs call(mapping, data, size) on the view's own parts, for a file
  // service that unmaps the file and maps it again in their place
  // (ShiftFileTail). What they hold afterwards is the view.
  template <typename Call>
  decltype(auto) WithParts(Call&& call) {
    return call(mapping_, data_, size_);
  }

 private:
  FileHandle file_ = kInvalidFile;
  MappingHandle mapping_ = 0;
  std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
};

}  // namespace marovi::platform
