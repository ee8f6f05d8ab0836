// The code-built storyboard: screens made by factories under identifiers, the initial screen,
// and segues by identifier (present a screen modally, or unwind to a screen that answers to an
// action). The app registers its storyboards before the application starts.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ui/view_controller.h"

namespace platform {

enum class SegueKind {
  Show,     // without a navigation stack, shown modally
  Present,  // present modally
  Unwind,   // back to the nearest presenter that answers to `unwindAction`
};

struct SegueDefinition {
  std::string identifier;
  SegueKind kind = SegueKind::Present;
  std::string destination;   // storyboard identifier of the destination (not for unwind)
  std::string unwindAction;  // unwind only
  bool animated = true;
  // Overrides the destination's own style when set.
  std::optional<ModalPresentationStyle> presentationStyle;
};

class Storyboard : public std::enable_shared_from_this<Storyboard> {
 public:
  using Factory = std::function<std::shared_ptr<ViewController>()>;

  explicit Storyboard(std::string name) : name_(std::move(name)) {}

  // The app's storyboards by name.
  static void registerStoryboard(const std::shared_ptr<Storyboard>& storyboard);
  // Null when there is no storyboard of that name.
  static std::shared_ptr<Storyboard> named(std::string_view name);
  static void unregisterAll();

  const std::string& name() const { return name_; }

  void addViewController(std::string identifier, Factory factory);
  void setInitialViewController(std::string identifier) { initial_ = std::move(identifier); }
  void addSegue(SegueDefinition segue);

  // Null when the storyboard names no initial screen.
  std::shared_ptr<ViewController> instantiateInitialViewController();
  // Raises NSInvalidArgumentException for an unknown identifier.
  std::shared_ptr<ViewController> instantiateViewControllerWithIdentifier(std::string_view identifier);
  const SegueDefinition* segueWithIdentifier(std::string_view identifier) const;

 private:
  std::string name_;
  std::string initial_;
  std::map<std::string, Factory, std::less<>> factories_;
  std::map<std::string, SegueDefinition, std::less<>> segues_;
};

class StoryboardSegue {
 public:
  StoryboardSegue(std::string identifier, std::shared_ptr<ViewController> source,
                  std::shared_ptr<ViewController> destination)
      : identifier_(std::move(identifier)), source_(std::move(source)), destination_(std::move(destination)) {}

  const std::string& identifier() const { return identifier_; }
  const std::shared_ptr<ViewController>& sourceViewController() const { return source_; }
  const std::shared_ptr<ViewController>& destinationViewController() const { return destination_; }

 private:
  std::string identifier_;
  std::shared_ptr<ViewController> source_;
  std::shared_ptr<ViewController> destination_;
};

}  // namespace platform
