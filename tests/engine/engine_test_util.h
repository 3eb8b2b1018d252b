// Helpers shared by the engine's tests: image files from the builder, an
// update that is always ended, and a readable form of a resource tree.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/commit/commit.h"
#include "engine/platform/platform.h"
#include "engine/tree/restree.h"
#include "engine/tree/update.h"
#include "tests/support/pe_builder.h"
#include "tests/support/test_files.h"

namespace marovi::test {

inline Bytes Filled(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

// Bytes from a xorshift generator: the same for the same seed.
inline Bytes Random(std::size_t size, std::uint64_t seed) {
  Bytes b(size);
  std::uint64_t x = seed | 1;
  for (auto& byte : b) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    byte = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

inline std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// "3", "ICONS", or for a leaf its language.
inline std::string Label(const TResItem* n) {
  return n->name.empty() ? std::to_string(n->id) : Narrow(n->name);
}

// The children of a directory as "A,B,3".
inline std::string Children(const TResItem* dir) {
  std::string s;
  for (const TResItem* c = dir->firstChild.get(); c != nullptr; c = c->nextSibling.get()) {
    if (!s.empty()) s += ",";
    s += Label(c);
  }
  return s;
}

// The whole tree as "3{1{0,1033},2{0}},14{MAINICON{0}}".
inline std::string Shape(const TResItem* dir) {
  std::string s;
  for (const TResItem* c = dir->firstChild.get(); c != nullptr; c = c->nextSibling.get()) {
    if (!s.empty()) s += ",";
    s += Label(c);
    if (c->isDirectory()) s += "{" + Shape(c) + "}";
  }
  return s;
}

// Counters agree with the children, named children first.
inline void ExpectCountsConsistent(const TResItem* dir, const std::string& where = "root") {
  std::uint32_t named = 0, ids = 0;
  bool seenId = false;
  for (const TResItem* c = dir->firstChild.get(); c != nullptr; c = c->nextSibling.get()) {
    if (!c->name.empty()) {
      ++named;
      EXPECT_FALSE(seenId) << "named entry " << Label(c) << " after a numbered one under " << where;
    } else {
      ++ids;
      seenId = true;
    }
    if (c->isDirectory()) ExpectCountsConsistent(c, where + "/" + Label(c));
  }
  EXPECT_EQ(dir->directory().namedEntryCount, named) << where;
  EXPECT_EQ(dir->directory().idEntryCount, ids) << where;
}

inline TResItem* Child(TResItem* dir, const std::string& label) {
  for (TResItem* c = dir->firstChild.get(); c != nullptr; c = c->nextSibling.get())
    if (Label(c) == label) return c;
  return nullptr;
}

// An update that is discarded when the test leaves the scope without ending it.
class UpdateGuard {
 public:
  explicit UpdateGuard(ResourceUpdate* u) : u_(u) {}
  ~UpdateGuard() {
    if (u_ != nullptr) EndResourceUpdate(u_, true);
  }
  UpdateGuard(const UpdateGuard&) = delete;
  UpdateGuard& operator=(const UpdateGuard&) = delete;
  ResourceUpdate* get() const { return u_; }
  ResourceUpdate* operator->() const { return u_; }
  explicit operator bool() const { return u_ != nullptr; }
  bool End(bool discard, Error* error = nullptr) {
    ResourceUpdate* u = u_;
    u_ = nullptr;
    return EndResourceUpdate(u, discard, error);
  }

 private:
  ResourceUpdate* u_;
};

// A folder with one image file in it.
class ImageFile {
 public:
  explicit ImageFile(const Bytes& bytes, const std::string& name = "image.exe")
      : path_(folder_ / name) {
    WriteWholeFile(path_, bytes);
    wide_ = Utf16Path(path_);
  }
  explicit ImageFile(const ImageSpec& spec) : ImageFile(BuildImage(spec)) {}
  const std::filesystem::path& path() const { return path_; }
  const char16_t* wide() const { return wide_.c_str(); }
  ResourceUpdate* Begin(bool deleteExisting = false) const {
    return BeginResourceUpdate(wide(), deleteExisting);
  }
  Bytes Read() const { return ReadWholeFile(path_); }
  const TempFolder& folder() const { return folder_; }

 private:
  TempFolder folder_;
  std::filesystem::path path_;
  std::u16string wide_;
};

inline ImageSpec SpecWith(bool pe32Plus, std::vector<ResourceSpec> resources) {
  ImageSpec s;
  s.pe32Plus = pe32Plus;
  s.resources = std::move(resources);
  return s;
}

// A directory alone: the root of a tree of its own.
struct BareDirectory {
  ResourceTree tree = TResItem::Directory();
  TResItem* root = tree.get();
};

inline const char* FormName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Pe32Plus" : "Pe32";
}

}  // namespace marovi::test
