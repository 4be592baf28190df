#include "vesk/detail/worker_pool.hpp"

#include "vesk/detail/checkpoint_texts.hpp"
#include "vesk/loop/errors.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

namespace vesk::detail {
namespace {

// How long a failed channel waits to learn whether its worker has ended, so that the error can
// name the worker's exit rather than only its closed connection.
constexpr std::chrono::seconds exit_grace{1};

// A worker failed: it ended, broke its channel, or never connected.
class WorkerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace

WorkerPool::WorkerPool(const ConsumerContext& context, std::vector<WorkerProcessRef>& workers)
    : _context(context), _workers(workers), _created_at(std::chrono::steady_clock::now()) {
  _fault_task = Task<void>::create(*_context.loop, _fault_body(_fault));
}

Awaitable<void> WorkerPool::_fault_body(std::shared_ptr<Fault> fault) {
  co_await fault->raised.wait();
  std::rethrow_exception(fault->error);
}

void WorkerPool::start(int count, const std::string& handler_path) {
  _create_worker_processes(count, handler_path);
  _waits.resize(_workers.size());
  for (std::size_t i = 0; i < _workers.size(); ++i) _worker_watches.push_back(_context.spawn(_watch_worker(i)));
  _slow_worker_watch = _context.spawn(_watch_slow_workers());
}

void WorkerPool::_create_worker_processes(int count, const std::string& handler_path) {
  const std::string program = WorkerProcess::program_path();
  for (int i = 0; i < count; ++i) {
    auto listener = std::make_shared<ChannelListener>(_context.logger);
    std::vector<std::string> args{listener->host(), std::to_string(listener->port()), handler_path};
    // The listener is bound and listening before the worker starts, and the accept is already
    // scheduled, so the worker's connect is always taken.
    auto conn_future = listener->accept();
    _workers.push_back(WorkerProcessRef{nullptr, conn_future, listener});
    _workers.back().process = std::make_shared<WorkerProcess>(program, args, listener->secret());
  }
}

void WorkerPool::dispose() {
  _fault_task.cancel();
  for (auto& watch : _worker_watches) watch.cancel();
  _slow_worker_watch.cancel();
  for (auto& worker : _workers) {
    if (worker.process) worker.process->kill();
    if (worker.listener) worker.listener->close();
    if (worker.conn_future) {
      fire_and_forget(*_context.loop, Vesk::PartitionConsumer::close_conn_future(worker.conn_future), _context.logger,
                      "Closing a worker connection");
    }
  }
}

DefaultPartitioner WorkerPool::partitioner() const {
  std::vector<int> indices(_workers.size());
  std::iota(indices.begin(), indices.end(), 0);
  return DefaultPartitioner(std::move(indices));
}

std::string WorkerPool::describe(std::size_t worker) const {
  std::string text = "worker " + std::to_string(worker);
  if (worker < _workers.size() && _workers[worker].process) {
    text += " (pid " + std::to_string(_workers[worker].process->pid()) + ")";
  }
  return text;
}

void WorkerPool::raise_fault(std::exception_ptr fault) {
  if (_fault->error) return;
  _fault->error = std::move(fault);
  _fault->raised.set();
}

Awaitable<void> WorkerPool::until_fault(Task<void>& work) {
  // Not attempt(): a cancellation of this wait must end the work too.
  std::exception_ptr stopped;
  try {
    co_await wait_any(work, _fault_task);
  } catch (...) {
    stopped = std::current_exception();
  }
  if (stopped || !work.done()) {
    // Disposed, or a worker failed while the work waited on something else: the work ends too.
    // (Not from a destructor: frames destroyed with the loop must not touch its other objects.)
    work.cancel();
    if (!stopped) stopped = _fault->error ? _fault->error : std::make_exception_ptr(CancelledError());
    std::rethrow_exception(stopped);
  }
  co_await work.wait();
}

Awaitable<void> WorkerPool::_watch_worker(std::size_t worker) {
  auto process = _workers[worker].process;
  const WorkerProcess::ExitStatus status = co_await process->wait_exit();
  if (_context.metrics) ++_context.metrics->worker_exits;
  raise_fault(std::make_exception_ptr(WorkerError(describe(worker) + " " + status.text())));
}

void WorkerPool::begin_wait(std::size_t worker, const char* what) {
  _waits[worker] = Wait{std::chrono::steady_clock::now(), what, 0};
}

void WorkerPool::end_wait(std::size_t worker) noexcept { _waits[worker].reset(); }

Awaitable<void> WorkerPool::_watch_slow_workers() {
  // Sleeps a whole interval while nothing waits, so that a wait is first looked at within one
  // interval of its start, and from then on exactly when its next warning is due.
  const auto interval = std::max<std::chrono::steady_clock::duration>(slow_worker_warning_interval,
                                                                      std::chrono::milliseconds(10));
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    auto next = now + interval;
    for (std::size_t i = 0; i < _waits.size(); ++i) {
      auto& wait = _waits[i];
      if (!wait) continue;
      auto due = wait->since + (wait->warnings + 1) * interval;
      if (due <= now) {
        ++wait->warnings;
        _warn_slow(i, *wait, std::chrono::duration<double>(now - wait->since).count());
        due += interval;
      }
      next = std::min(next, due);
    }
    co_await sleep(next - now);
  }
}

void WorkerPool::_warn_slow(std::size_t worker, const Wait& wait, double waited) const {
  std::string text = describe(worker);
  text[0] = 'W';
  if (std::string_view(wait.what) == "collection") {
    _context.logger->warn(checkpoint_prefix(_context.partition) + text + " has not sent its key states for " +
                          three_decimals(waited) + " s; still waiting");
  } else {
    _context.logger->warn(text + " of partition " + std::to_string(_context.partition) +
                          " has not drained its batch for " + three_decimals(waited) + " s; still waiting");
  }
}

void WorkerPool::retire_channel(std::size_t worker) noexcept {
  auto& future = _workers[worker].conn_future;
  if (!future.done() || future.failed() || future.cancelled()) return;
  try {
    if (auto connection = future.result()) connection->close();
  } catch (...) {
  }
}

Awaitable<void> WorkerPool::fail_channel(std::size_t worker, std::exception_ptr error) {
  rethrow_if_cancellation(error);
  retire_channel(worker);
  const auto fault = std::make_exception_ptr(WorkerError(describe(worker) + ": " + error_text(error)));
  // A worker that has ended raises its own fault meanwhile, which names its exit.
  co_await _fault->raised.wait_for(exit_grace);
  raise_fault(fault);
  std::rethrow_exception(_fault->error);
}

Awaitable<WorkerPool::Connection> WorkerPool::connection(std::size_t worker) {
  auto& future = _workers[worker].conn_future;
  if (!future.done()) {
    const auto left = _created_at + worker_connect_timeout - std::chrono::steady_clock::now();
    bool connected = false;
    if (left > std::chrono::steady_clock::duration::zero()) connected = co_await wait_for(future, left);
    if (!connected) {
      throw WorkerError(describe(worker) + " did not connect within " +
                        three_decimals(std::chrono::duration<double>(worker_connect_timeout).count()) + " s");
    }
  }
  co_return co_await future.wait();
}

}  // namespace vesk::detail
