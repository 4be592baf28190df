#include "pickle/pickle.hpp"

#include "python_pickles.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

using vesk::Bytes;
using vesk::Dict;
using vesk::List;
using vesk::Value;
using vesk::pickle::dumps;
using vesk::pickle::loads;
using vesk::pickle::PickleError;
using vesk::pickle::Writer;

namespace {

std::string proto4(std::string body) { return std::string("\x80\x04", 2) + body; }

Value sample_value() {
  Dict inner{{"a", 1}, {"b", Value::list({1.5, "x"})}};
  Dict d;
  d.set("none", Value());
  d.set("flags", Value::list({true, false}));
  d.set("ints", Value::list({0, 255, 256, 65535, 65536, -1, std::numeric_limits<std::int64_t>::min(),
                             std::numeric_limits<std::int64_t>::max(), std::int64_t{1} << 40}));
  d.set("floats", Value::list({0.0, -0.0, 2.5, std::nan(""), HUGE_VAL, -HUGE_VAL}));
  d.set("text", Value::list({"", "caf\xc3\xa9", "\xf0\x9f\x98\x80", std::string(300, 'y')}));
  d.set("bytes", Value::list({Value::bytes(std::string("\0\1\xff", 3)), Value::bytes(std::string(70000, 'z'))}));
  d.set("tuples", Value::list({Value::tuple({}), Value::tuple({1}), Value::tuple({1, 2}), Value::tuple({1, 2, 3}),
                               Value::tuple({1, 2, 3, 4}), Value::tuple({1, 2, 3, 4, 5})}));
  d.set(Value::tuple({1, "k"}), inner);
  d.set(7, Value(Dict()));
  d.set(Value::bytes("bk"), Value(List()));
  return d;
}

// Equality that also tells -0.0 from 0.0, which Value's == leaves alone.
bool same(const Value& a, const Value& b) {
  if (!(a == b)) return false;
  if (a.is_float()) return std::signbit(a.as_float()) == std::signbit(b.as_float());
  auto items = [](const std::vector<Value>& x, const std::vector<Value>& y) {
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (!same(x[i], y[i])) return false;
    }
    return true;
  };
  if (a.is_list()) return items(a.as_list(), b.as_list());
  if (a.is_tuple()) return items(a.as_tuple(), b.as_tuple());
  if (a.is_dict()) {
    for (const auto& [k, v] : a.as_dict()) {
      if (!same(v, *b.as_dict().find(k))) return false;
    }
  }
  return true;
}

// Decoding must end in a value or a PickleError, nothing else.
void decode_safely(const std::string& data) {
  try {
    (void)loads(data);
  } catch (const PickleError&) {
  }
}

std::string error_of(const std::string& data) {
  try {
    Value v = loads(data);
    return "decoded: " + v.repr();
  } catch (const PickleError& e) {
    return e.what();
  }
}

TEST(PickleRoundTrip, EveryKindSurvivesDumpsAndLoads) {
  Value v = sample_value();
  Value back = loads(dumps(v));
  EXPECT_TRUE(same(v, back)) << back.repr();
  // Dict order is kept.
  ASSERT_EQ(back.as_dict().entries().front().first, Value("none"));
}

TEST(PickleRoundTrip, LargeContainersCrossBatchBoundaries) {
  for (std::size_t n : {999u, 1000u, 1001u, 2500u}) {
    List list;
    Dict dict;
    for (std::size_t i = 0; i < n; ++i) {
      list.emplace_back(static_cast<std::int64_t>(i));
      dict.set("k" + std::to_string(i), static_cast<std::int64_t>(i));
    }
    EXPECT_EQ(loads(dumps(Value(list))), Value(list)) << n;
    EXPECT_EQ(loads(dumps(Value(dict))), Value(dict)) << n;
  }
}

TEST(PickleRoundTrip, WriterStreamsTheSameBytesAsDumps) {
  Dict state;
  for (int i = 0; i < 2345; ++i) state.set("key-" + std::to_string(i), Value::tuple({i, "v"}));
  Dict fields;
  fields.set("partition", 3);
  fields.set("offset", 42);
  fields.set("state", state);
  List long_list;
  for (int i = 0; i < 1500; ++i) long_list.emplace_back(i);
  fields.set("list", long_list);
  fields.set("empty", Value(List()));
  fields.set("tuple0", Value::tuple({}));
  fields.set("tuple2", Value::tuple({Value(), Value::bytes("b")}));
  fields.set("tuple4", Value::tuple({1, 2, 3, 4}));

  std::string out;
  Writer w(out);
  w.begin_dict();
  w.text("partition");
  w.integer(3);
  w.text("offset");
  w.integer(42);
  w.text("state");
  w.dict(state);
  w.text("list");
  w.begin_list();
  for (int i = 0; i < 1500; ++i) w.integer(i);
  w.end_list();
  w.text("empty");
  w.begin_list();
  w.end_list();
  w.text("tuple0");
  w.begin_tuple();
  w.end_tuple();
  w.text("tuple2");
  w.begin_tuple();
  w.none();
  w.bytes("b");
  w.end_tuple();
  w.text("tuple4");
  w.begin_tuple();
  for (int i = 1; i <= 4; ++i) w.integer(i);
  w.end_tuple();
  w.end_dict();
  w.finish();
  EXPECT_EQ(out, dumps(Value(fields)));
}

