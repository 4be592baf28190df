#pragma once
// The worker protocol's two texts as Values, for tests that play one end of a channel and compare
// what they receive or send.

#include "vesk/channel/worker_protocol.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/values/value.hpp"

#include <string>

namespace vesk::testing {

inline Value protocol_value(void (*encode)(std::string&)) {
  std::string out;
  encode(out);
  return pickle::loads(out);
}

inline const Value drained = protocol_value(worker_protocol::Drained::encode);
inline const Value collect_request = protocol_value(worker_protocol::CollectRequest::encode);

}  // namespace vesk::testing
