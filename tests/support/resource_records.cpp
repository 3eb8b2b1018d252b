// The resource records of the test generator: a resource section laid out
// as a resource compiler lays it out, and the icon, cursor and bitmap
// records (and .ico files) that go into it.
#include <algorithm>
#include <map>

#include "tests/support/builder_fields.h"
#include "tests/support/pe_builder.h"

namespace marovi::test {
using namespace fields;
namespace {

// Directory ordering: named entries first (by their code units), then ids.
bool KeyLess(const Key& a, const Key& b) {
  if (a.named() != b.named()) return a.named();
  if (a.named()) return std::get<1>(a.value) < std::get<1>(b.value);
  return std::get<0>(a.value) < std::get<0>(b.value);
}

struct LangNode {
  std::uint16_t language;
  const ResourceSpec* spec;
};
struct NameNode {
  Key key;
  std::vector<LangNode> languages;
};
struct TypeNode {
  Key key;
  std::vector<NameNode> names;
};

template <typename Node>
void OrderNamedFirst(std::vector<Node>& nodes, bool sort) {
  if (sort)
    std::stable_sort(nodes.begin(), nodes.end(),
                     [](const Node& a, const Node& b) { return KeyLess(a.key, b.key); });
  else
    std::stable_partition(nodes.begin(), nodes.end(), [](const Node& n) { return n.key.named(); });
}

// Types and names in the order of their first resource. The names of a type
// are found through an index, so that images of many thousands of resources
// are built in n log n.
std::vector<TypeNode> GroupResources(const std::vector<ResourceSpec>& resources, bool sort) {
  using KeyValue = decltype(Key::value);
  std::vector<TypeNode> types;
  std::map<KeyValue, std::size_t> typeIndex;
  std::vector<std::map<KeyValue, std::size_t>> nameIndex;
  for (const ResourceSpec& r : resources) {
    const auto [t, newType] = typeIndex.emplace(r.type.value, types.size());
    if (newType) {
      types.push_back(TypeNode{r.type, {}});
      nameIndex.emplace_back();
    }
    TypeNode& type = types[t->second];
    const auto [n, newName] = nameIndex[t->second].emplace(r.name.value, type.names.size());
    if (newName) type.names.push_back(NameNode{r.name, {}});
    type.names[n->second].languages.push_back(LangNode{r.language, &r});
  }
  OrderNamedFirst(types, sort);
  for (TypeNode& t : types) {
    OrderNamedFirst(t.names, sort);
    if (sort)
      for (NameNode& n : t.names)
        std::stable_sort(
            n.languages.begin(), n.languages.end(),
            [](const LangNode& a, const LangNode& b) { return a.language < b.language; });
  }
  return types;
}

std::uint32_t TableSize(std::size_t entries) { return 16 + 8 * Size32(entries); }

void PutTable(Bytes& b, std::uint32_t at, std::size_t named, std::size_t ids) {
  // Characteristics, TimeDateStamp and versions stay 0, as linkers write them.
  Put16(b, at + 12, Size32(named));
  Put16(b, at + 14, Size32(ids));
}

template <typename Node>
std::size_t CountNamed(const std::vector<Node>& nodes) {
  return static_cast<std::size_t>(
      std::count_if(nodes.begin(), nodes.end(), [](const Node& n) { return n.key.named(); }));
}

}  // namespace

Bytes BuildResourceSectionBytes(const std::vector<ResourceSpec>& resources, std::uint32_t rva,
                                bool sortEntries) {
  const std::vector<TypeNode> types = GroupResources(resources, sortEntries);

  // Directory tables breadth first (root, types, names), then the data
  // entries, then the name strings, then the data, each item 8-aligned.
  std::uint32_t pos = TableSize(types.size());
  std::vector<std::uint32_t> typeTable;
  for (const TypeNode& t : types) {
    typeTable.push_back(pos);
    pos += TableSize(t.names.size());
  }
  std::vector<std::vector<std::uint32_t>> nameTable(types.size());
  for (std::size_t i = 0; i < types.size(); ++i)
    for (const NameNode& n : types[i].names) {
      nameTable[i].push_back(pos);
      pos += TableSize(n.languages.size());
    }
  std::vector<std::vector<std::vector<std::uint32_t>>> dataEntry(types.size());
  for (std::size_t i = 0; i < types.size(); ++i)
    for (const NameNode& n : types[i].names) {
      dataEntry[i].emplace_back();
      for (std::size_t k = 0; k < n.languages.size(); ++k) {
        dataEntry[i].back().push_back(pos);
        pos += 16;
      }
    }
  std::map<const Key*, std::uint32_t> stringAt;
  auto placeString = [&](const Key& key) {
    if (!key.named()) return;
    stringAt[&key] = pos;
    pos += 2 + 2 * Size32(std::get<1>(key.value).size());
  };
  for (const TypeNode& t : types) placeString(t.key);
  for (const TypeNode& t : types)
    for (const NameNode& n : t.names) placeString(n.key);
  pos = Align(pos, 8);

  Bytes b(pos, 0);
  auto putKey = [&](std::uint32_t entry, const Key& key) {
    if (key.named()) {
      const std::u16string& s = std::get<1>(key.value);
      const std::uint32_t at = stringAt.at(&key);
      Put16(b, at, Size32(s.size()));
      for (std::size_t c = 0; c < s.size(); ++c) Put16(b, at + 2 + 2 * c, s[c]);
      Put32(b, entry, 0x80000000u | at);
    } else {
      Put32(b, entry, std::get<0>(key.value));
    }
  };

  PutTable(b, 0, CountNamed(types), types.size() - CountNamed(types));
  for (std::size_t i = 0; i < types.size(); ++i) {
    const std::uint32_t entry = 16 + 8 * Size32(i);
    putKey(entry, types[i].key);
    Put32(b, entry + 4, 0x80000000u | typeTable[i]);
    const std::vector<NameNode>& names = types[i].names;
    PutTable(b, typeTable[i], CountNamed(names), names.size() - CountNamed(names));
    for (std::size_t j = 0; j < names.size(); ++j) {
      const std::uint32_t nameEntry = typeTable[i] + 16 + 8 * Size32(j);
      putKey(nameEntry, names[j].key);
      Put32(b, nameEntry + 4, 0x80000000u | nameTable[i][j]);
      const std::vector<LangNode>& langs = names[j].languages;
      PutTable(b, nameTable[i][j], 0, langs.size());
      for (std::size_t k = 0; k < langs.size(); ++k) {
        const std::uint32_t langEntry = nameTable[i][j] + 16 + 8 * Size32(k);
        Put32(b, langEntry, langs[k].language);
        Put32(b, langEntry + 4, dataEntry[i][j][k]);
        // The data entry holds an RVA, not an offset in the section.
        const ResourceSpec& r = *langs[k].spec;
        const std::uint32_t dataAt = Size32(b.size());
        b.insert(b.end(), r.data.begin(), r.data.end());
        b.resize(Align(Size32(b.size()), 8), 0);
        Put32(b, dataEntry[i][j][k], rva + dataAt);
        Put32(b, dataEntry[i][j][k] + 4, Size32(r.data.size()));
        Put32(b, dataEntry[i][j][k] + 8, r.codePage);
        Put32(b, dataEntry[i][j][k] + 12, r.reserved);
      }
    }
  }
  return b;
}

Bytes BuildIcoFile(const std::vector<IconImageSpec>& images, std::uint16_t type) {
  Bytes b;
  Put16(b, 0, 0);
  Put16(b, 2, type);
  Put16(b, 4, Size32(images.size()));
  std::uint32_t offset = 6 + 16 * Size32(images.size());
  b.resize(offset, 0);
  for (std::size_t i = 0; i < images.size(); ++i) {
    const IconImageSpec& im = images[i];
    const std::size_t e = 6 + 16 * i;
    b[e] = im.width;
    b[e + 1] = im.height;
    b[e + 2] = im.colorCount;
    b[e + 3] = im.reserved;
    Put16(b, e + 4, im.planes);
    Put16(b, e + 6, im.bitCount);
    Put32(b, e + 8, Size32(im.bytes.size()));
    Put32(b, e + 12, offset);
    b.insert(b.end(), im.bytes.begin(), im.bytes.end());
    offset += Size32(im.bytes.size());
  }
  return b;
}

Bytes BuildIconGroupRecord(const std::vector<IconImageSpec>& images,
                           const std::vector<std::uint16_t>& ids) {
  const Bytes ico = BuildIcoFile(images);
  Bytes b(ico.begin(), ico.begin() + 6);
  for (std::size_t i = 0; i < images.size(); ++i) {
    b.insert(b.end(), ico.begin() + static_cast<std::ptrdiff_t>(6 + 16 * i),
             ico.begin() + static_cast<std::ptrdiff_t>(6 + 16 * i + 12));
    Put16(b, b.size(), i < ids.size() ? ids[i] : 0);
  }
  return b;
}

Bytes BuildCursorResource(const CursorImageSpec& image) {
  Bytes b;
  Put16(b, 0, image.hotspotX);
  Put16(b, 2, image.hotspotY);
  b.insert(b.end(), image.bitmap.begin(), image.bitmap.end());
  return b;
}

Bytes BuildCursorGroupRecord(const std::vector<CursorImageSpec>& images,
                             const std::vector<std::uint16_t>& ids) {
  Bytes b;
  Put16(b, 0, 0);
  Put16(b, 2, 2);
  Put16(b, 4, Size32(images.size()));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const std::size_t e = 6 + 14 * i;
    Put16(b, e, images[i].width);
    Put16(b, e + 2, static_cast<std::uint16_t>(images[i].height * 2));
    Put16(b, e + 4, images[i].planes);
    Put16(b, e + 6, images[i].bitCount);
    Put32(b, e + 8, Size32(images[i].bitmap.size() + 4));
    Put16(b, e + 12, i < ids.size() ? ids[i] : 0);
  }
  return b;
}

Bytes BuildDib(std::uint32_t headerSize, std::uint16_t bitCount, std::uint32_t compression,
               std::uint32_t colorsUsed, std::size_t tail) {
  Bytes b(headerSize, 0);
  Put32(b, 0, headerSize);
  if (headerSize == 12) {
    Put16(b, 4, 4);
    Put16(b, 6, 2);
    Put16(b, 8, 1);
    Put16(b, 10, bitCount);
  } else if (headerSize >= 40) {
    Put32(b, 4, 4);
    Put32(b, 8, 2);
    Put16(b, 12, 1);
    Put16(b, 14, bitCount);
    Put32(b, 16, compression);
    Put32(b, 32, colorsUsed);
  }
  b.resize(headerSize + tail, 0x5A);
  return b;
}

}  // namespace marovi::test
