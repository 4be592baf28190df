#include "vesk/partitioner/default_partitioner.hpp"

#include "vesk/loop/errors.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using vesk::DefaultPartitioner;

// The test vectors published with the Kafka Java client's murmur2.
TEST(Murmur2, MatchesTheKafkaClientVectors) {
  const std::map<std::string, std::int32_t> vectors = {
      {"21", -973932308},
      {"foobar", -790332482},
      {"a-little-bit-long-string", -985981536},
      {"a-little-bit-longer-string", -1486304829},
      {"lkjh234lh9fiuh90y23oiuhsafujhadof229phr9h19h89h8", -58897971},
      {"abc", 479470107},
      {"", 275646681},
  };
  for (const auto& [input, expected] : vectors) EXPECT_EQ(vesk::murmur2(input), expected) << input;
}

TEST(Murmur2, HashesBytesNotCharacters) {
  // High bytes must be taken unsigned (Java's & 0xff), and NUL bytes are data.
  EXPECT_NE(vesk::murmur2(std::string("\xff\x00\x01", 3)), vesk::murmur2(std::string("\xff", 1)));
  EXPECT_EQ(vesk::murmur2(std::string("\xc3\xa9t\xc3\xa9")), vesk::murmur2("\xc3\xa9t\xc3\xa9"));
}

TEST(DefaultPartitioner, PositiveHashModuloTheIndexCount) {
  DefaultPartitioner partitioner({0, 1, 2, 3, 4});
  // (-973932308 & 0x7fffffff) % 5 == 1173551340 % 5 == 0
  EXPECT_EQ(partitioner(std::string_view("21")), static_cast<int>((-973932308 & 0x7fffffff) % 5));
  EXPECT_EQ(partitioner(std::string_view("abc")), 479470107 % 5);
  EXPECT_EQ(partitioner(std::string_view("foobar")), (-790332482 & 0x7fffffff) % 5);
}

TEST(DefaultPartitioner, ResultIsAnElementOfTheIndicesItWasBuiltWith) {
  DefaultPartitioner partitioner({7, 9});
  for (int i = 0; i < 100; ++i) {
    int got = partitioner(std::string_view("key-" + std::to_string(i)));
    EXPECT_TRUE(got == 7 || got == 9) << got;
  }
}

TEST(DefaultPartitioner, KeylessMessagesGoToTheFirstIndexAndOneIndexTakesAll) {
  DefaultPartitioner three({0, 1, 2});
  EXPECT_EQ(three(std::optional<std::string>()), 0);
  EXPECT_EQ(three(std::optional<std::string>("abc")), three(std::string_view("abc")));
  DefaultPartitioner one({0});
  for (const char* k : {"a", "b", "c", "", "long key"}) EXPECT_EQ(one(std::string_view(k)), 0);
}

TEST(DefaultPartitioner, RefusesAnEmptySequence) { EXPECT_THROW(DefaultPartitioner({}), vesk::ValueError); }

}  // namespace