TEST(PickleRoundTrip, WriterRefusesMisuse) {
  std::string out;
  Writer w(out);
  EXPECT_THROW(w.end_list(), vesk::ValueError);
  w.begin_dict();
  w.text("key");
  EXPECT_THROW(w.end_dict(), vesk::ValueError);
  EXPECT_THROW(w.finish(), vesk::ValueError);
  std::string out2;
  Writer w2(out2);
  EXPECT_THROW(w2.finish(), vesk::ValueError);
  EXPECT_THROW(w2.text("\xff\xfe"), vesk::ValueError);
}

TEST(PickleRoundTrip, IntegersUseTheSmallestOpcode) {
  EXPECT_EQ(dumps(Value(5)), proto4("K\x05."));
  EXPECT_EQ(dumps(Value(300)), proto4(std::string("M\x2c\x01.", 4)));
  EXPECT_EQ(dumps(Value(-1)), proto4("J\xff\xff\xff\xff."));
  EXPECT_EQ(dumps(Value(std::int64_t{1} << 31)), proto4(std::string("\x8a\x05\x00\x00\x00\x80\x00.", 8)));
  EXPECT_EQ(dumps(Value(std::numeric_limits<std::int64_t>::min())),
            proto4(std::string("\x8a\x08\x00\x00\x00\x00\x00\x00\x00\x80.", 11)));
}

TEST(PickleRead, PythonPicklesOfEveryProtocolDecodeToTheSameValue) {
  auto pickles = vesk::testing::python_pickles();
  ASSERT_EQ(pickles.size(), 6u);
  Value first = loads(pickles[4]);
  for (std::size_t p = 0; p < pickles.size(); ++p) {
    Value v = loads(pickles[p]);
    EXPECT_TRUE(same(v, first)) << "protocol " << p << ": " << v.repr();
  }
  const Dict& d = first.as_dict();
  EXPECT_EQ(*d.find_text("sh"), Value::list({Value::list({1, 2}), Value::list({1, 2})}));
  EXPECT_EQ(*d.find_text("b"), Value::list({Value::bytes(""), Value::bytes(std::string("\0\xff", 2))}));
  EXPECT_EQ(*d.find_text("txt"), Value::list({"", "\xc3\xa9", "\xf0\x9f\x98\x80", std::string("a\nb\\c\0", 6)}));
}

TEST(PickleRead, DuplicateDictKeysKeepTheLastValueAtTheFirstPosition) {
  Value v = loads(proto4("}(K\x01K\x0aK\x02K\x14K\x01K\x1eu."));
  ASSERT_EQ(v.as_dict().size(), 2u);
  EXPECT_EQ(v.as_dict().entries()[0].first, Value(1));
  EXPECT_EQ(v.as_dict().entries()[0].second, Value(30));
}

TEST(PickleRead, ProtocolZeroTextForms) {
  EXPECT_EQ(loads("I01\n."), Value(true));
  EXPECT_EQ(loads("I-12\n."), Value(-12));
  EXPECT_EQ(loads("L9223372036854775807L\n."), Value(std::numeric_limits<std::int64_t>::max()));
  EXPECT_TRUE(std::isnan(loads("Fnan\n.").as_float()));
  EXPECT_EQ(loads("F-inf\n.").as_float(), -HUGE_VAL);
  EXPECT_EQ(loads("F1e999\n.").as_float(), HUGE_VAL);
  EXPECT_EQ(loads("S'a\\x41\\n\\'b'\n."), Value("aA\n'b"));
  EXPECT_EQ(loads("V\\u00e9\\U0001f600\\x\n."), Value("\xc3\xa9\xf0\x9f\x98\x80\\x"));
  EXPECT_EQ(loads("((I1\nI2\nl(dp0\nS'k'\np1\nI3\nsg1\nt."),
            Value::tuple({Value::list({1, 2}), Value(Dict{{"k", 3}}), "k"}));
  EXPECT_EQ(loads("(I1\nI2\n0t."), Value::tuple({1}));
  EXPECT_EQ(loads("(I1\n(I2\n1t."), Value::tuple({1}));
  EXPECT_EQ(loads("(I7\n2t."), Value::tuple({7, 7}));
}

