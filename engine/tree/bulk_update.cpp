// Deleting and adding many numbered names of one type in one pass over the
// type's entries.
#include "engine/tree/bulk_update.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/tree/update.h"

namespace marovi {
namespace {

bool IsNamed(const TResItem* node) { return !node->name.empty(); }

// The node that FindNamedChild finds for a numbered key, and the leaf that
// FindLanguageChild finds, are directories resp. leaves; so are the nodes
// counted and removed here.
bool IsNumberedDirectory(const TResItem* node) { return node->isDirectory() && !IsNamed(node); }
bool IsLeafOf(const TResItem* node, std::uint16_t language) {
  return !node->isDirectory() && node->id == language;
}

// Takes the node in slot out of its list (with its subtree) and frees it.
void Unlink(LinkSlot slot) noexcept {
  ResourceTree node = std::move(*slot);
  *slot = std::move(node->nextSibling);
}

}  // namespace

NumberedDeletion::NumberedDeletion(TResItem* root, std::uint16_t type,
                                   const std::vector<std::uint16_t>& ids, std::uint16_t language)
    : root_(root), language_(language) {
  if (root == nullptr) return;
  type_ = FindNamedChild(root, MakeIntResource(type))->get();
  if (type_ == nullptr || ids.empty()) return;

  // How many deletes each id still has to make, ascending by id.
  std::vector<std::uint16_t> sorted(ids);
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::pair<std::uint16_t, std::uint32_t>> pending;
  for (std::uint16_t id : sorted) {
    if (!pending.empty() && pending.back().first == id) ++pending.back().second;
    else pending.emplace_back(id, 1);
  }

  // A delete reaches the first name directory of its id in list order. One
  // that removes the directory hands the id's further deletes on to the next
  // directory of that id (a file may list an id twice); one that leaves it
  // lets all further deletes of the id end there as well.
  for (TResItem* name = type_->firstChild.get(); name != nullptr; name = name->nextSibling.get()) {
    if (!IsNumberedDirectory(name) || name->id > 0xFFFF) continue;
    const auto it = std::lower_bound(pending.begin(), pending.end(), name->id,
                                     [](const std::pair<std::uint16_t, std::uint32_t>& p,
                                        std::uint32_t id) { return p.first < id; });
    if (it == pending.end() || it->first != name->id || it->second == 0) continue;
    std::uint32_t& left = it->second;

    std::uint32_t children = 0, ofLanguage = 0;
    for (const TResItem* leaf = name->firstChild.get(); leaf != nullptr;
         leaf = leaf->nextSibling.get()) {
      ++children;
      if (IsLeafOf(leaf, language)) ++ofLanguage;
    }
    Removal removal{name};
    // Each delete takes the first leaf of the language that is left.
    removal.leaves = std::min(left, ofLanguage);
    left -= removal.leaves;
    if (removal.leaves > 0 && removal.leaves == children) {
      removal.whole = true;  // emptied, so pruned
    } else if (left > 0 && language == 0) {
      removal.whole = true;  // language 0 with no such leaf: every language of the name
      --left;
    } else {
      left = 0;  // the directory stays, and the id's further deletes find nothing in it
    }
    if (removal.whole || removal.leaves > 0) removals_.push_back(removal);
  }
}

std::vector<std::uint32_t> NumberedDeletion::IdsLeft() const {
  std::vector<std::uint32_t> ids;
  if (type_ == nullptr) return ids;
  std::size_t next = 0;  // removals_ are in list order
  for (const TResItem* child = type_->firstChild.get(); child != nullptr;
       child = child->nextSibling.get()) {
    bool gone = false;
    if (next < removals_.size() && removals_[next].name == child) gone = removals_[next++].whole;
    if (!IsNamed(child) && !gone) ids.push_back(child->id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

void NumberedDeletion::Apply() noexcept {
  if (type_ == nullptr || removals_.empty()) return;
  ResourceDirectory& typeCounts = type_->directory();
  LinkSlot slot = &type_->firstChild;
  std::size_t next = 0;
  while (*slot != nullptr && next < removals_.size()) {
    TResItem* name = slot->get();
    if (name != removals_[next].name) {
      slot = &name->nextSibling;
      continue;
    }
    const Removal& removal = removals_[next++];
    if (removal.whole) {
      --typeCounts.idEntryCount;
      Unlink(slot);
      continue;
    }
    ResourceDirectory& nameCounts = name->directory();
    std::uint32_t left = removal.leaves;
    for (LinkSlot leafSlot = &name->firstChild; *leafSlot != nullptr && left > 0;) {
      TResItem* leaf = leafSlot->get();
      if (!IsLeafOf(leaf, language_)) {
        leafSlot = &leaf->nextSibling;
        continue;
      }
      if (IsNamed(leaf)) --nameCounts.namedEntryCount;
      else --nameCounts.idEntryCount;
      Unlink(leafSlot);
      --left;
    }
    slot = &name->nextSibling;
  }
  removals_.clear();

  if (typeCounts.namedEntryCount + typeCounts.idEntryCount == 0) {
    LinkSlot typeSlot = &root_->firstChild;
    while (*typeSlot != nullptr && typeSlot->get() != type_) typeSlot = &(*typeSlot)->nextSibling;
    if (*typeSlot != nullptr) {
      --root_->directory().idEntryCount;
      Unlink(typeSlot);
    }
  }
  type_ = nullptr;
}

NumberedInsertion::NumberedInsertion(std::uint16_t type, const std::vector<NumberedData>& items,
                                     std::uint16_t language)
    : type_(type), language_(language) {
  entries_.reserve(items.size());
  for (const NumberedData& item : items) {
    ResourceTree leaf = TResItem::Leaf();
    StoreLeafData(leaf.get(), language, item.data, item.size);
    ResourceTree name = TResItem::Directory();
    name->id = item.id;
    name->directory().idEntryCount = 1;
    name->firstChild = std::move(leaf);
    entries_.push_back(Entry{item.id, std::move(name)});
  }
  spareType_ = TResItem::Directory();
  spareType_->id = type;
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.id < b.id; });
  const auto twice =
      std::adjacent_find(entries_.begin(), entries_.end(),
                         [](const Entry& a, const Entry& b) { return a.id == b.id; });
  if (twice != entries_.end())
    throw std::invalid_argument("resource id " + std::to_string(twice->id) + " is given twice");
}

bool NumberedInsertion::Link(TResItem* root) noexcept {
  if (entries_.empty()) return true;
  TResItem* type = FindNamedChild(root, MakeIntResource(type_))->get();
  if (type != nullptr) {
    // The first name directory of each id, in list order, takes its leaf.
    for (TResItem* child = type->firstChild.get(); child != nullptr;
         child = child->nextSibling.get()) {
      if (!IsNumberedDirectory(child)) continue;
      const auto it = std::lower_bound(entries_.begin(), entries_.end(), child->id,
                                       [](const Entry& e, std::uint32_t id) { return e.id < id; });
      if (it != entries_.end() && it->id == child->id && it->existing == nullptr)
        it->existing = child;
    }
    for (const Entry& entry : entries_) {
      if (entry.existing != nullptr && *FindLanguageChild(entry.existing, language_) != nullptr) {
        for (Entry& e : entries_) e.existing = nullptr;
        return false;
      }
    }
  } else {
    LinkSlot slot = NumberedInsertionPoint(root, type_);
    type = spareType_.get();
    spareType_->nextSibling = std::move(*slot);
    *slot = std::move(spareType_);
    ++root->directory().idEntryCount;
  }

  for (Entry& entry : entries_) {
    if (entry.existing == nullptr) continue;
    ResourceTree leaf = std::move(entry.name->firstChild);
    entry.name.reset();
    LinkSlot slot = &entry.existing->firstChild;
    while (*slot != nullptr && (*slot)->id < language_) slot = &(*slot)->nextSibling;
    leaf->nextSibling = std::move(*slot);
    *slot = std::move(leaf);
    ++entry.existing->directory().idEntryCount;
  }

  // One at a time, each new directory would go before the first numbered
  // entry whose id is not below its own. Taken in ascending order, those
  // places are met in list order, also in a list that is not sorted: an id
  // passed by the walk is above every entry before it.
  auto next = entries_.begin();
  auto nextNew = [&] {
    while (next != entries_.end() && next->name == nullptr) ++next;
    return next != entries_.end();
  };
  // Links the next new directory at slot, before what slot held.
  auto linkNext = [&](LinkSlot& slot) {
    TResItem* name = next->name.get();
    name->nextSibling = std::move(*slot);
    *slot = std::move(next->name);
    slot = &name->nextSibling;
    ++type->directory().idEntryCount;
  };
  LinkSlot slot = &type->firstChild;
  for (; *slot != nullptr; slot = &(*slot)->nextSibling) {
    if (IsNamed(slot->get())) continue;
    while (nextNew() && next->id <= (*slot)->id) linkNext(slot);
  }
  while (nextNew()) linkNext(slot);
  entries_.clear();
  return true;
}

struct NumberedResourceChange::Parts {
  NumberedDeletion deletion;
  std::optional<NumberedInsertion> insertion;
};

NumberedResourceChange::NumberedResourceChange(ResourceUpdate* update, std::uint16_t type,
                                               std::uint16_t language,
                                               const std::vector<std::uint16_t>& deleted)
    : update_(update),
      parts_(new Parts{NumberedDeletion(update != nullptr ? update->root.get() : nullptr, type,
                                        deleted, language),
                       std::nullopt}),
      type_(type),
      language_(language) {}

NumberedResourceChange::~NumberedResourceChange() = default;

std::vector<std::uint32_t> NumberedResourceChange::IdsLeft() const {
  return parts_->deletion.IdsLeft();
}

bool NumberedResourceChange::PrepareAddition(const std::vector<NumberedData>& added, Error* error) {
  try {
    parts_->insertion.emplace(type_, added, language_);
    return true;
  } catch (const EngineFailure& scratch) {
    const std::uint32_t code = scratch.error().osCode;
    if (error != nullptr)
      *error = MakeError(platform::ClassifyError(code),
                         "cannot keep a resource in a scratch file in this folder", code,
                         platform::TempDirectory());
  } catch (const std::invalid_argument& twice) {
    if (error != nullptr) *error = MakeError(ErrorKind::Internal, twice.what());
  }
  return false;
}

void NumberedResourceChange::ApplyDeletion() noexcept { parts_->deletion.Apply(); }

bool NumberedResourceChange::ApplyAddition() noexcept {
  if (!parts_->insertion || update_ == nullptr || update_->root == nullptr) return true;
  return parts_->insertion->Link(update_->root.get());
}

}  // namespace marovi
