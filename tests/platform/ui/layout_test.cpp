#include <gtest/gtest.h>

#include "platform/foundation/exception.h"
#include "platform/ui/button.h"
#include "platform/ui/label.h"
#include "platform/ui/layout_constraint.h"
#include "platform/ui/view.h"
#include "ui_fixture.h"

namespace platform::ui_tests {
namespace {

using LayoutTest = UITest;

TEST_F(LayoutTest, ConstraintsAreRecordedInOrderOnTheirCommonAncestor) {
  auto root = std::make_shared<View>(Rect(0, 0, 375, 812));
  std::vector<std::shared_ptr<Label>> labels;
  std::vector<std::shared_ptr<LayoutConstraint>> made;
  for (int i = 0; i < 16; ++i) {
    auto label = std::make_shared<Label>();
    root->addSubview(label);
    labels.push_back(label);
    made.push_back(label->topAnchor().constraintEqualToAnchor(root->topAnchor(), i * 10.0));
  }
  LayoutConstraint::activate(made);
  ASSERT_EQ(root->constraints().size(), 16u);
  for (std::size_t i = 0; i < made.size(); ++i) EXPECT_EQ(root->constraints()[i], made[i]);

  // Deactivating by position: read both first, since removal shifts the list.
  auto fifth = root->constraints()[5];
  auto fourteenth = root->constraints()[14];
  LayoutConstraint::deactivate({fifth, fourteenth});
  EXPECT_FALSE(fifth->isActive());
  EXPECT_EQ(root->constraints().size(), 14u);
  EXPECT_EQ(root->constraints()[5], made[6]);

  // A view's own size constraint stays on the view itself.
  auto width = labels[0]->widthAnchor().constraintEqualToConstant(40);
  width->setActive(true);
  EXPECT_EQ(labels[0]->constraints().size(), 1u);

  // Removing a view drops the constraints that tie it to the views that stay.
  labels[3]->removeFromSuperview();
  EXPECT_FALSE(made[3]->isActive());
  EXPECT_EQ(root->constraints().size(), 13u);

  // A view's own list may be handed back to remove every constraint it holds.
  LayoutConstraint::deactivate(root->constraints());
  EXPECT_TRUE(root->constraints().empty());
  LayoutConstraint::activate({made[0], made[1]});
  root->removeConstraints(root->constraints());
  EXPECT_TRUE(root->constraints().empty());
  EXPECT_FALSE(made[0]->isActive());
}

TEST_F(LayoutTest, ResolverPlacesConstrainedViews) {
  auto root = std::make_shared<View>(Rect(0, 0, 375, 812));
  auto overlay = std::make_shared<View>(Rect(0, 0, 375, 812));
  root->addSubview(overlay);
  auto button = std::make_shared<Button>(ButtonType::Custom, Rect(0, 0, 120, 40));
  button->setTranslatesAutoresizingMaskIntoConstraints(false);
  overlay->addSubview(button);
  auto label = std::make_shared<Label>();
  label->setTranslatesAutoresizingMaskIntoConstraints(false);
  label->setText("2/4");
  root->addSubview(label);

  LayoutConstraint::activate({
      LayoutConstraint::make(button, LayoutAttribute::Bottom, LayoutRelation::Equal, overlay, LayoutAttribute::Bottom,
                             0.9, 0),
      LayoutConstraint::make(button, LayoutAttribute::Right, LayoutRelation::Equal, overlay, LayoutAttribute::Right,
                             0.95, 0),
      button->widthAnchor().constraintEqualToConstant(120),
      button->heightAnchor().constraintEqualToConstant(40),
      label->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor()),
      label->bottomAnchor().constraintEqualToAnchor(root->bottomAnchor(), -24),
      overlay->heightAnchor().constraintEqualToAnchorMultiplier(root->heightAnchor(), 0.6),
  });
  root->layoutIfNeeded();
  EXPECT_NEAR(overlay->frame().height(), 812 * 0.6, 1e-9);
  EXPECT_NEAR(button->frame().maxY(), 812 * 0.6 * 0.9, 1e-9);
  EXPECT_NEAR(button->frame().maxX(), 375 * 0.95, 1e-9);
  EXPECT_NEAR(button->frame().width(), 120, 1e-9);
  // The label takes its text's size and sits centred, 24 points above the bottom.
  EXPECT_NEAR(label->frame().width(), label->intrinsicContentSize().width, 1e-9);
  EXPECT_NEAR(label->frame().midX(), 375.0 / 2, 1e-9);
  EXPECT_NEAR(label->frame().maxY(), 812 - 24, 1e-9);

  auto spacing = label->bottomAnchor().constraintEqualToSystemSpacingBelowAnchor(overlay->topAnchor(), 64);
  EXPECT_EQ(spacing->constant(), LayoutConstraint::kSystemSpacing * 64);
}

TEST_F(LayoutTest, MisuseRaises) {
  auto a = std::make_shared<View>();
  auto b = std::make_shared<View>();
  EXPECT_THROW(a->topAnchor().constraintEqualToAnchor(b->leftAnchor()), Exception);
  EXPECT_THROW(a->topAnchor().constraintEqualToAnchor(b->heightAnchor()), Exception);
  EXPECT_THROW(a->topAnchor().constraintEqualToConstant(3), Exception);
  EXPECT_THROW(a->leftAnchor().constraintEqualToSystemSpacingBelowAnchor(b->leftAnchor(), 1), Exception);
  // Views in different trees have no common ancestor.
  EXPECT_THROW(a->topAnchor().constraintEqualToAnchor(b->topAnchor())->setActive(true), Exception);
  // Width may follow height.
  EXPECT_NO_THROW(a->widthAnchor().constraintEqualToAnchorMultiplier(a->heightAnchor(), 2));
}

}  // namespace
}  // namespace platform::ui_tests