TEST(PickleRead, BytesFromTheCodecsGlobalOnly) {
  EXPECT_EQ(loads("c_codecs\nencode\n(V\\u00ff\x01\nVlatin1\ntR."), Value::bytes("\xff\x01"));
  EXPECT_EQ(loads("c__builtin__\nbytes\n)R."), Value::bytes(""));
  EXPECT_EQ(loads(proto4("\x8c\x08\x62uiltins\x8c\x05\x62ytes\x93)R.")), Value::bytes(""));
  EXPECT_NE(error_of("c_codecs\nencode\n(Vx\nVutf8\ntR.").find("REDUCE"), std::string::npos);
  EXPECT_NE(error_of("c__builtin__\nbytes\n(I1\ntR.").find("REDUCE"), std::string::npos);
  EXPECT_NE(error_of("c_codecs\nencode\n.").find("only be called"), std::string::npos);
}

TEST(PickleRead, OpcodesThatNameGlobalsOrBuildObjectsAreRefusedByName) {
  std::string e = error_of("cos\nsystem\n(Vls\ntR.");
  EXPECT_NE(e.find("refused opcode GLOBAL"), std::string::npos) << e;
  EXPECT_NE(e.find("os.system"), std::string::npos) << e;
  EXPECT_NE(e.find("at byte 0"), std::string::npos) << e;
  struct Case {
    std::string data;
    const char* name;
  };
  for (const auto& c : std::vector<Case>{{"N)R.", "REDUCE"},
                                         {"}}b.", "BUILD"},
                                         {"(imod\nname\n.", "INST"},
                                         {"(o.", "OBJ"},
                                         {")N\x81.", "NEWOBJ"},
                                         {")N}\x92.", "NEWOBJ_EX"},
                                         {"Pid\n.", "PERSID"},
                                         {"NQ.", "BINPERSID"},
                                         {"\x82\x01.", "EXT1"},
                                         {"\x83\x01\x00.", "EXT2"},
                                         {"\x84\x01\x00\x00\x00.", "EXT4"},
                                         {"\x8c\x02os\x8c\x06system\x93.", "STACK_GLOBAL"},
                                         {"\x8f.", "EMPTY_SET"}}) {
    std::string err = error_of(c.data);
    EXPECT_NE(err.find(std::string("refused opcode ") + c.name), std::string::npos) << err;
  }
}

TEST(PickleRead, CorruptInputIsAnErrorWithItsPosition) {
  EXPECT_NE(error_of("").find("empty"), std::string::npos);
  EXPECT_NE(error_of(proto4("K")).find("at byte 2"), std::string::npos);
  EXPECT_NE(error_of(proto4("N")).find("ends before STOP"), std::string::npos);
  EXPECT_NE(error_of(proto4("N.x")).find("after STOP"), std::string::npos);
  EXPECT_NE(error_of(proto4("NN.")).find("2 values"), std::string::npos);
  EXPECT_NE(error_of(proto4("a.")).find("underflow"), std::string::npos);
  EXPECT_NE(error_of(proto4("e.")).find("without a MARK"), std::string::npos);
  EXPECT_NE(error_of(proto4("\xff.")).find("unknown opcode 0xff"), std::string::npos);
  EXPECT_NE(error_of("\x80\x06N.").find("protocol 6"), std::string::npos);
  EXPECT_NE(error_of(proto4("h\x03.")).find("memo entry 3"), std::string::npos);
  EXPECT_NE(error_of(proto4("\x8c\x02\xff\xfe.")).find("UTF-8"), std::string::npos);
  EXPECT_NE(error_of(proto4("}]K\x01s.")).find("unhashable"), std::string::npos);
  EXPECT_NE(error_of(proto4("NK\x01K\x02s.")).find("needs a dict"), std::string::npos);
}

TEST(PickleRead, DeclaredLengthsBeyondTheInputFailWithoutAllocating) {
  using namespace std::string_literals;
  for (const std::string& op : {"X\xff\xff\xff\x7f"s, "\x8d\xff\xff\xff\xff\xff\xff\xff\xff"s, "\x8e\x00\x00\x00\x00\x00\x00\x01\x00"s,
                         "\x96\x00\x00\x00\x00\x00\x10\x00\x00"s, "\x8b\xff\xff\xff\x7f"s, "\x95\xff\xff\xff\xff\xff\xff\xff\x7f"s}) {
    std::string err = error_of(proto4(op));
    EXPECT_NE(err.find("truncated"), std::string::npos) << err;
  }
  EXPECT_NE(error_of("T\xff\xff\xff\xff.").find("negative"), std::string::npos);
}

