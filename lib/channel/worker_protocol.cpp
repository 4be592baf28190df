#include "vesk/channel/worker_protocol.hpp"

#include "vesk/channel/detail/message_batch.hpp"
#include "vesk/errors/errors.hpp"

#include <utility>

namespace vesk::worker_protocol {
namespace {

constexpr std::string_view collect_request_text = "collect_key_states";
constexpr std::string_view drained_text = "drained";
constexpr std::string_view refusal_prefix = "Cannot collect key states: ";

void encode_text(std::string& out, std::string_view text) {
  pickle::Writer writer(out);
  writer.text(text);
  writer.finish();
}

bool is_text(const Value& value, std::string_view text) noexcept { return value.is_text() && value.as_text() == text; }

}  // namespace

StateHandOver::Writer::Writer(std::string& out) : _writer(out) { _writer.begin_dict(); }

void StateHandOver::Writer::add(std::string_view key, const Value& state) {
  _writer.text(key);
  _writer.value(state);
}

void StateHandOver::Writer::finish() {
  _writer.end_dict();
  _writer.finish();
}

void StateHandOver::encode(std::string& out, const Dict& states) {
  pickle::Writer writer(out);
  writer.dict(states);
  writer.finish();
}

Dict StateHandOver::decode(Value&& value) {
  if (!value.is_dict()) {
    throw TypeError(std::string("the first value on the worker channel must be a state map (dict), got ") +
                    value.kind_name() + " " + value.repr().substr(0, 200));
  }
  for (const auto& [key, state] : value.as_dict()) {
    if (!key.is_text()) throw TypeError("state map key " + key.repr() + " is not text");
  }
  return std::move(value.as_dict());
}

void MessageBatch::encode(std::string& out, const std::vector<Message>& messages) {
  detail::write_message_batch(out, messages, [](const Message& m) -> const Message& { return m; });
}

void MessageBatch::encode(std::string& out, const std::vector<const Message*>& messages) {
  detail::write_message_batch(out, messages, [](const Message* m) -> const Message& { return *m; });
}

bool MessageBatch::decode(std::string_view pickle, std::vector<Message>& out) {
  return detail::read_message_batch(pickle, out);
}

void CollectRequest::encode(std::string& out) { encode_text(out, collect_request_text); }

bool CollectRequest::is(const Value& value) noexcept { return is_text(value, collect_request_text); }

Request decode_request(std::string_view pickle, std::vector<Message>& batch, Value& other) {
  if (MessageBatch::decode(pickle, batch)) return Request::batch;
  other = pickle::loads(pickle);
  return CollectRequest::is(other) ? Request::collect : Request::other;
}

void Drained::encode(std::string& out) { encode_text(out, drained_text); }

bool Drained::is(const Value& reply) noexcept { return is_text(reply, drained_text); }

StateChangesWriter::StateChangesWriter(pickle::Writer& writer, std::size_t removed_count) : _writer(writer) {
  _writer.begin_tuple();
  _writer.integer(static_cast<std::int64_t>(removed_count));
  _writer.begin_dict();
}

void StateChangesWriter::removed(std::string_view key) {
  _writer.text(key);
  _writer.none();
}

pickle::Writer& StateChangesWriter::changed(std::string_view key) {
  _writer.text(key);
  return _writer;
}

void StateChangesWriter::finish() {
  _writer.end_dict();
  _writer.end_tuple();
}

void CollectionAnswer::encode_refusal(std::string& out, std::string_view reason) {
  encode_text(out, std::string(refusal_prefix) + std::string(reason));
}

CollectionAnswer CollectionAnswer::decode_merging(std::string_view pickle, Dict& into) {
  CollectionAnswer answer;
  Value reply = pickle::loads_pair_into(pickle, into, &answer.entries);
  if (reply.is_text()) {
    answer.form = Form::refusal;
    answer.refusal = std::move(reply.as_text());
  } else if (reply.is_tuple() && reply.as_tuple().size() == 2 && reply.as_tuple()[0].is_int() &&
             reply.as_tuple()[1].is_none()) {
    answer.form = Form::changes;
    answer.removed = reply.as_tuple()[0].as_int();
  } else if (reply.is_dict()) {
    answer.states = std::move(reply.as_dict());
  } else {
    throw UnexpectedCollectionAnswer(reply.kind_name());
  }
  return answer;
}

}  // namespace vesk::worker_protocol
