#include "vesk/values/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

using vesk::Bytes;
using vesk::Dict;
using vesk::List;
using vesk::Value;

namespace {

TEST(Value, KindsAreStrictAndAccessorsNameBothKinds) {
  EXPECT_FALSE(Value(1) == Value(1.0));
  EXPECT_FALSE(Value(true) == Value(1));
  EXPECT_FALSE(Value("ab") == Value::bytes("ab"));
  EXPECT_FALSE(Value(List{Value(1)}) == Value::tuple({Value(1)}));
  EXPECT_EQ(Value(), Value(nullptr));
  try {
    (void)Value("x").as_int();
    FAIL() << "no error";
  } catch (const vesk::TypeError& e) {
    EXPECT_STREQ(e.what(), "expected a value of kind int, got text");
  }
  EXPECT_THROW((void)Value(static_cast<std::uint64_t>(INT64_MAX) + 1), vesk::ValueError);
  EXPECT_EQ(Value(std::numeric_limits<std::int64_t>::min()).as_int(), std::numeric_limits<std::int64_t>::min());
}

TEST(Value, FloatsCompareAsDataAndHashConsistently) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(Value(nan), Value(nan));
  EXPECT_EQ(Value(0.0), Value(-0.0));
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());
  EXPECT_EQ(Value(nan).hash(), Value(-nan).hash());
}

TEST(Value, CopiesAreDeep) {
  Value original(List{Value(Dict{{"a", 1}})});
  Value copy = original;
  copy.as_list()[0].as_dict().set("a", 2);
  copy.as_list().emplace_back(std::int64_t{3});
  EXPECT_EQ(original.as_list().size(), 1u);
  EXPECT_EQ(original.as_list()[0].as_dict().at("a"), Value(1));
}

TEST(Value, ReprReadsLikePython) {
  Dict d;
  d.set("k", Value::tuple({1, 2.5, Value()}));
  d.set(7, Value::bytes(std::string("\x00\xff'", 3)));
  d.set(Value::tuple({Value(true)}),
        List{Value("it's"), Value(1e100), Value(-std::numeric_limits<double>::infinity())});
  EXPECT_EQ(Value(d).repr(), "{'k': (1, 2.5, None), 7: b'\\x00\\xff\\'', (True,): ['it\\'s', 1e+100, -inf]}");
  EXPECT_EQ(Value(3.0).repr(), "3.0");
  EXPECT_EQ(Value::tuple({}).repr(), "()");
}

TEST(Dict, KeepsInsertionOrderAndReplacesInPlace) {
  Dict d;
  d.set("b", 1);
  d.set("a", 2);
  d.set(3, 3);
  d.set("b", 4);
  std::vector<Value> keys;
  for (const auto& [k, v] : d) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<Value>{"b", "a", 3}));
  EXPECT_EQ(d.at("b"), Value(4));
  EXPECT_EQ(d.size(), 3u);
  EXPECT_TRUE(d.erase("a"));
  EXPECT_FALSE(d.erase("a"));
  EXPECT_EQ(d.find("a"), nullptr);
  EXPECT_EQ(*d.find(3), Value(3));
  EXPECT_EQ(*d.find_text("b"), Value(4));
  EXPECT_THROW((void)d.at("missing"), vesk::KeyError);
}

TEST(Dict, ManyKeysStayFindableAcrossGrowth) {
  Dict d;
  for (int i = 0; i < 20000; ++i) d.set("key-" + std::to_string(i), i);
  for (int i = 0; i < 20000; i += 97) d.set(i, -i);  // int keys never collide with text keys
  ASSERT_EQ(d.size(), 20000u + 207u);
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(*d.find_text("key-" + std::to_string(i)), Value(i));
  EXPECT_EQ(*d.find(97), Value(-97));
}

TEST(Dict, EqualityIgnoresOrderAndUnhashableKeysAreRefused) {
  Dict a{{"x", 1}, {"y", List{Value(2)}}};
  Dict b{{"y", List{Value(2)}}, {"x", 1}};
  EXPECT_EQ(a, b);
  b.set("x", 1.0);
  EXPECT_NE(a, b);
  Dict d;
  EXPECT_THROW(d.set(List{}, 1), vesk::TypeError);
  EXPECT_THROW(d.set(Value::tuple({List{}}), 1), vesk::TypeError);
  EXPECT_EQ(d.find(List{}), nullptr);
  d.set(Value::tuple({1, "a"}), 1);
  EXPECT_TRUE(d.contains(Value::tuple({1, "a"})));
}