TEST(PickleRead, IntegersBeyondSixtyFourBitsAreAnError) {
  EXPECT_NE(error_of(proto4(std::string("\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x80\x00.", 12))).find("64 bits"),
            std::string::npos);
  EXPECT_NE(error_of("L9223372036854775808L\n.").find("64 bits"), std::string::npos);
  EXPECT_NE(error_of("I-9223372036854775809\n.").find("64 bits"), std::string::npos);
  // Longer but sign-extended forms that still fit are fine.
  EXPECT_EQ(loads(proto4("\x8a\x0a\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff.")), Value(-1));
  EXPECT_EQ(loads(proto4(std::string("\x8a\x00.", 3))), Value(0));
}

TEST(PickleRead, MemoCopiesFollowTheValueAsItWasCompleted) {
  // a = [1]; [a, a]: the inner list is memoized while empty and filled afterwards.
  Value v = loads(proto4("]\x94(]\x94K\x01" "ah\x01" "e."));
  EXPECT_EQ(v, Value::list({Value::list({1}), Value::list({1})}));
  // The same, memoized under an explicit index, and a dict shared through a tuple.
  Value w = loads(proto4("}q\x05(\x8c\x01kK\x02uh\x05\x86."));
  EXPECT_EQ(w, Value::tuple({Value(Dict{{"k", 2}}), Value(Dict{{"k", 2}})}));
}

TEST(PickleRead, SelfContainingOrSharedThenChangedContainersAreRefused) {
  // l = []; l.append(l)
  EXPECT_NE(error_of(proto4(std::string("]\x94h\x00\x61.", 5))).find("referenced more than once"), std::string::npos);
  // DUP then change one of the two references.
  EXPECT_NE(error_of(proto4("]2K\x01\x61\x86.")).find("referenced more than once"), std::string::npos);
}

TEST(PickleRead, NestingAndSharedReferencesCannotExhaustMemory) {
  std::string deep = proto4("");
  for (std::size_t i = 0; i < vesk::pickle::max_depth + 10; ++i) deep += "]";
  for (std::size_t i = 0; i < vesk::pickle::max_depth + 9; ++i) deep += "a";
  deep += ".";
  EXPECT_NE(error_of(deep).find("nested deeper"), std::string::npos);

  // A 100 kB list referenced again and again, each reference doubling the whole.
  std::string bomb = proto4("](");
  for (int i = 0; i < 10000; ++i) bomb += "\x8c\x08xxxxxxxx";
  bomb += "e";
  for (int i = 0; i < 40; ++i) bomb += "2\x86";
  bomb += ".";
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(error_of(bomb).find("expand"), std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(PickleRobustness, EveryTruncationEndsInAnError) {
  auto pickles = vesk::testing::python_pickles();
  Value small = sample_value();
  small.as_dict().erase("bytes");
  pickles.push_back(dumps(small));
  for (const auto& p : pickles) {
    for (std::size_t n = 0; n < p.size(); ++n) {
      EXPECT_THROW((void)loads(std::string_view(p).substr(0, n)), PickleError) << "prefix " << n;
    }
  }
}

TEST(PickleRobustness, RandomByteFlipsEndInAValueOrAnError) {
  auto pickles = vesk::testing::python_pickles();
  Value small = sample_value();
  small.as_dict().erase("bytes");
  pickles.push_back(dumps(small));
  std::mt19937 rng(20261208);
  for (int round = 0; round < 20000; ++round) {
    std::string p = pickles[static_cast<std::size_t>(round) % pickles.size()];
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) {
      std::size_t at = rng() % p.size();
      p[at] = rng() % 3 == 0 ? static_cast<char>(rng() & 0xff) : static_cast<char>(p[at] ^ (1 << (rng() % 8)));
    }
    decode_safely(p);
  }
}

}  // namespace

namespace {

TEST(PickleRoundTrip, AFailedWriteLeavesTheOutputAsItWas) {
  std::string out = "before";
  Value bad = Value::list({1, std::string(20000, 'x'), Value::list({std::string("\xc3", 1)})});
  EXPECT_THROW(vesk::pickle::dump_into(out, bad), vesk::ValueError);
  EXPECT_EQ(out, "before");
  std::string stream;
  Writer w(stream);
  w.begin_list();
  w.integer(1);
  EXPECT_THROW(w.value(bad), vesk::ValueError);
  w.integer(2);
  w.end_list();
  w.finish();
  EXPECT_EQ(loads(stream), Value::list({1, 2}));
}

}  // namespace
