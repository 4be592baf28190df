#include "vesk/loop/gate.hpp"

namespace vesk {

void Gate::enter() {
  if (!try_enter()) throw GateClosedError();
}

bool Gate::try_enter() noexcept {
  if (_closed) return false;
  if (_count++ == 0) _idle.clear();
  return true;
}

void Gate::leave() noexcept {
  if (_count == 0) return;
  if (--_count == 0) _idle.set();
}

Awaitable<void> Gate::close() {
  _closed = true;
  co_await _idle.wait();
}

}  // namespace vesk
