// Data that installers and bundles carry behind a PE image, laid out by the
// published field lists of their runtimes, for tests of the commit's fixes.
// The readers here follow the runtimes' own lookups, independently of the
// engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/pe_builder.h"

namespace marovi::test {

// zlib's CRC-32, computed bit by bit.
std::uint32_t BitwiseCrc32(const std::uint8_t* bytes, std::size_t count);

// NSIS: the image padded to a multiple of 512, then the first header
// (flags, 0xDEADBEEF, "NullsoftInst", header length, data length) and data
// bytes, then (crc) the CRC-32 of the file from byte 512 on.
void AppendNsisData(Bytes& image, const Bytes& data, bool crc);
// What an NSIS installer reads on start: its first header at a multiple of
// 512 and, unless its flags say no CRC, a CRC that matches. The data behind
// the first header, or none (with why) when it would not start.
std::optional<Bytes> ReadNsisData(const Bytes& file, std::string* why = nullptr);

// .NET single-file bundles: the 40 bytes a host keeps in its data (a zero
// header offset, then the signature); the files appended behind the image,
// then the header of the given major version (1, 2 or 6), whose offset goes
// in front of the signature.
Bytes DotNetBundleMarker();
void AppendDotNetBundle(Bytes& image, std::uint32_t major, const std::vector<Bytes>& files);
// The files as the host finds them: the signature, the header offset in
// front of it, the header and each entry's offset and size. None when the
// lookup fails.
std::optional<std::vector<Bytes>> ReadDotNetBundle(const Bytes& file);

// Inno Setup's offset table (RCDATA 11111) of version 1 (32-bit fields) or
// 2 (64-bit), its TableCRC computed.
struct InnoOffsets {
  std::uint64_t totalSize = 0, offsetExe = 0, offset0 = 0, offset1 = 0;
};
Bytes InnoOffsetTable(std::uint32_t version, const InnoOffsets& offsets);
// The table's offsets when its CRC holds.
std::optional<InnoOffsets> ReadInnoOffsetTable(const Bytes& table);

}  // namespace marovi::test
