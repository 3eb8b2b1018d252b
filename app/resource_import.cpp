// Resources brought into a change: a compiled resource file's or another
// image's, with the images of their icon and cursor groups numbered so that
// they clash with none of the image's own.
#include "app/resource_import.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "app/resource_groups.h"

namespace marovi::app {
namespace {

using ImageKey = std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>;  // type, id, language

Error SourceError(const std::string& source, std::string detail) {
  return MakeError(ErrorKind::Refused, std::move(detail), 0, source);
}

// The image of imageType and id that a group of language lists: the one of
// that language, else the first of another.
const ImportedResource* FindImage(const std::vector<ImportedResource>& pool,
                                  std::uint16_t imageType, std::uint16_t id,
                                  std::uint16_t language) {
  const ImportedResource* found = nullptr;
  for (const ImportedResource& r : pool) {
    if (r.type.named() || r.type.id() != imageType || r.name.named() || r.name.id() != id)
      continue;
    if (r.language == language) return &r;
    if (found == nullptr) found = &r;
  }
  return found;
}

struct GroupPlan {
  const ImportedResource* group;
  std::uint16_t imageType;
  std::vector<std::uint8_t> record;
  std::vector<const ImportedResource*> images;  // in the record's order
};

// The groups of added, with the images each lists; false with error when a
// record is cut short or lists an image that pool lacks.
bool PlanGroups(const std::vector<ImportedResource>& added,
                const std::vector<ImportedResource>& pool, const std::string& source,
                std::vector<GroupPlan>& plans, Error& error) {
  for (const ImportedResource& r : added) {
    const std::optional<std::uint16_t> imageType = ImageTypeOfGroup(r.type);
    if (!imageType) continue;
    GroupPlan plan{&r, *imageType, std::vector<std::uint8_t>(r.data.begin(), r.data.end()), {}};
    const std::optional<std::vector<std::uint16_t>> ids = GroupRecordIds(plan.record);
    const std::string which = std::string(*imageType == kRtIcon ? "icon" : "cursor") +
                              " group " + KeyText(r.name) + " (language " +
                              std::to_string(r.language) + ")";
    if (!ids) {
      error = SourceError(source, "its " + which + " is cut short");
      return false;
    }
    for (std::uint16_t id : *ids) {
      const ImportedResource* image = FindImage(pool, *imageType, id, r.language);
      if (image == nullptr) {
        error = SourceError(source, "its " + which + " lists image " + std::to_string(id) +
                                        ", which it does not hold");
        return false;
      }
      plan.images.push_back(image);
    }
    plans.push_back(std::move(plan));
  }
  return true;
}

// Ids for the images of the groups: each keeps its own unless inUse holds it
// (the ids the update's images of that type have, and those of loose images
// added), else takes the lowest free one. None when no id is left.
std::optional<std::map<ImageKey, std::uint16_t>> ChooseIds(
    const std::vector<GroupPlan>& plans, std::map<std::uint16_t, std::set<std::uint16_t>> inUse) {
  std::map<ImageKey, std::uint16_t> chosen;
  for (const GroupPlan& plan : plans) {
    std::set<std::uint16_t>& used = inUse[plan.imageType];
    for (const ImportedResource* image : plan.images) {
      const ImageKey key{plan.imageType, image->name.id(), image->language};
      if (chosen.count(key) != 0) continue;
      std::uint32_t id = image->name.id();
      if (id == 0 || used.count(static_cast<std::uint16_t>(id)) != 0) {
        id = 1;
        while (id <= 0xFFFF && used.count(static_cast<std::uint16_t>(id)) != 0) ++id;
        if (id > 0xFFFF) return std::nullopt;
      }
      used.insert(static_cast<std::uint16_t>(id));
      chosen[key] = static_cast<std::uint16_t>(id);
    }
  }
  return chosen;
}

bool IsListedImage(const ImportedResource& r, const std::vector<GroupPlan>& plans) {
  for (const GroupPlan& plan : plans)
    for (const ImportedResource* image : plan.images)
      if (image == &r) return true;
  return false;
}

}  // namespace

bool ImportResources(ResourceUpdate* update, const std::vector<ImportedResource>& added,
                     const std::vector<ImportedResource>& pool, const std::string& source,
                     Error& error) {
  std::vector<GroupPlan> plans;
  if (!PlanGroups(added, pool, source, plans, error)) return false;
  // The groups replaced go first, with the images only they list.
  for (const GroupPlan& plan : plans)
    if (!DeleteGroupWithImages(update, plan.group->type.id(), plan.group->name,
                               plan.group->language, error))
      return false;
  std::vector<const ImportedResource*> loose;
  std::map<std::uint16_t, std::set<std::uint16_t>> inUse;
  for (std::uint16_t imageType : {kRtIcon, kRtCursor})
    for (const ResourceEntry& entry : ListResources(update, imageType))
      if (!entry.name.named() && entry.name.id <= 0xFFFF)
        inUse[imageType].insert(static_cast<std::uint16_t>(entry.name.id));
  for (const ImportedResource& r : added) {
    if (ImageTypeOfGroup(r.type) || IsListedImage(r, plans)) continue;
    loose.push_back(&r);
    if (!r.type.named() && (r.type.id() == kRtIcon || r.type.id() == kRtCursor) && !r.name.named())
      inUse[r.type.id()].insert(r.name.id());
  }
  const auto ids = ChooseIds(plans, inUse);
  if (!ids) {
    error = SourceError(ImageFileName(update), "no free icon or cursor image id is left for the "
                                               "images of " + source);
    return false;
  }
  for (const ImportedResource* r : loose)
    if (!StoreResource(update, r->type, r->name, r->language, r->data, error)) return false;
  for (GroupPlan& plan : plans) {
    for (std::size_t i = 0; i < plan.images.size(); ++i) {
      const ImportedResource& image = *plan.images[i];
      const std::uint16_t id = ids->at({plan.imageType, image.name.id(), image.language});
      SetGroupRecordId(plan.record, i, id);
      if (!StoreResource(update, ResourceName(plan.imageType), ResourceName(id), image.language,
                         image.data, error))
        return false;
    }
    if (!StoreResource(update, plan.group->type, plan.group->name, plan.group->language,
                       plan.record, error))
      return false;
  }
  return true;
}

}  // namespace marovi::app
