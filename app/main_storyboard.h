// The code-built main storyboard: the focus, card and break screens and the segues between them.
#pragma once

#include <memory>
#include <string_view>

namespace platform {
class Storyboard;
}

inline constexpr std::string_view kMainStoryboardName = "Main";
inline constexpr std::string_view kShowCardSegue = "show_card_segue";
inline constexpr std::string_view kShortBreakSegue = "short_break_segue";
inline constexpr std::string_view kLongBreakSegue = "long_break_segue";
inline constexpr std::string_view kUnwindMainSegue = "unwind_main";
inline constexpr std::string_view kSettingSegue = "setting_segue";

std::shared_ptr<platform::Storyboard> makeMainStoryboard();
// Registers a fresh main storyboard with the platform, replacing any earlier one.
void registerMainStoryboard();
