// A string of one pointer: the characters live in one block that also holds
// their count, and an empty string holds no block at all. Resource nodes keep
// their name and new data in it, so a tree of many small nodes stays small.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace marovi {

template <class CharT>
class CompactString {
 public:
  using value_type = CharT;
  using size_type = std::size_t;
  using iterator = const CharT*;
  using const_iterator = const CharT*;

  CompactString() noexcept = default;
  CompactString(std::basic_string_view<CharT> text) { assign(text.data(), text.size()); }  // NOLINT
  CompactString(const CompactString& other) { assign(other.data(), other.size()); }
  CompactString(CompactString&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  ~CompactString() { clear(); }

  CompactString& operator=(const CompactString& other) {
    if (this != &other) assign(other.data(), other.size());
    return *this;
  }
  CompactString& operator=(CompactString&& other) noexcept {
    if (this != &other) {
      clear();
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  CompactString& operator=(std::basic_string_view<CharT> text) {
    return assign(text.data(), text.size());
  }

  // Replaces the characters; on failure the string keeps what it held.
  CompactString& assign(const CharT* text, std::size_t count) {
    Block* fresh = nullptr;
    if (count != 0) {
      fresh = static_cast<Block*>(::operator new(sizeof(Block) + (count + 1) * sizeof(CharT)));
      fresh->size = count;
      CharT* chars = Chars(fresh);
      std::copy(text, text + count, chars);
      chars[count] = CharT();
    }
    clear();
    block_ = fresh;
    return *this;
  }
  template <class InputIt>
  CompactString& assign(InputIt first, InputIt last) {
    const std::basic_string<CharT> text(first, last);
    return assign(text.data(), text.size());
  }

  void clear() noexcept {
    ::operator delete(block_);
    block_ = nullptr;
  }
  void shrink_to_fit() noexcept {}

  bool empty() const noexcept { return block_ == nullptr; }
  std::size_t size() const noexcept { return block_ == nullptr ? 0 : block_->size; }
  std::size_t length() const noexcept { return size(); }
  const CharT* data() const noexcept { return block_ == nullptr ? &kEmpty : Chars(block_); }
  const CharT* c_str() const noexcept { return data(); }
  const CharT* begin() const noexcept { return data(); }
  const CharT* end() const noexcept { return data() + size(); }
  const CharT& operator[](std::size_t i) const noexcept { return data()[i]; }

  operator std::basic_string_view<CharT>() const noexcept { return {data(), size()}; }  // NOLINT
  operator std::basic_string<CharT>() const { return {data(), size()}; }                // NOLINT

  friend bool operator==(const CompactString& a, const CompactString& b) noexcept {
    return std::basic_string_view<CharT>(a) == std::basic_string_view<CharT>(b);
  }
  friend bool operator==(const CompactString& a, std::basic_string_view<CharT> b) noexcept {
    return std::basic_string_view<CharT>(a) == b;
  }

 private:
  struct Block {
    std::size_t size;
  };
  static CharT* Chars(Block* block) noexcept { return reinterpret_cast<CharT*>(block + 1); }
  static const CharT* Chars(const Block* block) noexcept {
    return reinterpret_cast<const CharT*>(block + 1);
  }

  static constexpr CharT kEmpty = CharT();
  Block* block_ = nullptr;
};

using CompactU16String = CompactString<char16_t>;
using CompactByteString = CompactString<char>;

}  // namespace marovi
