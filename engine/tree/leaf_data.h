// Where the bytes of a resource leaf are: still in the image's view, new
// bytes held in memory, new bytes kept in a scratch file, or nowhere (new
// bytes that could not be kept). One of them at a time; the leaf owns the
// memory and the scratch file.
#pragma once

#include <cstdint>
#include <variant>

#include "engine/platform/owned_file.h"
#include "engine/tree/compact_string.h"

namespace marovi {

class LeafData {
 public:
  LeafData() noexcept = default;

  // The bytes at view, which stay valid as long as the view they lie in.
  void SetView(const std::uint8_t* view) noexcept { where_ = view; }
  void SetMemory(CompactByteString bytes) noexcept { where_ = std::move(bytes); }
  void SetScratch(ScratchFile file) noexcept { where_ = std::move(file); }
  // Lets go of the bytes (the memory freed, the scratch file closed).
  void Clear() noexcept { where_ = std::monostate(); }

  bool none() const noexcept { return std::holds_alternative<std::monostate>(where_); }
  // The bytes in the view, or null when they are not there.
  const std::uint8_t* view() const noexcept {
    const auto* at = std::get_if<const std::uint8_t*>(&where_);
    return at != nullptr ? *at : nullptr;
  }
  const CompactByteString* memory() const noexcept {
    return std::get_if<CompactByteString>(&where_);
  }
  const ScratchFile* scratch() const noexcept { return std::get_if<ScratchFile>(&where_); }

  // Copies the first size bytes into out, from wherever they are. False
  // when they cannot be had: the scratch file cannot be read, or there are
  // none (unless size is 0).
  bool Read(std::uint32_t size, std::uint8_t* out) const;

 private:
  std::variant<std::monostate, const std::uint8_t*, CompactByteString, ScratchFile> where_;
};

}  // namespace marovi
