#include "platform/ui/layout_constraint.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/ui/view.h"
#include "platform/ui/view_internal.h"
#include "platform/ui/window.h"

namespace platform {

namespace {

enum class Axis { None, Horizontal, Vertical };

Axis axisOf(LayoutAttribute a) {
  switch (a) {
    case LayoutAttribute::Left:
    case LayoutAttribute::Right:
    case LayoutAttribute::Leading:
    case LayoutAttribute::Trailing:
    case LayoutAttribute::Width:
    case LayoutAttribute::CenterX:
      return Axis::Horizontal;
    case LayoutAttribute::Top:
    case LayoutAttribute::Bottom:
    case LayoutAttribute::Height:
    case LayoutAttribute::CenterY:
      return Axis::Vertical;
    case LayoutAttribute::NotAnAttribute:
      break;
  }
  return Axis::None;
}

bool isDimension(LayoutAttribute a) { return a == LayoutAttribute::Width || a == LayoutAttribute::Height; }

const char* attributeName(LayoutAttribute a) {
  switch (a) {
    case LayoutAttribute::Left:
      return "left";
    case LayoutAttribute::Right:
      return "right";
    case LayoutAttribute::Top:
      return "top";
    case LayoutAttribute::Bottom:
      return "bottom";
    case LayoutAttribute::Leading:
      return "leading";
    case LayoutAttribute::Trailing:
      return "trailing";
    case LayoutAttribute::Width:
      return "width";
    case LayoutAttribute::Height:
      return "height";
    case LayoutAttribute::CenterX:
      return "centerX";
    case LayoutAttribute::CenterY:
      return "centerY";
    case LayoutAttribute::NotAnAttribute:
      break;
  }
  return "notAnAttribute";
}

std::shared_ptr<View> commonAncestor(const std::shared_ptr<View>& a, const std::shared_ptr<View>& b) {
  if (!b) return a;
  for (auto v = a; v; v = v->superview()) {
    if (b->isDescendantOfView(*v)) return v;
  }
  return nullptr;
}

}  // namespace

LayoutConstraint::LayoutConstraint(std::weak_ptr<View> first, LayoutAttribute firstAttribute, LayoutRelation relation,
                                   std::weak_ptr<View> second, LayoutAttribute secondAttribute, double multiplier,
                                   double constant)
    : first_(std::move(first)),
      firstAttribute_(firstAttribute),
      relation_(relation),
      second_(std::move(second)),
      secondAttribute_(secondAttribute),
      multiplier_(multiplier),
      constant_(constant) {}

std::shared_ptr<LayoutConstraint> LayoutConstraint::make(const std::shared_ptr<View>& firstItem,
                                                         LayoutAttribute firstAttribute, LayoutRelation relation,
                                                         const std::shared_ptr<View>& secondItem,
                                                         LayoutAttribute secondAttribute, double multiplier,
                                                         double constant) {
  if (!firstItem || axisOf(firstAttribute) == Axis::None) {
    throw Exception(std::string(kInvalidArgumentException), "A constraint needs a first item and an attribute");
  }
  if (secondItem || secondAttribute != LayoutAttribute::NotAnAttribute) {
    if (!secondItem || axisOf(secondAttribute) == Axis::None) {
      throw Exception(std::string(kInvalidArgumentException), "A second attribute needs a second item");
    }
    // A dimension may follow the other axis' dimension; an edge or centre must stay on its axis.
    bool mixed = axisOf(firstAttribute) != axisOf(secondAttribute);
    if (mixed && !(isDimension(firstAttribute) && isDimension(secondAttribute))) {
      throw Exception(std::string(kInvalidArgumentException),
                      format("Invalid pairing of layout attributes %@ and %@", attributeName(firstAttribute),
                             attributeName(secondAttribute)));
    }
    if (isDimension(firstAttribute) != isDimension(secondAttribute)) {
      throw Exception(std::string(kInvalidArgumentException),
                      format("Invalid pairing of layout attributes %@ and %@", attributeName(firstAttribute),
                             attributeName(secondAttribute)));
    }
  } else if (!isDimension(firstAttribute)) {
    throw Exception(std::string(kInvalidArgumentException),
                    format("A constraint cannot set the location %@ to a constant", attributeName(firstAttribute)));
  }
  return std::make_shared<LayoutConstraint>(firstItem, firstAttribute, relation, secondItem, secondAttribute,
                                            multiplier, constant);
}

// Both take a copy: callers may pass a view's own list, which (de)activation changes.
void LayoutConstraint::activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
  auto list = constraints;
  for (const auto& c : list) {
    if (c) c->setActive(true);
  }
}

