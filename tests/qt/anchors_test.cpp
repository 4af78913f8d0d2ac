// Where an anchored control goes when its parent is resized.

#include <gtest/gtest.h>

#include "platform/qt/anchors.h"

using platform::TAlign;
using platform::TAnchors;
using platform::qt::AnchoredRect;
using platform::qt::TAnchorRule;

namespace {

TEST(AnchoredRectTest, EachAnchorCombinationOnAParentGrownBy100And80) {
  struct Case {
    const char* name;
    TAnchors anchors;
    TAlign align;
    QRect expected;
  };
  // Design: control 50,40 60x30 in a parent of 400x300, which becomes 500x380.
  const std::vector<Case> cases = {
      {"left top", {true, true, false, false}, TAlign::alNone, QRect(50, 40, 60, 30)},
      {"right bottom", {false, false, true, true}, TAlign::alNone, QRect(150, 120, 60, 30)},
      {"top right", {false, true, true, false}, TAlign::alNone, QRect(150, 40, 60, 30)},
      {"top right bottom", {false, true, true, true}, TAlign::alNone, QRect(150, 40, 60, 110)},
      {"all four", {true, true, true, true}, TAlign::alNone, QRect(50, 40, 160, 110)},
      // Neither edge: the centre (80, 55) keeps its proportion: 80*500/400 = 100, 55*380/300 = 69.
      {"none", {false, false, false, false}, TAlign::alNone, QRect(70, 54, 60, 30)},
      {"docked at the bottom", {true, true, false, false}, TAlign::alBottom, QRect(0, 350, 500, 30)},
      {"filling the parent", {true, true, false, false}, TAlign::alClient, QRect(50, 40, 160, 110)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TAnchorRule rule{QRect(50, 40, 60, 30), QSize(400, 300), c.anchors, c.align};
    EXPECT_EQ(AnchoredRect(rule, QSize(500, 380)), c.expected);
    if (c.align != TAlign::alBottom) {
      EXPECT_EQ(AnchoredRect(rule, QSize(400, 300)), rule.design) << "design size";
    }
  }
}

TEST(AnchoredRectTest, AStretchedControlNeverGetsANegativeSize) {
  const TAnchorRule rule{QRect(0, 0, 242, 397), QSize(592, 416), TAnchors{true, true, true, true}, TAlign::alNone};
  EXPECT_EQ(AnchoredRect(rule, QSize(200, 10)), QRect(0, 0, 0, 0));
}

}  // namespace
