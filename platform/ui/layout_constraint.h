// Layout constraints: first.attribute relation multiplier × second.attribute + constant. They are
// recorded in order on the view that holds them; a small resolver places the constrained views
// (sizes first, then edges and centres, a few passes), which is all that drawing needs.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace platform {

class View;

// The platform's attribute values.
enum class LayoutAttribute {
  NotAnAttribute = 0,
  Left = 1,
  Right = 2,
  Top = 3,
  Bottom = 4,
  Leading = 5,
  Trailing = 6,
  Width = 7,
  Height = 8,
  CenterX = 9,
  CenterY = 10,
};

enum class LayoutRelation { LessThanOrEqual = -1, Equal = 0, GreaterThanOrEqual = 1 };

class LayoutConstraint : public std::enable_shared_from_this<LayoutConstraint> {
 public:
  // The spacing the platform puts between two stacked views.
  static constexpr double kSystemSpacing = 8;

  // Raises NSInvalidArgumentException when the attributes mix the axes, or when a position is
  // related to nothing.
  static std::shared_ptr<LayoutConstraint> make(const std::shared_ptr<View>& firstItem, LayoutAttribute firstAttribute,
                                                LayoutRelation relation, const std::shared_ptr<View>& secondItem,
                                                LayoutAttribute secondAttribute, double multiplier, double constant);

  // Activation installs each constraint on the closest common ancestor of its views; views with
  // no common ancestor raise NSGenericException.
  static void activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
  static void deactivate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);

  std::shared_ptr<View> firstItem() const { return first_.lock(); }
  LayoutAttribute firstAttribute() const { return firstAttribute_; }
  LayoutRelation relation() const { return relation_; }
  std::shared_ptr<View> secondItem() const { return second_.lock(); }
  LayoutAttribute secondAttribute() const { return secondAttribute_; }
  double multiplier() const { return multiplier_; }
  double constant() const { return constant_; }
  void setConstant(double constant);
  float priority() const { return priority_; }
  void setPriority(float priority) { priority_ = priority; }
  const std::string& identifier() const { return identifier_; }
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  bool isActive() const;
  void setActive(bool active);

  std::string description() const;

  LayoutConstraint(std::weak_ptr<View> first, LayoutAttribute firstAttribute, LayoutRelation relation,
                   std::weak_ptr<View> second, LayoutAttribute secondAttribute, double multiplier, double constant);

 private:
  friend class View;
  std::weak_ptr<View> first_;
  LayoutAttribute firstAttribute_;
  LayoutRelation relation_;
  std::weak_ptr<View> second_;
  LayoutAttribute secondAttribute_;
  double multiplier_;
  double constant_;
  float priority_ = 1000;
  std::string identifier_;
  std::weak_ptr<View> holder_;  // the view whose list holds the constraint while active
};

// One attribute of one view, from which constraints are made.
class LayoutAnchor {
 public:
  LayoutAnchor(std::weak_ptr<View> view, LayoutAttribute attribute) : view_(std::move(view)), attribute_(attribute) {}

  std::shared_ptr<View> view() const { return view_.lock(); }
  LayoutAttribute attribute() const { return attribute_; }

  std::shared_ptr<LayoutConstraint> constraintEqualToAnchor(const LayoutAnchor& other, double constant = 0) const;
  std::shared_ptr<LayoutConstraint> constraintGreaterThanOrEqualToAnchor(const LayoutAnchor& other,
                                                                         double constant = 0) const;
  std::shared_ptr<LayoutConstraint> constraintLessThanOrEqualToAnchor(const LayoutAnchor& other,
                                                                      double constant = 0) const;
  // Dimensions only.
  std::shared_ptr<LayoutConstraint> constraintEqualToAnchorMultiplier(const LayoutAnchor& other, double multiplier,
                                                                      double constant = 0) const;
  std::shared_ptr<LayoutConstraint> constraintEqualToConstant(double constant) const;
  // Vertical edges only: this edge = other edge + system spacing × multiplier.
  std::shared_ptr<LayoutConstraint> constraintEqualToSystemSpacingBelowAnchor(const LayoutAnchor& other,
                                                                              double multiplier) const;

 private:
  std::shared_ptr<LayoutConstraint> relate(const LayoutAnchor& other, LayoutRelation relation, double multiplier,
                                           double constant) const;
  std::weak_ptr<View> view_;
  LayoutAttribute attribute_;
};

}  // namespace platform