void LayoutConstraint::deactivate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
  auto list = constraints;
  for (const auto& c : list) {
    if (c) c->setActive(false);
  }
}

void LayoutConstraint::setConstant(double constant) {
  constant_ = constant;
  if (auto h = holder_.lock()) h->setNeedsLayout();
}

bool LayoutConstraint::isActive() const {
  auto h = holder_.lock();
  if (!h) return false;
  const auto& list = h->constraints();
  return std::find_if(list.begin(), list.end(), [this](const auto& c) { return c.get() == this; }) != list.end();
}

void LayoutConstraint::setActive(bool active) {
  if (active == isActive()) return;
  auto self = shared_from_this();
  if (!active) {
    if (auto h = holder_.lock()) h->removeConstraint(self);
    return;
  }
  auto first = first_.lock();
  auto second = second_.lock();
  auto holder = first ? commonAncestor(first, second) : nullptr;
  if (!holder) {
    throw Exception(
        std::string(kGenericException),
        format("Unable to activate constraint %@ because its items have no common ancestor.", description()));
  }
  holder->addConstraint(self);
}

std::string LayoutConstraint::description() const {
  auto first = first_.lock();
  auto second = second_.lock();
  const char* rel =
      relation_ == LayoutRelation::Equal ? "==" : (relation_ == LayoutRelation::LessThanOrEqual ? "<=" : ">=");
  std::string rhs;
  if (second) {
    rhs = format("%@.%@ * %g + %g", std::string(second->className()), attributeName(secondAttribute_), multiplier_,
                 constant_);
  } else {
    rhs = format("%g", constant_);
  }
  return format("<LayoutConstraint: %@.%@ %@ %@>", first ? std::string(first->className()) : std::string("(gone)"),
                attributeName(firstAttribute_), rel, rhs);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::relate(const LayoutAnchor& other, LayoutRelation relation,
                                                       double multiplier, double constant) const {
  return LayoutConstraint::make(view_.lock(), attribute_, relation, other.view_.lock(), other.attribute_, multiplier,
                                constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualToAnchor(const LayoutAnchor& other,
                                                                        double constant) const {
  return relate(other, LayoutRelation::Equal, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintGreaterThanOrEqualToAnchor(const LayoutAnchor& other,
                                                                                     double constant) const {
  return relate(other, LayoutRelation::GreaterThanOrEqual, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintLessThanOrEqualToAnchor(const LayoutAnchor& other,
                                                                                  double constant) const {
  return relate(other, LayoutRelation::LessThanOrEqual, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualToAnchorMultiplier(const LayoutAnchor& other,
                                                                                  double multiplier,
                                                                                  double constant) const {
  if (!isDimension(attribute_)) {
    throw Exception(std::string(kInvalidArgumentException), "Only dimensions relate with a multiplier");
  }
  return relate(other, LayoutRelation::Equal, multiplier, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualToConstant(double constant) const {
  return LayoutConstraint::make(view_.lock(), attribute_, LayoutRelation::Equal, nullptr,
                                LayoutAttribute::NotAnAttribute, 1, constant);
}

std::shared_ptr<LayoutConstraint> LayoutAnchor::constraintEqualToSystemSpacingBelowAnchor(const LayoutAnchor& other,
                                                                                          double multiplier) const {
  if (axisOf(attribute_) != Axis::Vertical || isDimension(attribute_)) {
    throw Exception(std::string(kInvalidArgumentException), "System spacing relates vertical edges only");
  }
  return relate(other, LayoutRelation::Equal, 1, LayoutConstraint::kSystemSpacing * multiplier);
}

namespace view_internal {

namespace {

// What the constraints ask of one axis of one view, in the root's coordinates.
struct AxisTargets {
  std::optional<double> min, max, center, size;
};
struct Targets {
  AxisTargets h, v;
};

double valueOf(const Rect& r, LayoutAttribute a) {
  switch (a) {
    case LayoutAttribute::Left:
    case LayoutAttribute::Leading:
      return r.minX();
    case LayoutAttribute::Right:
    case LayoutAttribute::Trailing:
      return r.maxX();
    case LayoutAttribute::Top:
      return r.minY();
    case LayoutAttribute::Bottom:
      return r.maxY();
    case LayoutAttribute::Width:
      return r.width();
    case LayoutAttribute::Height:
      return r.height();
    case LayoutAttribute::CenterX:
      return r.midX();
    case LayoutAttribute::CenterY:
      return r.midY();
    case LayoutAttribute::NotAnAttribute:
      break;
  }
  return 0;
}

void record(Targets& t, LayoutAttribute a, double value) {
  switch (a) {
    case LayoutAttribute::Left:
    case LayoutAttribute::Leading:
      t.h.min = value;
      break;
    case LayoutAttribute::Right:
    case LayoutAttribute::Trailing:
      t.h.max = value;
      break;
    case LayoutAttribute::Width:
      t.h.size = value;
      break;
    case LayoutAttribute::CenterX:
      t.h.center = value;
      break;
    case LayoutAttribute::Top:
      t.v.min = value;
      break;
    case LayoutAttribute::Bottom:
      t.v.max = value;
      break;
    case LayoutAttribute::Height:
      t.v.size = value;
      break;
    case LayoutAttribute::CenterY:
      t.v.center = value;
      break;
    case LayoutAttribute::NotAnAttribute:
      break;
  }
}

// New origin and length on one axis.
void place(const AxisTargets& t, double intrinsic, double& origin, double& length) {
  if (t.size) {
    length = *t.size;
  } else if (t.min && t.max) {
    length = *t.max - *t.min;
  } else if (intrinsic >= 0) {
    length = intrinsic;
  }
  length = std::max(0.0, length);
  if (t.min) {
    origin = *t.min;
  } else if (t.max) {
    origin = *t.max - length;
  } else if (t.center) {
    origin = *t.center - length / 2;
  }
}

void collect(View& view, std::vector<std::shared_ptr<LayoutConstraint>>& out) {
  for (const auto& c : view.constraints()) out.push_back(c);
  for (const auto& sub : view.subviews()) collect(*sub, out);
}

}  // namespace

void resolveConstraints(View& root) {
  std::vector<std::shared_ptr<LayoutConstraint>> constraints;
  collect(root, constraints);
  if (constraints.empty()) return;
  // A few passes let views placed relative to views placed later settle.
  for (int pass = 0; pass < 4; ++pass) {
    std::map<View*, Targets> targets;
    std::vector<View*> order;
    for (const auto& c : constraints) {
      auto first = c->firstItem();
      if (!first || dynamic_cast<Window*>(first.get())) continue;
      double target = c->constant();
      if (auto second = c->secondItem()) {
        Rect r = second->convertRectToView(second->bounds(), nullptr);
        target += c->multiplier() * valueOf(r, c->secondAttribute());
      } else if (c->secondAttribute() != LayoutAttribute::NotAnAttribute) {
        continue;
      }
      if (c->relation() != LayoutRelation::Equal) {
        double current = valueOf(first->convertRectToView(first->bounds(), nullptr), c->firstAttribute());
        bool holds =
            c->relation() == LayoutRelation::GreaterThanOrEqual ? current >= target - 1e-9 : current <= target + 1e-9;
        if (holds) continue;
      }
      if (!targets.contains(first.get())) order.push_back(first.get());
      record(targets[first.get()], c->firstAttribute(), target);
    }
    bool moved = false;
    for (View* v : order) {
      const Targets& t = targets[v];
      Rect r = v->convertRectToView(v->bounds(), nullptr);
      Size intrinsic = v->translatesAutoresizingMaskIntoConstraints() ? Size{-1, -1} : v->intrinsicContentSize();
      double x = r.minX(), y = r.minY(), w = r.width(), h = r.height();
      place(t.h, intrinsic.width, x, w);
      place(t.v, intrinsic.height, y, h);
      Rect placed(x, y, w, h);
      auto parent = v->superview();
      Rect local =
          parent ? parent->convertRectFromView(placed, nullptr) : placed.offsetBy(v->frame().minX(), v->frame().minY());
      if (std::abs(local.minX() - v->frame().minX()) > 1e-9 || std::abs(local.minY() - v->frame().minY()) > 1e-9 ||
          std::abs(local.width() - v->frame().width()) > 1e-9 ||
          std::abs(local.height() - v->frame().height()) > 1e-9) {
        v->setFrame(local);
        moved = true;
      }
    }
    if (!moved) break;
  }
}

}  // namespace view_internal

}  // namespace platform
