#pragma once
// The worker protocol: the values a partition consumer and one of its worker processes exchange
// on their channel (channel.hpp), each a type with its encode and decode. Every value is one
// pickle in one frame; the receiver tells the values apart by their kind (dict, list, tuple, text).
//
// Consumer to worker:
//   StateHandOver   the first value, exactly once: dict key text -> state, possibly empty. The
//                   worker's share of the restored partition state; nothing is answered.
//   MessageBatch    list of (key bytes or None, value bytes, timestamp, offset) tuples, in the
//                   batch's order, possibly empty. Answered with Drained.
//   CollectRequest  the text "collect_key_states". Answered with a CollectionAnswer, never with
//                   Drained.
// Worker to consumer:
//   Drained         the text "drained": the last batch is done. Any other reply to a batch is
//                   unexpected; the consumer logs it and counts it as the reply.
//   CollectionAnswer one of
//                   - the whole state map: dict key text -> state, every key the worker holds;
//                   - the changes since the previous answer (or the hand-over): the pair
//                     (number of keys removed, dict key text -> new state, or None for a key
//                     removed), the removed keys first in the dict;
//                   - a text "Cannot collect key states: <reason>", when the worker cannot
//                     answer with its states (a state that cannot be encoded, a map over the
//                     frame limit); the channel stays in step.
// On one channel the consumer waits for the answer to a value before it sends the next one.

#include "vesk/errors/errors.hpp"
#include "vesk/pickle/pickle.hpp"
#include "vesk/values/value.hpp"
#include "vesk/vesk_feed/message.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::worker_protocol {

// The first value on a channel.
struct StateHandOver {
  // Writes the state map one entry at a time, for a consumer that hands out a share of its map.
  class Writer {
   public:
    explicit Writer(std::string& out);
    void add(std::string_view key, const Value& state);
    void finish();

   private:
    pickle::Writer _writer;
  };

  static void encode(std::string& out, const Dict& states);
  // The state map of a first value; a TypeError naming what came instead of a dict with text keys.
  static Dict decode(Value&& value);
};

struct MessageBatch {
  // Appends one whole pickle of the batch to `out`, straight from the messages.
  static void encode(std::string& out, const std::vector<Message>& messages);
  static void encode(std::string& out, const std::vector<const Message*>& messages);
  // Decodes a batch written by encode straight into `out`, reusing the messages and string
  // buffers it already holds. False, with `out` unspecified, for any other pickle.
  static bool decode(std::string_view pickle, std::vector<Message>& out);
};

struct CollectRequest {
  static void encode(std::string& out);
  static bool is(const Value& value) noexcept;
};

// What a worker receives after the hand-over.
enum class Request { batch, collect, other };
// Decodes one frame: a MessageBatch into `batch`, a CollectRequest, or anything else (the whole
// value, into `other`). A list that is not a batch in encode's layout is `other` too.
Request decode_request(std::string_view pickle, std::vector<Message>& batch, Value& other);

struct Drained {
  static void encode(std::string& out);
  static bool is(const Value& reply) noexcept;
};

// Writes the changes form of a CollectionAnswer: removed() for each removed key, then changed()
// for each key with a new state, followed by that state written on writer(); then finish().
class StateChangesWriter {
 public:
  StateChangesWriter(pickle::Writer& writer, std::size_t removed_count);
  void removed(std::string_view key);
  // Writes the key; the caller writes its state next.
  pickle::Writer& changed(std::string_view key);
  void finish();

 private:
  pickle::Writer& _writer;
};

// A reply to the collection request that is none of its forms; `kind` names the value it was.
class UnexpectedCollectionAnswer : public TypeError {
 public:
  explicit UnexpectedCollectionAnswer(std::string kind_name)
      : TypeError("a collection answer must be a state map, a pair of changes or a text, got a " + kind_name),
        kind(std::move(kind_name)) {}
  std::string kind;
};

struct CollectionAnswer {
  enum class Form { whole, changes, refusal };
  Form form = Form::whole;
  Dict states;               // whole: the worker's map
  std::int64_t removed = 0;  // changes: how many keys were removed
  std::size_t entries = 0;   // changes: the entries set into the caller's map, removed keys included
  std::string refusal;       // refusal: the worker's text, as it came

  // The refusal text for `reason`.
  static void encode_refusal(std::string& out, std::string_view reason);
  // Decodes an answer. The changes are set straight into `into`, in their order, as Dict::set
  // would take them: a removed key then holds None, for the caller to erase (when `removed` > 0)
  // once the answer is read. A large map is so updated without building the changes first. A
  // whole map stays in `states`. Another kind of value is an UnexpectedCollectionAnswer, a corrupt one a
  // PickleError; on either, `into` may hold some of the entries (None for removed keys among them).
  static CollectionAnswer decode_merging(std::string_view pickle, Dict& into);
};

}  // namespace vesk::worker_protocol
