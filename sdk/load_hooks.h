// What each SDK class does when it is loaded (libraries registering with the core, components
// setting themselves up), run once, in one fixed order, by main before the application starts.
#pragma once

namespace sdk {

void runLoadHooks();

}  // namespace sdk
