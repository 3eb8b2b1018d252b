// What a rebuild of the resource section may move, checked on the image's
// bytes before anything is written: a commit refuses an image that the
// rebuild would damage rather than report a success that is none.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/failure.h"
#include "engine/pe/image.h"

namespace marovi {

// Each check returns why the image cannot be changed (kind Refused, with the
// offset in the file of the field or the structure that stands in the way),
// or an empty Error when nothing does.

// The layout that the rebuild relies on: a file alignment that is a power of
// two up to 64 KiB; a section alignment that is a power of two and not
// below the file alignment; the resource section's data in the file, behind
// the section table; a resource table no larger than its section in memory;
// and no two sections whose data share bytes of the file (a section without
// raw data has none to share), unless the one lies wholly inside the
// resource section's data. resourceIndex is the resource section's; for
// an image without one only the alignments and the sections are checked.
Error CheckLayout(const std::uint8_t* view, std::uint32_t viewSize, const PeLayout& l,
                  std::optional<std::uint32_t> resourceIndex);

// Another section's data lying wholly inside the resource section's (as
// some installers' linkers leave it): the section cannot be rebuilt where it
// is without destroying it. Names that section; none when there is none.
Error ResourceSectionHoldsOtherData(const std::uint8_t* view, const PeLayout& l,
                                    std::uint32_t index);
// Packers keep imports, code or other tables inside the resource section:
// rebuilding it would throw them away. Refuses when a data directory entry
// other than the resource table and the certificate table (a file offset),
// or the entry point, lies inside the resource section.
Error CheckResourceSectionHoldsOnlyResources(const std::uint8_t* view, std::uint32_t viewSize,
                                             const PeLayout& l, std::uint32_t index);

// When the new section changes its extent in memory, every section behind it
// there gets a new address, and nothing can fix the addresses that point
// into such a section from elsewhere (import thunks, absolute addresses in
// code, pages of the base relocation table). A section may move only when
// nothing refers to it by address at run time: it is discardable and not
// executable, holds neither the entry point nor any data directory entry
// other than the base relocation table, the debug directory and the
// certificate table, and holds no page that the base relocation table lists.
// Refuses, naming a section that cannot move and what holds it in place.
Error CheckSectionsBehindCanMove(const std::uint8_t* view, std::uint32_t viewSize,
                                 const PeLayout& l, std::uint32_t index);

}  // namespace marovi
