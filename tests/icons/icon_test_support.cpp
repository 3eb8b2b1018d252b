#include "tests/icons/icon_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "engine/commit/commit.h"
#include "engine/platform/platform.h"

namespace marovi::test {
namespace {

std::string KeyText(const TResItem& node) {
  if (node.name.empty()) return std::to_string(node.id);
  return "\"" + platform::ToUtf8(node.name) + "\"";
}

// A leaf's bytes; zeros for one whose new bytes were lost.
Bytes LeafBytes(const TResItem& node) {
  const ResourceLeaf& leaf = node.leaf();
  Bytes bytes(leaf.dataSize);
  if (!leaf.data.none() && !leaf.data.Read(leaf.dataSize, bytes.data()))
    throw std::runtime_error("scratch file of a leaf cannot be read");
  return bytes;
}

}  // namespace

std::vector<LeafView> Leaves(const ResourceUpdate* update) {
  std::vector<LeafView> leaves;
  for (const TResItem* t = update->root ? update->root->firstChild.get() : nullptr; t;
       t = t->nextSibling.get())
    for (const TResItem* n = t->firstChild.get(); n; n = n->nextSibling.get())
      for (const TResItem* l = n->firstChild.get(); l; l = l->nextSibling.get())
        leaves.push_back(
            LeafView{KeyText(*t), KeyText(*n), static_cast<std::uint16_t>(l->id), LeafBytes(*l)});
  return leaves;
}

const LeafView* FindLeaf(const std::vector<LeafView>& leaves, const std::string& type,
                         const std::string& name, std::uint16_t language) {
  for (const LeafView& leaf : leaves)
    if (leaf.type == type && leaf.name == name && leaf.language == language) return &leaf;
  return nullptr;
}

std::vector<std::uint16_t> GroupIds(const Bytes& record) {
  if (record.size() < 6) throw std::runtime_error("group record shorter than its header");
  const std::size_t count = static_cast<std::size_t>(record[4] | (record[5] << 8));
  if (record.size() != 6 + 14 * count)
    throw std::runtime_error("group record size does not match idCount");
  std::vector<std::uint16_t> ids;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 6 + 14 * i + 12;
    ids.push_back(static_cast<std::uint16_t>(record[at] | (record[at + 1] << 8)));
  }
  return ids;
}

std::vector<std::uint32_t> IconIds(const ResourceUpdate* update) {
  std::vector<std::uint32_t> ids;
  for (const TResItem* t = update->root ? update->root->firstChild.get() : nullptr; t;
       t = t->nextSibling.get())
    if (t->name.empty() && t->id == kRtIcon)
      for (const TResItem* n = t->firstChild.get(); n; n = n->nextSibling.get())
        if (n->name.empty()) ids.push_back(n->id);
  return ids;
}

Bytes ImageBytes(std::size_t n, std::uint8_t seed) {
  Bytes bytes(n);
  for (std::size_t i = 0; i < n; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 8));
  return bytes;
}

OpenImage::OpenImage(const TempFolder& folder, const std::vector<ResourceSpec>& resources,
                     bool pe32Plus, bool sortResources) {
  ImageSpec spec;
  spec.pe32Plus = pe32Plus;
  spec.resources = resources;
  spec.sortResources = sortResources;
  const auto file = folder / "image.exe";
  WriteWholeFile(file, BuildImage(spec));
  path_ = Utf16Path(file);
  update_ = BeginResourceUpdate(path_.c_str(), false);
  if (update_ == nullptr) throw std::runtime_error("BeginResourceUpdate refused a generated image");
}

OpenImage::~OpenImage() {
  if (update_ != nullptr) EndResourceUpdate(update_, true);
}

bool OpenImage::Commit() {
  ResourceUpdate* update = update_;
  update_ = nullptr;
  return EndResourceUpdate(update, false);
}

std::vector<LeafView> OpenImage::Reread() const {
  ResourceUpdate* update = BeginResourceUpdate(path_.c_str(), false);
  if (update == nullptr) throw std::runtime_error("the committed image cannot be opened again");
  std::vector<LeafView> leaves = Leaves(update);
  EndResourceUpdate(update, true);
  return leaves;
}

Bytes GroupRecord(const std::vector<std::uint16_t>& ids, std::uint16_t claimedCount) {
  Bytes record(6 + 14 * ids.size(), 0);
  const std::size_t count = claimedCount == 0xFFFF ? ids.size() : claimedCount;
  record[2] = 1;
  record[4] = static_cast<std::uint8_t>(count);
  record[5] = static_cast<std::uint8_t>(count >> 8);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    record[6 + 14 * i] = 32;
    record[6 + 14 * i + 12] = static_cast<std::uint8_t>(ids[i]);
    record[6 + 14 * i + 13] = static_cast<std::uint8_t>(ids[i] >> 8);
  }
  return record;
}

void AddGroup(std::vector<ResourceSpec>& resources, Key name, const std::vector<std::uint16_t>& ids,
              std::uint16_t language) {
  for (std::uint16_t id : ids)
    resources.push_back(
        ResourceSpec{3, id, language, ImageBytes(40, static_cast<std::uint8_t>(id))});
  resources.push_back(ResourceSpec{14, std::move(name), language, GroupRecord(ids)});
}

std::vector<IconImageSpec> IconImages(std::size_t count, std::size_t firstSize) {
  std::vector<IconImageSpec> images;
  for (std::size_t i = 0; i < count; ++i) {
    IconImageSpec image;
    image.width = image.height = static_cast<std::uint8_t>(16 * (i + 1));
    image.bitCount = static_cast<std::uint16_t>(i % 2 == 0 ? 32 : 8);
    image.bytes = ImageBytes(firstSize + 10 * i, static_cast<std::uint8_t>(0x80 + i));
    images.push_back(image);
  }
  return images;
}

std::u16string WriteIco(const TempFolder& folder, const Bytes& ico, const std::string& name) {
  WriteWholeFile(folder / name, ico);
  return Utf16Path(folder / name);
}

void ExpectGroup(const std::vector<LeafView>& leaves, const Bytes& ico,
                 const std::vector<IconImageSpec>& images, const std::vector<std::uint16_t>& ids,
                 std::uint16_t language) {
  const LeafView* group = FindLeaf(leaves, "14", kMainText, language);
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(GroupIds(group->data), ids);
  EXPECT_TRUE(std::equal(ico.begin(), ico.begin() + 6, group->data.begin()));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_TRUE(std::equal(ico.begin() + 6 + 16 * static_cast<long>(i),
                           ico.begin() + 6 + 16 * static_cast<long>(i) + 12,
                           group->data.begin() + 6 + 14 * static_cast<long>(i)))
        << "group entry " << i;
    const LeafView* image = FindLeaf(leaves, "3", std::to_string(ids[i]), language);
    ASSERT_NE(image, nullptr) << "image id " << ids[i];
    EXPECT_EQ(image->data, images[i].bytes) << "image id " << ids[i];
  }
}

}  // namespace marovi::test
