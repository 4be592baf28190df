#pragma once
// What vesk-run --until-caught-up needs: knowing when every assigned partition has stored a
// checkpoint at (or past) the high watermark its source reported when the run began.

#include "loop/event_loop.hpp"
#include "loop/logging.hpp"
#include "vesk/vesk.hpp"
#include "vesk_feed/vesk_feed.hpp"
#include "vesk_file_backend/vesk_file_backend.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace vesk::run_tool {

// A file backend that hands everything to another one and counts each file's completed writes,
// so that a watcher reads a stored state again only after it may have changed.
class CountingBackend : public VeskFileBackend {
 public:
  explicit CountingBackend(std::shared_ptr<VeskFileBackend> inner);

  Awaitable<std::optional<std::string>> get_file_contents_async(std::string file_path) override;
  Awaitable<void> set_file_contents_async(std::string file_path, std::string content) override;
  Awaitable<VersionedContents> get_versioned_file_contents_async(std::string file_path) override;
  Awaitable<ConditionalWrite> set_file_contents_if_async(std::string file_path, std::string content,
                                                         std::optional<std::string> expected_tag) override;
  bool has_conditional_writes() const noexcept override { return _inner->has_conditional_writes(); }

  // Completed writes of `file_path` since the start.
  std::uint64_t writes(const std::string& file_path) const;

 private:
  std::shared_ptr<VeskFileBackend> _inner;
  std::map<std::string, std::uint64_t> _writes;
};

// Completes once the engine has partitions and each of them has a stored offset at or past the
// first high watermark the source reported for it. Polls a few times a second; logs the offsets
// when done, and a warning when the source has not told a high watermark within 30 s.
Awaitable<void> until_caught_up(Vesk& engine, const VeskFeed& feed, std::shared_ptr<CountingBackend> backend,
                                Logger logger);

}  // namespace vesk::run_tool
