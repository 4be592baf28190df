#include "vesk/pickle/pickle.hpp"
#include "vesk/pickle/detail/pickle_direct.hpp"

#include "python_pickles.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

using namespace vesk;
using namespace vesk::pickle;

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

// Changes 1 to max_flips bytes of p: some flipped by one bit, some replaced outright.
void corrupt(std::string& p, std::mt19937& rng, int max_flips) {
  int flips = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_flips));
  for (int f = 0; f < flips; ++f) {
    std::size_t at = rng() % p.size();
    p[at] = rng() % 3 == 0 ? static_cast<char>(rng() & 0xff) : static_cast<char>(p[at] ^ (1 << (rng() % 8)));
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
  for (const std::string& op :
       {"X\xff\xff\xff\x7f"s, "\x8d\xff\xff\xff\xff\xff\xff\xff\xff"s, "\x8e\x00\x00\x00\x00\x00\x00\x01\x00"s,
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
  Value v = loads(
      proto4("]\x94(]\x94K\x01"
             "ah\x01"
             "e."));
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
    corrupt(p, rng, 4);
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

namespace {

using vesk::pickle::detail::loads_direct;
using vesk::pickle::detail::loads_full;
using namespace std::string_literals;

// Values our writer lays out in every way it can: batches of every size, one-entry dicts and
// one-item lists (SETITEM, APPEND), tuples as keys, and dicts or lists followed by a sibling
// tuple long enough to need its own MARK.
std::vector<Value> writer_layouts() {
  std::vector<Value> out{sample_value()};
  Dict records;
  for (int i = 0; i < 2500; ++i)
    records.set("key-" + std::to_string(i), Dict{{"count", i}, {"sum", i * 1.5}, {"last", "v"}});
  out.emplace_back(records);
  for (std::size_t n : {0u, 1u, 2u, 999u, 1000u, 1001u}) {
    List list;
    Dict dict;
    for (std::size_t i = 0; i < n; ++i) {
      list.emplace_back(Value::list({static_cast<std::int64_t>(i)}));
      dict.set(Value::tuple({static_cast<std::int64_t>(i), "t"}), Dict{{"only", Value::list({1})}});
    }
    out.emplace_back(list);
    out.emplace_back(dict);
  }
  out.push_back(Value::list({Value(Dict()), Value::tuple({1, 2, 3, 4}), Value(List()), Value::tuple({5, 6, 7, 8, 9}),
                             Value(Dict{{"a", 1}}), Value::tuple({Value(Dict{{"b", 2}}), Value::list({3}), 4, 5})}));
  out.push_back(
      Value::tuple({Value::tuple({Value::tuple({})}), Value(Dict{{Value::tuple({1, Value::tuple({2})}), 3}})}));
  out.push_back(Value(Dict{{"x", Value::tuple({Value::list({Value(Dict())}), Value::bytes(std::string(300, 'b'))})}}));
  return out;
}

TEST(PickleRoundTrip, TextIsCheckedAsUtf8AtEveryLengthAndPosition) {
  // Short ASCII text takes a quicker check: a bad byte anywhere must still be caught, both ways.
  for (std::size_t n = 1; n <= 20; ++n) {
    for (std::size_t at = 0; at < n; ++at) {
      std::string bad(n, 'a');
      bad[at] = '\xff';
      EXPECT_THROW((void)dumps(Value(bad)), vesk::ValueError) << n << " " << at;
      std::string raw = proto4("\x8c"s + static_cast<char>(n) + bad + ".");
      EXPECT_THROW((void)loads(raw), PickleError) << n << " " << at;
      std::string good = std::string(at, 'a') + "\xc3\xa9" + std::string(n - at - 1, 'a');
      EXPECT_EQ(loads(dumps(Value(good))), Value(good)) << n << " " << at;
    }
  }
}

TEST(PickleDirect, DecodesEveryLayoutOfOurWriterWithoutTheFullReader) {
  for (const Value& v : writer_layouts()) {
    Value direct;
    ASSERT_TRUE(loads_direct(dumps(v), direct)) << v.repr().substr(0, 200);
    EXPECT_TRUE(same(direct, v)) << v.repr().substr(0, 200);
    // Order is kept, records included.
    if (v.is_dict() && !v.as_dict().empty()) {
      EXPECT_EQ(direct.as_dict().begin()->first, v.as_dict().begin()->first);
    }
  }
}

TEST(PickleDirect, AgreesWithTheFullReaderOrLeavesTheInputToIt) {
  struct Case {
    std::string pickle;
    bool direct;  // whether the direct path must take it
  };
  auto nested = [](std::size_t depth) {
    std::string p = proto4("");
    for (std::size_t i = 0; i < depth; ++i) p += "]";
    for (std::size_t i = 1; i < depth; ++i) p += "a";
    return p + ".";
  };
  std::vector<Case> cases{
      // Repeated keys within a batch and across batches, small and indexed.
      {proto4("}(K\x01K\x0aK\x02K\x14K\x01K\x1eu(K\x02K\x28u."s), true},
      {proto4(
           "}(K\x01K\x01K\x02K\x02K\x03K\x03K\x04K\x04K\x05K\x05K\x06K\x06K\x07K\x07K\x08K\x08K\x09K\x09K\x01K\x00u."s),
       true},
      // A key built from values of the batch, and SETITEM on a dict inside a batch.
      {proto4("}(K\x01K\x02\x86}K\x04K\x05s\x8c\x01k]K\x06"
              "au."s),
       true},
      // A MARK after a dict or list that starts a sibling tuple.
      {proto4("](}(K\x01K\x02K\x03K\x04te."s), true},
      {proto4("](](K\x01K\x02K\x03te."s), true},
      {proto4("](}(K\x01K\x02K\x03t\x86"
              "e."s),
       true},
      // Deep but allowed, and deep enough that the full reader must judge it.
      {nested(vesk::pickle::max_depth - 1), true},
      {nested(vesk::pickle::max_depth), false},
      {nested(vesk::pickle::max_depth + 1), false},
      {proto4("K\x01\x85\x85\x85."s), true},
      // What only the full reader may take or refuse.
      {proto4("}(]K\x01u."s), false},      // unhashable key
      {proto4("}(K\x01u."s), false},       // key without a value
      {proto4("](K\x01u."s), false},       // SETITEMS on a list
      {proto4("}(K\x01K\x02e."s), false},  // APPENDS on a dict
      {proto4("K\x01K\x02."s), false},     // two values at STOP
      {proto4("K\x01.K"s), false},         // data after STOP
      {proto4("\x8c\x01\xff."s), false},   // not UTF-8
      {proto4("](K\x01\x94h\x00"
              "e."s),
       false},                                                            // memo
      {proto4("(K\x01K\x02d."s), false},                                  // DICT from a MARK
      {proto4("\x8a\x09\x00\x00\x00\x00\x00\x00\x00\x80\x00."s), false},  // beyond 64 bits
      {"\x80\x06K\x01."s, false},                                         // unknown protocol
  };
  for (const auto& p : vesk::testing::python_pickles()) cases.push_back({p, false});
  for (const auto& c : cases) {
    Value direct;
    bool taken = loads_direct(c.pickle, direct);
    EXPECT_EQ(taken, c.direct) << Value::bytes(c.pickle.substr(0, 60)).repr();
    if (taken) {
      EXPECT_TRUE(same(direct, loads_full(c.pickle))) << Value::bytes(c.pickle.substr(0, 60)).repr();
    }
  }
}

// A pair's dict is read into the given map as update() would take it, through the fast path
// and through the full reader it leaves unusual input to; other values leave the map alone.
TEST(PickleMerging, APairsDictGoesIntoTheMapAsUpdateWould) {
  Dict held;
  for (int i = 0; i < 3000; ++i) held.append_unique(Value("k" + std::to_string(i)), i);
  Dict changes;
  for (int i = 0; i < 2500; i += 2) changes.set(Value("k" + std::to_string(i * 2)), -i);
  changes.set("new", Value());
  Dict expected = held;
  expected.update(Dict(changes));
  Dict into = held;
  std::size_t read = 0;
  const Value rest = vesk::pickle::loads_pair_into(dumps(Value::tuple({7, Value(changes)})), into, &read);
  EXPECT_EQ(rest, Value::tuple({7, Value()}));
  EXPECT_EQ(read, changes.size());
  ASSERT_EQ(into.size(), expected.size());
  for (std::size_t i = 0; i < into.size(); ++i) EXPECT_EQ(into.entries()[i], expected.entries()[i]) << i;

  // The fast path takes the dict in, then meets a memo opcode and leaves the rest to the full reader.
  Dict small{{"a", 1}, {"b", 2}};
  const Value memo = vesk::pickle::loads_pair_into(proto4("K\x01}(\x8c\x01"
                                                          "aK\x07\x8c\x01zNu\x94\x86."s),
                                                   small, &read);
  EXPECT_EQ(memo, Value::tuple({1, Value()}));
  EXPECT_EQ(small, (Dict{{"a", 7}, {"b", 2}, {"z", Value()}}));
  EXPECT_EQ(read, 2u);

  EXPECT_THROW(vesk::pickle::loads_pair_into(dumps(Value::tuple({1, Value(Dict{{"a", 9}}), 2})), small), PickleError);
  for (const Value& other : {Value(Dict{{"a", 9}}), Value("refused"), Value::tuple({Value(Dict{{"a", 9}}), 1})}) {
    Dict untouched{{"a", 1}};
    EXPECT_EQ(vesk::pickle::loads_pair_into(dumps(other), untouched), other);
    EXPECT_EQ(untouched, (Dict{{"a", 1}}));
  }
}

TEST(PickleDirect, TakesNoCorruptInputTheFullReaderRefuses) {
  std::vector<std::string> pickles;
  for (const Value& v : writer_layouts()) {
    std::string p = dumps(v);
    if (p.size() < 8000) pickles.push_back(std::move(p));
  }
  std::mt19937 rng(20261209);
  for (int round = 0; round < 20000; ++round) {
    std::string p = pickles[static_cast<std::size_t>(round) % pickles.size()];
    corrupt(p, rng, 3);
    if (rng() % 4 == 0) p.resize(rng() % p.size());
    Value direct;
    bool taken = loads_direct(p, direct);
    try {
      Value full = loads_full(p);
      if (taken) {
        ASSERT_TRUE(same(direct, full)) << "round " << round;
      }
    } catch (const PickleError& e) {
      ASSERT_FALSE(taken) << "round " << round << ": " << e.what();
    }
  }
}

}  // namespace
