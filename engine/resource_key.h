// Resource types and names as the editing functions take them: a numeric id
// or a UTF-16 name, in one pointer-sized value.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace marovi {

// A resource type or name as one pointer-sized value: below 0x10000 a numeric
// id, otherwise the address of a zero-terminated UTF-16 string.
using ResKey = const char16_t*;

inline ResKey MakeIntResource(std::uint16_t id) {
  return reinterpret_cast<ResKey>(static_cast<std::uintptr_t>(id));
}
inline bool IsIntResource(ResKey key) { return (reinterpret_cast<std::uintptr_t>(key) >> 16) == 0; }
inline std::uint16_t ResourceId(ResKey key) {
  return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(key));
}

// The resource types the layers above edit (version information and the
// manifest have theirs beside their formats).
inline constexpr std::uint16_t kRtIcon = 3;
inline constexpr std::uint16_t kRtGroupIcon = 14;

// A key for C++ callers: a numeric id or an owned name, convertible to ResKey.
class ResourceName {
 public:
  ResourceName(std::uint16_t id) : id_(id) {}  // NOLINT: ids convert implicitly
  ResourceName(std::u16string name) : name_(std::move(name)), named_(true) {}  // NOLINT
  ResKey key() const { return named_ ? name_.c_str() : MakeIntResource(id_); }
  operator ResKey() const { return key(); }  // NOLINT
  bool named() const { return named_; }
  std::uint16_t id() const { return id_; }
  const std::u16string& name() const { return name_; }

 private:
  std::uint16_t id_ = 0;
  std::u16string name_;
  bool named_ = false;
};

}  // namespace marovi
