#include "tests/commit/fault_scenarios.h"

#include <optional>

namespace marovi::test {

ImageSpec BaseSpec(bool pe32Plus) {
  ImageSpec spec;
  spec.pe32Plus = pe32Plus;
  spec.sectionsAfter = {SectionSpec{".reloc", Filled(0x300, 7), 0, kDiscardableData}};
  spec.relocations = {{".text", 0x10}};
  spec.debugEntries = {DebugEntrySpec{2, Filled(0x30, 3), true},
                       DebugEntrySpec{13, Filled(0x50, 4), false}};
  spec.appended = Filled(700, 9);
  return spec;
}

std::vector<Scenario> Scenarios(bool pe32Plus) {
  std::vector<Scenario> out;
  ImageSpec grow = BaseSpec(pe32Plus);
  grow.resources = {{3, 1, 0, Filled(100, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}};
  out.push_back({"growing",
                 BuildImage(grow),
                 {{3, 1, 0, Filled(500, 4)},
                  {3, 2, 0, Filled(40000, 5)},
                  {u"DATA", u"X", 1033, Filled(3000, 6)}},
                 1});

  // A tail of several move chunks: a failure in a later chunk comes after
  // earlier ones have moved, and the growing commit has to move them back.
  ImageSpec longTail = grow;
  longTail.appended = Filled(700 * 1024 + 77, 5);
  out.push_back(
      {"growing over a long tail", BuildImage(longTail), {{3, 1, 0, Filled(40000, 4)}}, 1});
  // Where the file system moves blocks (a tail of 512 KiB or more, an old
  // section that holds a block boundary), the long tail moves by an
  // inserted or removed range; refused, it is copied.
  ImageSpec longGrow = longTail;
  longGrow.resources = {{3, 1, 0, Filled(0x3000, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}};
  const Bytes longGrowImage = BuildImage(longGrow);
  out.push_back({"growing over a long tail by blocks",
                 longGrowImage,
                 {{3, 1, 0, Filled(40000, 4)}},
                 1,
                 false,
                 true});
  out.push_back({"growing over a long tail, block moves refused",
                 longGrowImage,
                 {{3, 1, 0, Filled(40000, 4)}},
                 1,
                 true});
  ImageSpec longShrink = longTail;
  longShrink.resources = {{3, 1, 0, Filled(0x12000, 1)}, {14, u"MAINICON", 0, Filled(20, 2)}};
  out.push_back({"shrinking over a long tail by blocks",
                 BuildImage(longShrink),
                 {{3, 1, 0, Filled(0x9000, 4)}},
                 -1,
                 false,
                 true});

  ImageSpec shrink = BaseSpec(pe32Plus);
  shrink.resources = {
      {3, 1, 0, Filled(0x12000, 1)}, {3, 2, 0, Filled(300, 2)}, {24, 1, 1033, Filled(400, 3)}};
  out.push_back(
      {"shrinking",
       BuildImage(shrink),
       {{3, 1, 0, Filled(33000, 4)}, {3, 2, 0, std::nullopt}, {24, 1, 1033, Filled(10, 5)}},
       -1});

  ImageSpec same = BaseSpec(pe32Plus);
  same.resources = {{3, 1, 0, Filled(40000, 1)}, {3, 2, 0, Filled(300, 2)}};
  out.push_back({"same raw size",
                 BuildImage(same),
                 {{3, 1, 0, Filled(40000, 8)}, {3, 2, 0, Filled(296, 9)}}});

  // Large unchanged leaves move inside the file instead of through the
  // section image; one of them spans several move chunks. Growing, they
  // stay where inserted blocks carry them (the tail behind them is short),
  // or move up into the room the tail made where blocks cannot be moved;
  // shrinking, down before the tail follows; at the same raw size by a few
  // bytes.
  ImageSpec large = BaseSpec(pe32Plus);
  large.resources = {{3, 1, 0, Filled(40000, 1)},
                     {10, 1, 1033, Filled(70001, 2)},
                     {10, 2, 1033, Filled(600 * 1024 + 5, 3)},
                     {14, u"MAINICON", 0, Filled(20, 4)}};
  const Bytes largeImage = BuildImage(large);
  out.push_back({"growing around large leaves",
                 largeImage,
                 {{3, 1, 0, Filled(45000, 5)}, {3, 2, 0, Filled(700, 6)}},
                 1,
                 false,
                 true});
  out.push_back({"growing around large leaves, block moves refused",
                 largeImage,
                 {{3, 1, 0, Filled(45000, 5)}, {3, 2, 0, Filled(700, 6)}},
                 1,
                 true});
  out.push_back({"shrinking around large leaves", largeImage, {{3, 1, 0, Filled(33000, 7)}}, -1});
  out.push_back({"large leaves at the same raw size", largeImage, {{3, 1, 0, Filled(39996, 8)}}});
  return out;
}

}  // namespace marovi::test
