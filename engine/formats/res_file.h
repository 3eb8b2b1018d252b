// Compiled resource files (.res), as resource compilers write them and
// linkers read them: a sequence of entries, each a header followed by its
// data, every entry starting on a four-byte boundary. The header is
//
//   DataSize         4   bytes of data behind the header
//   HeaderSize       4   bytes of the header, these two fields included
//   TYPE             0xFFFF and a 16-bit id, or a zero-terminated UTF-16 name
//   NAME             the same
//   (padding to a four-byte boundary)
//   DataVersion      4
//   MemoryFlags      2
//   LanguageId       2
//   Version          4
//   Characteristics  4
//
// The first entry is an empty one of 32 bytes (no data, type and name id 0)
// that marks the file as a compiled resource file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/error.h"
#include "engine/resource_key.h"

namespace marovi {

struct ResFileEntry {
  ResourceName type = ResourceName(std::uint16_t{0});
  ResourceName name = ResourceName(std::uint16_t{0});
  std::uint16_t language = 0;
  std::uint16_t memoryFlags = 0;
  std::uint32_t dataVersion = 0;
  std::uint32_t version = 0;
  std::uint32_t characteristics = 0;
  std::uint64_t offset = 0;              // of its header in the file
  std::span<const std::uint8_t> data;  // inside the bytes parsed
};

// Reads the entries of a compiled resource file held in bytes, the empty
// first one left out; the entries' data point into bytes. None, with error
// (Refused, its offset set, file left empty for the caller to name), when the
// file does not begin with the empty entry, a header is cut short or its
// HeaderSize is too small, not a multiple of four or does not match its
// fields, a name has no terminator inside its header or is empty, the data
// runs past the end of the file, an entry has type 0, or two entries have
// the same type, name and language.
std::optional<std::vector<ResFileEntry>> ParseResFile(std::span<const std::uint8_t> bytes,
                                                      Error* error);

}  // namespace marovi
