// The worker protocol's values: what each encodes to on the wire, and how each is told apart.

#include "vesk/channel/worker_protocol.hpp"

#include "vesk/pickle/pickle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace wp = vesk::worker_protocol;
using vesk::Dict;
using vesk::List;
using vesk::Message;
using vesk::Value;
using vesk::pickle::dumps;

template <class Encode>
std::string encoded(Encode encode) {
  std::string out;
  encode(out);
  return out;
}

Value decoded_request(const std::string& pickle) {
  std::vector<Message> batch;
  Value other;
  switch (wp::decode_request(pickle, batch, other)) {
    case wp::Request::batch: return Value(static_cast<std::int64_t>(batch.size()));
    case wp::Request::collect: return Value("collect");
    case wp::Request::other: return other;
  }
  return Value();
}

// The two texts are pickles of plain strings, so a Python peer or an older worker reads them.
TEST(WorkerProtocol, TextsAreTheirWordsAndAreToldApartFromBatches) {
  EXPECT_EQ(encoded(wp::Drained::encode), dumps(Value("drained")));
  EXPECT_EQ(encoded(wp::CollectRequest::encode), dumps(Value("collect_key_states")));
  EXPECT_TRUE(wp::Drained::is(Value("drained")));
  EXPECT_FALSE(wp::Drained::is(Value("drained ")));
  EXPECT_FALSE(wp::Drained::is(Value::bytes("drained")));
  EXPECT_FALSE(wp::CollectRequest::is(Value("drained")));

  const std::vector<Message> messages{{std::string("k"), "v", 1, 7}, {std::nullopt, "", 2, 8}};
  const std::string batch = encoded([&](std::string& out) { wp::MessageBatch::encode(out, messages); });
  EXPECT_EQ(decoded_request(batch), Value(2));
  EXPECT_EQ(decoded_request(encoded([](std::string& out) { wp::MessageBatch::encode(out, std::vector<Message>{}); })),
            Value(0));
  EXPECT_EQ(decoded_request(encoded(wp::CollectRequest::encode)), Value("collect"));
  // A list in another layout is no batch of ours: it is handed on whole.
  EXPECT_EQ(decoded_request(dumps(Value(List{Value(1)}))), Value(List{Value(1)}));
}

TEST(WorkerProtocol, HandOverIsADictOfTextKeys) {
  const Dict states{{Value("a"), Value(1)}, {Value("b"), Value(List{Value("x")})}};
  std::string written;
  wp::StateHandOver::Writer writer(written);
  for (const auto& [key, state] : states) writer.add(key.as_text(), state);
  writer.finish();
  EXPECT_EQ(written, encoded([&](std::string& out) { wp::StateHandOver::encode(out, states); }));
  EXPECT_EQ(Value(wp::StateHandOver::decode(vesk::pickle::loads(written))), Value(states));
  EXPECT_EQ(wp::StateHandOver::decode(Value(Dict{})).size(), 0u);

  EXPECT_THROW(wp::StateHandOver::decode(Value(List{})), vesk::TypeError);
  EXPECT_THROW(wp::StateHandOver::decode(Value(Dict{{Value(1), Value(2)}})), vesk::TypeError);
}

// Changes land in the consumer's map in their order: a key removed and set again keeps its new
// state; a removed key holds none until the caller erases it.
TEST(WorkerProtocol, CollectionAnswerInEachForm) {
  std::string changes;
  {
    vesk::pickle::Writer writer(changes);
    wp::StateChangesWriter out(writer, 2);
    out.removed("gone");
    out.removed("back");
    out.changed("back").integer(5);
    out.changed("new").text("s");
    out.finish();
    writer.finish();
  }
  EXPECT_EQ(
      vesk::pickle::loads(changes),
      Value::tuple(
          {Value(2), Value(Dict{{Value("gone"), Value()}, {Value("back"), Value(5)}, {Value("new"), Value("s")}})}));
  Dict into{{Value("gone"), Value(1)}, {Value("kept"), Value(2)}, {Value("back"), Value(3)}};
  const auto merged = wp::CollectionAnswer::decode_merging(changes, into);
  EXPECT_EQ(merged.form, wp::CollectionAnswer::Form::changes);
  EXPECT_EQ(merged.removed, 2);
  EXPECT_EQ(merged.entries, 4u);
  EXPECT_EQ(
      Value(into),
      Value(Dict{
          {Value("gone"), Value()}, {Value("kept"), Value(2)}, {Value("back"), Value(5)}, {Value("new"), Value("s")}}));

  Dict untouched{{Value("kept"), Value(2)}};
  const Dict whole{{Value("a"), Value(1)}};
  const auto whole_answer = wp::CollectionAnswer::decode_merging(dumps(Value(whole)), untouched);
  EXPECT_EQ(whole_answer.form, wp::CollectionAnswer::Form::whole);
  EXPECT_EQ(Value(whole_answer.states), Value(whole));

  const auto refused = wp::CollectionAnswer::decode_merging(
      encoded([](std::string& out) { wp::CollectionAnswer::encode_refusal(out, "key 'k': too big"); }), untouched);
  EXPECT_EQ(refused.form, wp::CollectionAnswer::Form::refusal);
  EXPECT_EQ(refused.refusal, "Cannot collect key states: key 'k': too big");
  EXPECT_EQ(Value(untouched), Value(Dict{{Value("kept"), Value(2)}}));

  EXPECT_THROW(wp::CollectionAnswer::decode_merging(dumps(Value(List{})), untouched), vesk::TypeError);
}

}  // namespace
