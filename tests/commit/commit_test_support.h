// The fixture of the commit tests: commits of changes to a copy of an image,
// checked whole against the file they must give, or refused untouched.
#pragma once

#include "engine/commit/commit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <span>

#include "engine/commit/result_check.h"
#include "engine/commit/section_layout.h"
#include "engine/pe/bytes.h"
#include "engine/platform/platform.h"
#include "tests/commit/commit_test_util.h"

namespace marovi::test {

class CommitTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { EXPECT_TRUE(LeftoverScratchFiles().empty()); }

  ImageSpec Spec(std::vector<ResourceSpec> resources) const {
    return SpecWith(GetParam(), std::move(resources));
  }

  // Begins an update of a copy of `before`, makes the changes, commits, and
  // checks the whole file against the expected one.
  Bytes Commit(const Bytes& before, const std::vector<Change>& changes,
               CommitDeltas* deltas = nullptr) {
    ImageFile file(before);
    {
      UpdateGuard u(file.Begin());
      EXPECT_TRUE(u);
      if (!u) return {};
      for (const Change& c : changes) {
        EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                       c.data ? c.data->data() : nullptr,
                                       c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
      }
      EXPECT_TRUE(u.End(false));
    }
    EXPECT_TRUE(Reopenable(file));
    const Bytes after = file.Read();
    const CommitDeltas d =
        ExpectCommitted(before, after, Applied(ReadResources(before).resources, changes));
    if (deltas != nullptr) *deltas = d;
    return after;
  }

  // A commit of changes that must be refused for reason: false, the reason
  // and where it lies, and the file as it was.
  void ExpectRefusedBecause(const Bytes& before, const std::vector<Change>& changes,
                            const std::string& reason) {
    ImageFile file(before);
    UpdateGuard u(file.Begin());
    ASSERT_TRUE(u);
    for (const Change& c : changes)
      EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                     c.data ? c.data->data() : nullptr,
                                     c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
    Error error;
    EXPECT_FALSE(u.End(false, &error));
    EXPECT_EQ(error.kind, ErrorKind::Refused);
    EXPECT_NE(error.detail.find(reason), std::string::npos) << error.detail;
    EXPECT_TRUE(error.offset.has_value() && *error.offset < before.size());
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == before) << "a refused commit changed the file";
  }

  // A commit that puts the resources into a section added behind the others.
  Bytes CommitAddingASection(const Bytes& before, const std::vector<Change>& changes) {
    ImageFile file(before);
    {
      UpdateGuard u(file.Begin());
      EXPECT_TRUE(u);
      if (!u) return {};
      for (const Change& c : changes)
        EXPECT_TRUE(UpdateResourceData(u.get(), KeyOf(c.type), KeyOf(c.name), c.language,
                                       c.data ? c.data->data() : nullptr,
                                       c.data ? static_cast<std::uint32_t>(c.data->size()) : 0));
      Error error;
      EXPECT_TRUE(u.End(false, &error)) << error.detail;
    }
    const Bytes after = file.Read();
    ResourceMap had;  // none for an image without resources
    if (ReadFacts(before).hasResourceSection) had = ReadResources(before).resources;
    ExpectSectionAdded(before, after, Applied(had, changes));
    return after;
  }

  // A commit that must be refused: false, and the file as it was.
  void ExpectRefused(const Bytes& before, bool deleteExisting = false,
                     void (*edit)(ResourceUpdate*) = nullptr, const char* reason = nullptr) {
    ImageFile file(before);
    UpdateGuard u(file.Begin(deleteExisting));
    ASSERT_TRUE(u);
    const Bytes big = Filled(50000, 3);
    EXPECT_TRUE(
        UpdateResourceData(u.get(), MakeIntResource(10), MakeIntResource(1), 0, big.data(), 50000));
    if (edit != nullptr) edit(u.get());
    Error error;
    EXPECT_FALSE(u.End(false, &error));
    if (reason != nullptr) {
      EXPECT_EQ(error.kind, ErrorKind::Refused);
      EXPECT_EQ(error.detail, reason);
    }
    EXPECT_TRUE(Reopenable(file));
    EXPECT_TRUE(file.Read() == before) << "a refused commit changed the file";
  }
};

}  // namespace marovi::test
