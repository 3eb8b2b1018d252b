#include "engine/platform/mapped_view.h"

#include <utility>

namespace marovi::platform {

MappedView::MappedView(MappedView&& other) noexcept
    : file_(std::exchange(other.file_, kInvalidFile)),
      mapping_(std::exchange(other.mapping_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)) {}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    Reset();
    file_ = std::exchange(other.file_, kInvalidFile);
    mapping_ = std::exchange(other.mapping_, 0);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool MappedView::Map(FileHandle file) {
  Reset();
  file_ = file;
  return MapWholeFile(file, mapping_, data_, size_);
}

void MappedView::Reset() noexcept {
  UnmapView(data_, size_);
  CloseMapping(mapping_);
  mapping_ = 0;
  data_ = nullptr;
  size_ = 0;
}

}  // namespace marovi::platform
