#include "vesk/detail/consumer_context.hpp"

namespace vesk::detail {
namespace {

Awaitable<void> held(std::function<std::shared_ptr<const void>()> hold, Awaitable<void> body) {
  // A task that is cancelled before it first runs never gets here, so the consumer is still
  // alive, and its owning shared_ptr exists by then.
  auto keep = hold();
  co_await std::move(body);
}

}  // namespace

Task<void> ConsumerContext::spawn(Awaitable<void> body) const {
  return Task<void>::create(*loop, held(hold, std::move(body)));
}

Handshake::Handshake(bool& all_workers_drained, bool& checkpoint_running)
    : _all_workers_drained(all_workers_drained), _checkpoint_running(checkpoint_running) {
  _update();
}

void Handshake::set_all_workers_drained(bool drained) {
  _all_workers_drained = drained;
  _update();
}

void Handshake::set_checkpoint_running(bool running) {
  _checkpoint_running = running;
  _update();
}

void Handshake::set_initial_state_sent() {
  _initial_state_sent = true;
  _update();
}

void Handshake::_update() {
  if (_all_workers_drained && _initial_state_sent) {
    _collection_allowed.set();
  } else {
    _collection_allowed.clear();
  }
  if (_checkpoint_running) {
    _no_checkpoint_running.clear();
  } else {
    _no_checkpoint_running.set();
  }
}

Awaitable<void> Handshake::wait_collection_allowed() {
  while (!_all_workers_drained || !_initial_state_sent) co_await _collection_allowed.wait();
}

Awaitable<void> Handshake::wait_no_checkpoint() {
  while (_checkpoint_running) co_await _no_checkpoint_running.wait();
}

}  // namespace vesk::detail
