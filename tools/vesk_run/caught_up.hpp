#pragma once
// What vesk-run --until-caught-up needs: knowing when every assigned partition has stored a
// checkpoint at (or past) the high watermark its source reported when the run began.

#include "vesk/loop/event_loop.hpp"
#include "vesk/loop/logging.hpp"
#include "vesk/vesk.hpp"
#include "vesk/vesk_feed/vesk_feed.hpp"

namespace vesk::run_tool {

// Completes once the engine has partitions and each of them has a stored offset at or past the
// first high watermark the source reported for it. Learns the stored offsets from the engine's
// checkpoint observer (which it takes over), and looks at the partitions and high watermarks a
// few times a second; logs the offsets when done, and a warning when the source has not told a
// high watermark within 30 s.
Awaitable<void> until_caught_up(Vesk& engine, const VeskFeed& feed, Logger logger);

}  // namespace vesk::run_tool
