#pragma once

// The quiet period Keep Consistent waits after a change, and the three different limits put on
// it: what the watcher itself accepts, what `lumifold watch --debounce` takes, and the range of
// the app's slider.
namespace lumifold::debounce_limits {

// Seconds of quiet when nobody chooses.
inline constexpr double kDefault = 8.0;
// The watcher's cap: beyond a year no debounce is meant, and the cap keeps the whole-second
// status text in range.
inline constexpr double kLongestInWatcher = 365.0 * 24 * 3600;
// The command line takes 0 up to a day.
inline constexpr double kLongestOnCommandLine = 24 * 3600;
// The app's slider, in whole seconds.
inline constexpr double kShortestOnScreen = 5.0;
inline constexpr double kLongestOnScreen = 30.0;

// Keep Consistent's whole-tree reconciliation that no event asks for: once a day by default.
inline constexpr double kFullReconcileDefault = 24 * 3600;

}  // namespace lumifold::debounce_limits
