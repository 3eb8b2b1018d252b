// What the fuzz targets share: the input as an image file on disk, and a walk
// over a tree that touches every byte a leaf refers to.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "engine/tree/restree.h"
#include "engine/tree/update.h"

namespace marovi::fuzz {

// One file per fuzzing process, written for every input and removed after it
// (libFuzzer may end the process without running exit handlers).
inline const std::string& InputPath() {
  static const std::string path = platform::TempDirectory() + "marovi-fuzz-" +
                                  std::to_string(platform::CurrentProcessId()) + ".exe";
  return path;
}

struct InputFileRemover {
  ~InputFileRemover() { std::remove(InputPath().c_str()); }
};

inline bool WriteInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(InputPath().c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Writes the input and begins an update on it; null when the engine refuses
// it (a refusal is an answer, not a finding).
inline ResourceUpdate* BeginOnInput(const std::uint8_t* data, std::size_t size) {
  if (!WriteInput(data, size)) return nullptr;
  const std::u16string name = platform::FromUtf8(InputPath());
  try {
    return BeginResourceUpdate(name.c_str(), false);
  } catch (const ImageFormatError&) {
    return nullptr;
  }
}

inline std::uint32_t Touch(const TResItem* node, int depth = 0) {
  std::uint32_t sum = 0;
  for (const TResItem* c = node; c != nullptr; c = c->nextSibling.get()) {
    if (depth > 64) __builtin_trap();  // the reader refuses cycles; a tree this deep is one
    sum += c->id + static_cast<std::uint32_t>(c->name.size());
    for (char16_t ch : c->name) sum += ch;
    if (c->isDirectory()) {
      sum += Touch(c->firstChild.get(), depth + 1);
    } else if (c->leaf().data.view() != nullptr) {
      for (std::uint32_t i = 0; i < c->leaf().dataSize; ++i) sum += c->leaf().data.view()[i];
    }
  }
  return sum;
}

}  // namespace marovi::fuzz
