// The edits of a change besides the icon group: the version information and
// the application manifest, made inside the same update as the icon, so that
// the file is rebuilt once for all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/change_workflow.h"

namespace marovi::app {

// Sets the versions and strings in every version resource (type 16) of the
// update, or in those of edits.language. An image without any gains one:
// name 1, language edits.language or US English, with one string table of
// that language in UTF-16; a version not given there takes the other one
// given (0.0.0.0 when neither is), and an image marked as a DLL gets a DLL's
// file type. False, with error naming the image, when a version resource
// cannot be read or written back, when edits.language names a language the
// image has no version information in while it has some in others, or when
// storing fails.
bool ApplyVersionEdits(ResourceUpdate* update, const VersionEdits& edits, Error* error);

// The program's manifest is type 24, name 1. manifest (the bytes of
// edits.file, as ReadManifestFile gives them) replaces each language of it;
// or the level is set in each (SetRequestedExecutionLevel, the rest of the
// text kept). An image without one gains one in language 0: the file's bytes,
// or a minimal manifest that asks for the level. False, with error naming the
// image, when a manifest there is not one (with the level) or storing fails.
bool ApplyManifestEdits(ResourceUpdate* update, const ManifestEdits& edits,
                        const std::vector<std::uint8_t>& manifest, Error* error);

// Sets the strings of edits.strings in their blocks (StringBlockName) and
// replaces the raw data resources of edits.rcdata with the bytes of their
// files (rcdataBytes, in the same order). False, with error naming the image
// or the file, when a block cannot be read or written, or an id of rcdata is
// not in the image.
bool ApplyTableEdits(ResourceUpdate* update, const TableEdits& edits,
                     const std::vector<std::vector<std::uint8_t>>& rcdataBytes, Error* error);

// Raw data resources (RCDATA).
inline constexpr std::uint16_t kRtRcData = 10;

// The language of a new string table.
inline constexpr std::uint16_t kStringLanguageWhenNone = 0x0409;

// The language of a new manifest.
inline constexpr std::uint16_t kManifestLanguageWhenNone = 0;

// Reads a manifest file whole and checks that it is one: well-formed XML
// whose root is an assembly (a program with a broken manifest does not
// start). False with error naming the file.
bool ReadManifestFile(const std::u16string& file, std::vector<std::uint8_t>& bytes, Error* error);

// Reads a regular file whole; role names it in errors ("data file").
bool ReadWholeFile(const std::u16string& file, const std::string& role,
                   std::vector<std::uint8_t>& bytes, Error* error);

}  // namespace marovi::app
