// An open update on a generated image, and a flat view of its resource tree,
// for the icon group tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/tree/update.h"
#include "tests/support/pe_builder.h"
#include "tests/support/test_files.h"

namespace marovi::test {

// One data leaf of the tree: its keys as text ("3", "\"MAINICON\"") and bytes.
struct LeafView {
  std::string type;
  std::string name;
  std::uint16_t language = 0;
  Bytes data;
  bool operator==(const LeafView&) const = default;
};

// Every leaf of the update's tree in tree order, with the bytes wherever the
// update keeps them (image, memory or scratch file).
std::vector<LeafView> Leaves(const ResourceUpdate* update);

// The data of one leaf, or none.
const LeafView* FindLeaf(const std::vector<LeafView>& leaves, const std::string& type,
                         const std::string& name, std::uint16_t language);

// The ids (nID) a group record lists, and its header fields.
std::vector<std::uint16_t> GroupIds(const Bytes& record);

// The numbered names of type 3 present, in tree order.
std::vector<std::uint32_t> IconIds(const ResourceUpdate* update);

// A distinct pattern of n bytes for image i.
Bytes ImageBytes(std::size_t n, std::uint8_t seed);

// An image with the given resources written to folder/name, and an update on
// it that the object ends (discarding) unless Commit() was called.
class OpenImage {
 public:
  OpenImage(const TempFolder& folder, const std::vector<ResourceSpec>& resources,
            bool pe32Plus = false, bool sortResources = true);
  ~OpenImage();
  OpenImage(const OpenImage&) = delete;
  OpenImage& operator=(const OpenImage&) = delete;
  ResourceUpdate* get() const { return update_; }
  bool Commit();
  // Opens the file again (after a commit) and returns its leaves.
  std::vector<LeafView> Reread() const;
  const std::u16string& path() const { return path_; }

 private:
  std::u16string path_;
  ResourceUpdate* update_ = nullptr;
};

// The icon group most tests replace, and its key as text.
inline const ResourceName kMain(std::u16string(u"MAINICON"));
inline const std::string kMainText = "\"MAINICON\"";

// An old group record listing ids (the other fields filled with a pattern).
Bytes GroupRecord(const std::vector<std::uint16_t>& ids, std::uint16_t claimedCount = 0xFFFF);

// The resources of an image whose group `name` (language) lists ids, each id
// with an old image.
void AddGroup(std::vector<ResourceSpec>& resources, Key name, const std::vector<std::uint16_t>& ids,
              std::uint16_t language = 0);

std::vector<IconImageSpec> IconImages(std::size_t count, std::size_t firstSize = 100);

std::u16string WriteIco(const TempFolder& folder, const Bytes& ico,
                        const std::string& name = "new.ico");

// The new group lists `ids` in the icon file's order; image i is stored under
// ids[i] with its bytes, and group entry i carries the file's entry fields.
void ExpectGroup(const std::vector<LeafView>& leaves, const Bytes& ico,
                 const std::vector<IconImageSpec>& images, const std::vector<std::uint16_t>& ids,
                 std::uint16_t language = 0);

}  // namespace marovi::test
