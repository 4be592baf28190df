#pragma once
// The pickle of a message batch, written straight from message records and read straight back
// into them, without building Values. A batch is a list of 4-tuples (key bytes or None, value
// bytes, timestamp, offset), in the layout the Writer gives a list: MARK ... APPENDS slices of
// container_slice tuples, each MARK key value timestamp offset TUPLE. Any pickle reader decodes
// it; read_message_batch reads only this layout.
//
// A message record is any type with the members `key` (std::optional<std::string>), `value`
// (std::string), `timestamp` and `offset` (std::int64_t), such as vesk::Message.

#include "vesk/pickle/pickle_format.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::worker_protocol::detail {

namespace op = pickle::op;
using pickle::container_slice;
using pickle::get_le;
using pickle::int_from_le_bytes;
using pickle::put_int;
using pickle::put_sized;

// The opcode writers' output for a buffer sized up front: plain stores, no checks.
struct RawOut {
  char* p;
  char* room(std::size_t) noexcept { return p; }
  void commit(std::size_t n) noexcept { p += n; }
  void bytes(std::string_view b) noexcept {
    std::memcpy(p, b.data(), b.size());
    p += b.size();
  }
};

// Reads the one shape of pickle that a message batch is written in; anything else makes it
// stop, and the caller decodes the frame in full instead. Every read is bounds-checked.
class BatchReader {
 public:
  explicit BatchReader(std::string_view data)
      : _p(reinterpret_cast<const unsigned char*>(data.data())), _end(_p + data.size()) {}

  template <class Message>
  bool read(std::vector<Message>& out) {
    std::size_t count = 0;
    if (!take(op::PROTO) || !take(4) || !take(op::EMPTY_LIST)) return false;
    while (_p < _end && *_p == op::MARK) {
      ++_p;
      while (_p < _end && *_p == op::MARK) {
        ++_p;
        if (count == out.size()) out.emplace_back();
        Message& m = out[count++];
        if (_p < _end && *_p == op::NONE) {
          ++_p;
          m.key.reset();
        } else {
          if (!m.key) m.key.emplace();
          if (!bytes(*m.key)) return false;
        }
        if (!bytes(m.value) || !integer(m.timestamp) || !integer(m.offset) || !take(op::TUPLE)) return false;
      }
      if (!take(op::APPENDS)) return false;
    }
    if (!take(op::STOP) || _p != _end) return false;
    out.resize(count);
    return true;
  }

 private:
  bool take(unsigned char byte) {
    if (_p == _end || *_p != byte) return false;
    ++_p;
    return true;
  }
  bool need(std::size_t n) const { return static_cast<std::size_t>(_end - _p) >= n; }
  std::uint64_t le(int n) {
    std::uint64_t v = get_le(_p, static_cast<std::size_t>(n));
    _p += n;
    return v;
  }
  // Assigns into the string the message had, so that its buffer is reused from batch to batch.
  bool bytes(std::string& into) {
    if (!need(1)) return false;
    const unsigned char code = *_p++;
    int width = code == op::SHORT_BINBYTES ? 1 : code == op::BINBYTES ? 4 : code == op::BINBYTES8 ? 8 : 0;
    if (width == 0 || !need(static_cast<std::size_t>(width))) return false;
    const std::uint64_t n = le(width);
    if (!need(n)) return false;
    into.assign(reinterpret_cast<const char*>(_p), static_cast<std::size_t>(n));
    _p += n;
    return true;
  }
  bool integer(std::int64_t& into) {
    if (!need(1)) return false;
    const unsigned char code = *_p++;
    switch (code) {
      case op::BININT1:
        if (!need(1)) return false;
        into = static_cast<std::int64_t>(le(1));
        return true;
      case op::BININT2:
        if (!need(2)) return false;
        into = static_cast<std::int64_t>(le(2));
        return true;
      case op::BININT:
        if (!need(4)) return false;
        into = static_cast<std::int32_t>(static_cast<std::uint32_t>(le(4)));
        return true;
      case op::LONG1: {
        if (!need(1)) return false;
        const int n = *_p++;
        if (n < 1 || n > 8 || !need(static_cast<std::size_t>(n))) return false;
        const bool fits = int_from_le_bytes(_p, static_cast<std::size_t>(n), into);
        _p += n;
        return fits;
      }
      default: return false;
    }
  }

  const unsigned char* _p;
  const unsigned char* _end;
};

// Appends one whole pickle of the batch to `out`; `get(item)` gives the message record of each
// item of `messages` (records, pointers to them, ...). The buffer is sized once for the whole
// batch, then filled with plain stores.
template <class Messages, class Get>
void write_message_batch(std::string& out, const Messages& messages, Get get) {
  // At most: 9-byte headers for key and value, 10 bytes per integer, MARK and TUPLE.
  std::size_t bound = 4 + 2 * (messages.size() / container_slice + 1);
  for (const auto& item : messages) {
    const auto& m = get(item);
    bound += 40 + (m.key ? m.key->size() : 0) + m.value.size();
  }
  const std::size_t start = out.size();
  out.resize(start + bound);
  RawOut raw{out.data() + start};
  *raw.p++ = static_cast<char>(op::PROTO);
  *raw.p++ = 4;
  *raw.p++ = static_cast<char>(op::EMPTY_LIST);
  std::size_t in_slice = 0;
  auto put_bytes = [&raw](std::string_view b) { put_sized(raw, b, op::SHORT_BINBYTES, op::BINBYTES, op::BINBYTES8); };
  for (const auto& item : messages) {
    const auto& m = get(item);
    if (in_slice == 0) *raw.p++ = static_cast<char>(op::MARK);
    *raw.p++ = static_cast<char>(op::MARK);
    if (m.key) {
      put_bytes(*m.key);
    } else {
      *raw.p++ = static_cast<char>(op::NONE);
    }
    put_bytes(m.value);
    put_int(raw, m.timestamp);
    put_int(raw, m.offset);
    *raw.p++ = static_cast<char>(op::TUPLE);
    if (++in_slice == container_slice) {
      *raw.p++ = static_cast<char>(op::APPENDS);
      in_slice = 0;
    }
  }
  if (in_slice != 0) *raw.p++ = static_cast<char>(op::APPENDS);
  *raw.p++ = static_cast<char>(op::STOP);
  out.resize(static_cast<std::size_t>(raw.p - out.data()));
}

// Decodes a batch written by write_message_batch straight into `out`, reusing the records and
// string buffers it already holds. Returns false, with `out` unspecified, for any other pickle
// (another value, another writer's layout, corrupt data): decode those in full. Every read is
// bounds-checked.
template <class Message>
bool read_message_batch(std::string_view data, std::vector<Message>& out) {
  return BatchReader(data).read(out);
}

}  // namespace vesk::worker_protocol::detail
