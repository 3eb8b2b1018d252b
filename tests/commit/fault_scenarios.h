// The images and changes the fault tests run through: growing, shrinking and
// same-size commits, over short and long tails and around large leaves.
#pragma once

#include <vector>

#include "tests/commit/commit_test_util.h"

namespace marovi::test {

struct Scenario {
  const char* name;
  Bytes image;
  std::vector<Change> changes;
  int rawSign = 0;  // the sign of the change of the section's raw size
  // The file system refuses to insert or remove blocks: the tail is copied.
  bool refuseRanges = false;
  // Where the file system can, the tail moves by whole blocks.
  bool byBlocks = false;
};

// An image with relocations, debug data and an appended tail to fix or move.
ImageSpec BaseSpec(bool pe32Plus);

std::vector<Scenario> Scenarios(bool pe32Plus);

}  // namespace marovi::test
