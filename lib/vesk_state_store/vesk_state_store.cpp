#include "vesk/vesk_state_store/vesk_state_store.hpp"

#include "vesk/pickle/pickle.hpp"

#include <exception>
#include <utility>

namespace vesk {

namespace {

// Files at least this large are decoded on the blocking pool, so that restoring a big state
// does not hold up the loop.
constexpr std::size_t decode_off_loop_bytes = 1 << 20;

std::string encode(const PartitionState& state) {
  std::string out;
  // About 16 bytes per key is typical for small states; growing past that doubles anyway.
  out.reserve(64 + state.state.size() * 16);
  pickle::Writer writer(out);
  writer.begin_dict();
  writer.text("partition");
  writer.integer(state.partition);
  writer.text("offset");
  writer.integer(state.offset);
  writer.text("state");
  writer.dict(state.state);
  writer.end_dict();
  writer.finish();
  return out;
}

PartitionState decode(const std::string& bytes) { return PartitionState::from_dict(pickle::loads(bytes)); }

Awaitable<void> write_file(std::shared_ptr<VeskFileBackend> backend, std::string name, std::string bytes) {
  co_await backend->set_file_contents_async(std::move(name), std::move(bytes));
}

Awaitable<void> fail_with(std::exception_ptr error) {
  std::rethrow_exception(error);
  co_return;
}

Awaitable<std::optional<std::string>> write_file_if(std::shared_ptr<VeskFileBackend> backend, std::string name,
                                                    std::string bytes, std::optional<std::string> expected_tag,
                                                    std::exception_ptr encoding_failure) {
  if (encoding_failure) std::rethrow_exception(encoding_failure);
  auto written = co_await backend->set_file_contents_if_async(std::move(name), std::move(bytes),
                                                              std::move(expected_tag));
  if (!written.stored) co_return std::nullopt;
  co_return std::move(written.tag);
}

Awaitable<PartitionState> decode_maybe_off_loop(std::string contents) {
  if (contents.size() >= decode_off_loop_bytes) {
    auto bytes = std::make_shared<const std::string>(std::move(contents));
    auto job = [bytes]() { return decode(*bytes); };  // named: see run_blocking
    co_return co_await run_blocking(std::move(job));
  }
  co_return decode(contents);
}

}  // namespace

VeskStateStore::VeskStateStore(std::shared_ptr<VeskFileBackend> storage_provider, Logger logger)
    : storage_provider(std::move(storage_provider)), logger(std::move(logger)) {}

std::string VeskStateStore::get_partition_state_file_name(PartitionId partition) {
  return "p-" + std::to_string(partition) + ".state.pkl";
}

Awaitable<std::optional<PartitionState>> VeskStateStore::get_partition_state(PartitionId partition) {
  auto backend = storage_provider;
  std::optional<std::string> contents = co_await backend->get_file_contents_async(
      get_partition_state_file_name(partition));
  if (!contents) co_return std::nullopt;
  co_return co_await decode_maybe_off_loop(std::move(*contents));
}

Awaitable<VeskStateStore::Versioned> VeskStateStore::get_versioned_partition_state(PartitionId partition) {
  auto backend = storage_provider;
  auto read = co_await backend->get_versioned_file_contents_async(get_partition_state_file_name(partition));
  Versioned out;
  if (!read.contents) co_return out;
  out.state = co_await decode_maybe_off_loop(std::move(*read.contents));
  out.tag = std::move(read.tag);
  co_return out;
}

Awaitable<std::optional<std::string>> VeskStateStore::set_partition_state_if(PartitionId partition,
                                                                             const PartitionState& state,
                                                                             std::optional<std::string> expected_tag) {
  std::string bytes;
  std::exception_ptr failure;
  try {
    bytes = encode(state);
  } catch (...) {
    failure = std::current_exception();
  }
  return write_file_if(storage_provider, get_partition_state_file_name(partition), std::move(bytes),
                       std::move(expected_tag), failure);
}

// Not a coroutine itself: the state is encoded here, at the call, so that the file holds the
// state as it was then, whatever the caller changes before the returned operation runs. An
// encoding error reaches the caller when it awaits, like any other failure of the write.
Awaitable<void> VeskStateStore::set_partition_state(PartitionId partition, const PartitionState& state) {
  std::string bytes;
  try {
    bytes = encode(state);
  } catch (...) {
    return fail_with(std::current_exception());
  }
  return write_file(storage_provider, get_partition_state_file_name(partition), std::move(bytes));
}

}  // namespace vesk