TEST(Dict, LookupsHoldAcrossTheSwitchFromSmallToIndexed) {
  // Small dicts are searched in order and get a table once they grow: every operation must give
  // the same answers on both sides of that switch, including after erasing.
  for (int size : {1, 7, 8, 9, 10, 30}) {
    Dict d;
    for (int i = 0; i < size; ++i) d.set("k" + std::to_string(i), i);
    d.set("k0", 100);  // replaced in place
    ASSERT_EQ(d.size(), static_cast<std::size_t>(size)) << size;
    EXPECT_EQ(d.begin()->first, Value("k0"));
    EXPECT_EQ(*d.find_text("k0"), Value(100));
    EXPECT_TRUE(d.erase("k0"));
    for (int i = 1; i < size; ++i) {
      ASSERT_EQ(*d.find_text("k" + std::to_string(i)), Value(i)) << size;
      ASSERT_EQ(*d.find(Value("k" + std::to_string(i))), Value(i)) << size;
    }
    EXPECT_EQ(d.find_text("k0"), nullptr);
    EXPECT_THROW(d.set(List{}, 1), vesk::TypeError);
    EXPECT_EQ(d.size(), static_cast<std::size_t>(size - 1));
  }
}

TEST(Dict, SetEachActsAsSetOneByOne) {
  for (std::size_t base : {0u, 3u, 20u}) {
    Dict batched, single;
    for (std::size_t i = 0; i < base; ++i) {
      batched.set(Value(static_cast<int>(i)), 0);
      single.set(Value(static_cast<int>(i)), 0);
    }
    // Keys repeat within the batch and with what is there: the last value wins, positions stay.
    std::vector<Value> keys, values;
    for (int i = 0; i < 12; ++i) {
      keys.emplace_back(i % 9);
      values.emplace_back("v" + std::to_string(i));
    }
    for (std::size_t i = 0; i < keys.size(); ++i) single.set(keys[i], values[i]);
    batched.set_each(
        keys.size(), [&](std::size_t i) -> Value& { return keys[i]; },
        [&](std::size_t i) -> Value& { return values[i]; });
    ASSERT_EQ(batched.size(), single.size());
    for (std::size_t i = 0; i < single.size(); ++i) {
      EXPECT_EQ(batched.entries()[i], single.entries()[i]) << base << " " << i;
    }
  }
}

TEST(Dict, AdoptActsAsSetOneByOne) {
  // Entries built in place and adopted in one go must end as set() would leave them, in the
  // small layout, across the switch to the indexed one, and within the indexed one.
  for (std::size_t base : {0u, 2u, 6u, 20u}) {
    for (std::size_t batch : {1u, 3u, 12u, 40u}) {
      Dict adopted, single;
      for (std::size_t i = 0; i < base; ++i) {
        adopted.set(Value(static_cast<int>(i)), 0);
        single.set(Value(static_cast<int>(i)), 0);
      }
      for (std::size_t i = 0; i < batch; ++i) {
        Value key = i % 2 ? Value("k" + std::to_string(i % 5)) : Value(static_cast<int>(i % 7));
        single.set(key, static_cast<int>(i));
        auto& entry = adopted.append_unadopted();
        entry.first = key;
        entry.second = static_cast<int>(i);
      }
      adopted.adopt(base);
      ASSERT_EQ(adopted.size(), single.size()) << base << " " << batch;
      for (std::size_t i = 0; i < single.size(); ++i) {
        EXPECT_EQ(adopted.entries()[i], single.entries()[i]) << base << " " << batch << " " << i;
        EXPECT_EQ(*adopted.find(single.entries()[i].first), single.entries()[i].second);
      }
    }
  }
  for (std::size_t base : {1u, 12u}) {
    Dict d;
    for (std::size_t i = 0; i < base; ++i) d.set(Value(static_cast<int>(i)), 0);
    d.append_unadopted() = {Value(100), Value(1)};
    d.append_unadopted() = {Value(List{}), Value(2)};
    EXPECT_THROW(d.adopt(base), vesk::TypeError);
    // The batch is dropped; what was there is whole.
    EXPECT_EQ(d.size(), base);
    EXPECT_EQ(d.find(Value(100)), nullptr);
    d.set(100, 3);
    EXPECT_EQ(d.at(Value(100)), Value(3));
  }
}

TEST(Dict, EraseIfKeepsTheOthersInOrderAndFindable) {
  for (int size : {5, 300}) {
    Dict d;
    for (int i = 0; i < size; ++i) d.set(Value("k" + std::to_string(i)), i % 3 == 0 ? Value() : Value(i));
    const std::size_t removed = d.erase_if([](const Value&, const Value& v) { return v.is_none(); });
    EXPECT_EQ(removed, static_cast<std::size_t>((size + 2) / 3));
    int expected = 0;
    for (const auto& [key, value] : d) {
      while (expected % 3 == 0) ++expected;
      EXPECT_EQ(key, Value("k" + std::to_string(expected))) << size;
      ++expected;
    }
    for (int i = 0; i < size; ++i) {
      const Value* found = d.find(Value("k" + std::to_string(i)));
      if (i % 3 == 0) {
        EXPECT_EQ(found, nullptr) << i;
      } else {
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(*found, Value(i));
      }
    }
    d.set("new", 1);
    EXPECT_EQ(d.at(Value("new")), Value(1));
  }
}

TEST(Value, HashSeparatesKindsOfEqualLookingValues) {
  std::unordered_set<Value, vesk::ValueHash> set{Value(1),          Value(true), Value("1"),
                                                 Value::bytes("1"), Value(1.0),  Value::tuple({1})};
  EXPECT_EQ(set.size(), 6u);
}

}  // namespace
