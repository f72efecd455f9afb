#pragma once

#include <functional>

namespace orlex::ui {

// Runs work on a thread of its own while this, the GUI thread, keeps handling what other threads queue
// for it (never the player's input), and returns when work is done; rethrows what it threw. For work
// that waits for worker threads which may themselves be waiting for their turn on the GUI thread, such
// as the intro's player while the launcher closes.
void whileServingGui(const std::function<void()>& work);

}  // namespace orlex::ui
