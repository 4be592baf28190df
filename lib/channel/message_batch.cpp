#include "channel/channel.hpp"

#include "pickle/pickle_detail.hpp"

#include <cstdint>
#include <cstring>

namespace vesk {

namespace {

namespace op = pickle::detail::op;

// Reads the one shape of pickle that a message batch is written in; anything else makes it
// stop, and the caller decodes the frame in full instead. Every read is bounds-checked.
class BatchReader {
 public:
  explicit BatchReader(std::string_view data)
      : _p(reinterpret_cast<const unsigned char*>(data.data())), _end(_p + data.size()) {}

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
    std::uint64_t v = pickle::detail::get_le(_p, static_cast<std::size_t>(n));
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
        const bool fits = pickle::detail::int_from_le_bytes(_p, static_cast<std::size_t>(n), into);
        _p += n;
        return fits;
      }
      default: return false;
    }
  }

  const unsigned char* _p;
  const unsigned char* _end;
};

}  // namespace

bool decode_message_batch(std::string_view pickle, std::vector<Message>& out) {
  return BatchReader(pickle).read(out);
}

}  // namespace vesk
