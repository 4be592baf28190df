#include "vesk/stream_handler/value_traits.hpp"

#include "vesk/pickle/pickle_format.hpp"

#include <string>

namespace vesk::detail {

void throw_conversion(const char* wanted, const Value& got) {
  throw TypeError(std::string("expected ") + wanted + ", got " + got.kind_name() + " " + got.repr().substr(0, 80));
}

void throw_out_of_range(const char* wanted, std::int64_t got) {
  throw ValueError(std::to_string(got) + " is out of range for an " + wanted);
}

void throw_arity(std::size_t wanted, std::size_t got) {
  throw TypeError("expected a tuple of " + std::to_string(wanted) + " items, got " + std::to_string(got));
}

void rethrow_within(const std::string& where) {
  try {
    throw;
  } catch (const TypeError& e) {
    throw TypeError(where + ": " + e.what());
  } catch (const ValueError& e) {
    throw ValueError(where + ": " + e.what());
  } catch (const std::exception& e) {
    throw ValueError(where + ": " + e.what());
  }
}

bool is_pickle_text(std::string_view s) noexcept { return pickle::valid_utf8(s); }

const std::vector<Value>& sequence_items(const Value& value, const char* wanted) {
  if (value.is_list()) return value.as_list();
  if (value.is_tuple()) return value.as_tuple();
  throw_conversion(wanted, value);
}

}  // namespace vesk::detail
