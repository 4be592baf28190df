// Interoperability with CPython's own pickle, with python3 as the other end.
#include "vesk/pickle/pickle.hpp"

#include "python_support.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>

using namespace vesk;
using namespace vesk::pickle;

namespace {

struct Case {
  std::string python;  // a Python expression building the same value
  Value value;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  auto add = [&](std::string python, Value v) { out.push_back({std::move(python), std::move(v)}); };
  add("None", Value());
  add("True", true);
  add("False", false);
  for (std::int64_t i :
       {std::int64_t{0}, std::int64_t{1}, std::int64_t{255}, std::int64_t{256}, std::int64_t{65535},
        std::int64_t{65536}, std::int64_t{-1}, std::int64_t{-256}, std::int64_t{2147483647},
        std::int64_t{-2147483648LL}, std::int64_t{2147483648LL}, std::int64_t{-2147483649LL}, std::int64_t{1} << 40,
        std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min()}) {
    add(std::to_string(i), i);
  }
  add("0.0", 0.0);
  add("-0.0", -0.0);
  add("1.5", 1.5);
  add("1e308", 1e308);
  add("5e-324", 5e-324);
  add("float('nan')", std::nan(""));
  add("float('inf')", HUGE_VAL);
  add("float('-inf')", -HUGE_VAL);
  add("''", "");
  add("'abc'", "abc");
  add("'caf\\xe9'", "caf\xc3\xa9");
  add("'\\u65e5\\u672c'", "\xe6\x97\xa5\xe6\x9c\xac");
  add("'\\U0001F600 outside the BMP'", "\xf0\x9f\x98\x80 outside the BMP");
  add("'back\\\\slash\\nnew\\rline\\x00nul\\x1asub'", std::string("back\\slash\nnew\rline\0nul\x1asub", 27));
  add("'y' * 300", std::string(300, 'y'));
  add("'z' * 70000", std::string(70000, 'z'));
  add("b''", Value::bytes(""));
  add("b'\\x00\\x01\\x00\\xff'", Value::bytes(std::string("\0\1\0\xff", 4)));
  add("bytes(range(256)) * 2", [] {
    std::string b;
    for (int r = 0; r < 2; ++r)
      for (int i = 0; i < 256; ++i) b += static_cast<char>(i);
    return Value::bytes(b);
  }());
  add("b'q' * 70000", Value::bytes(std::string(70000, 'q')));
  add("[]", Value(List()));
  add("[1, 'a', None]", Value::list({1, "a", Value()}));
  add("[[[]], [[], []]]", Value::list({Value::list({Value(List())}), Value::list({Value(List()), Value(List())})}));
  add("list(range(2500))", [] {
    List l;
    for (int i = 0; i < 2500; ++i) l.emplace_back(i);
    return Value(l);
  }());
  add("()", Value::tuple({}));
  add("(1,)", Value::tuple({1}));
  add("(1, 2)", Value::tuple({1, 2}));
  add("(1, 2, 3)", Value::tuple({1, 2, 3}));
  add("(1, 2, 3, 4)", Value::tuple({1, 2, 3, 4}));
  add("(1, 2, 3, 4, 5)", Value::tuple({1, 2, 3, 4, 5}));
  add("((), ((),), [()])",
      Value::tuple({Value::tuple({}), Value::tuple({Value::tuple({})}), Value::list({Value::tuple({})})}));
  add("{}", Value(Dict()));
  add("{'a': 1, 'b': {'c': [1.5, b'x']}}",
      Value(Dict{{"a", 1}, {"b", Value(Dict{{"c", Value::list({1.5, Value::bytes("x")})}})}}));
  add("{1: 'int', (1, 'k'): 'tuple', None: 'none', b'k': 'bytes', 2.5: 'float', -7: {}}",
      Value(Dict{{1, "int"},
                 {Value::tuple({1, "k"}), "tuple"},
                 {Value(), "none"},
                 {Value::bytes("k"), "bytes"},
                 {2.5, "float"},
                 {-7, Value(Dict())}}));
  add("{'k%d' % i: i for i in range(2500)}", [] {
    Dict d;
    for (int i = 0; i < 2500; ++i) d.set("k" + std::to_string(i), i);
    return Value(d);
  }());
  add("(lambda a: [a, a, {'again': a}])([1, 2])",
      Value::list({Value::list({1, 2}), Value::list({1, 2}), Value(Dict{{"again", Value::list({1, 2})}})}));
  add("(lambda t, s: (t, t, s, s, s))((1, 'x'), 'shared text')",
      Value::tuple({Value::tuple({1, "x"}), Value::tuple({1, "x"}), "shared text", "shared text", "shared text"}));
  add("(lambda d: {'a': d, 'b': d})({'x': [b'']})",
      Value(Dict{{"a", Value(Dict{{"x", Value::list({Value::bytes("")})}})},
                 {"b", Value(Dict{{"x", Value::list({Value::bytes("")})}})}}));
  return out;
}

// Python's own strict comparison: same types all the way down, NaN equal to NaN, -0.0 apart from 0.0.
const char* same_in_python = R"(
import math
def same(a, b):
    if type(a) is not type(b): return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b): return math.isnan(a) and math.isnan(b)
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a.keys()) == list(b.keys()) and all(same(a[k], b[k]) for k in a)
    return a == b
)";

bool same(const Value& a, const Value& b) {
  if (!(a == b)) return false;
  if (a.is_float()) return std::signbit(a.as_float()) == std::signbit(b.as_float());
  auto items = [](const std::vector<Value>& x, const std::vector<Value>& y) {
    for (std::size_t i = 0; i < x.size(); ++i)
      if (!same(x[i], y[i])) return false;
    return true;
  };
  if (a.is_list()) return items(a.as_list(), b.as_list());
  if (a.is_tuple()) return items(a.as_tuple(), b.as_tuple());
  if (a.is_dict()) {
    // Python keeps insertion order; so must we.
    for (std::size_t i = 0; i < a.as_dict().size(); ++i) {
      const auto& ea = a.as_dict().entries()[i];
      const auto& eb = b.as_dict().entries()[i];
      if (!same(ea.first, eb.first) || !same(ea.second, eb.second)) return false;
    }
  }
  return true;
}

class PicklePython : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vesk::testing::have_python()) GTEST_SKIP() << "python3 is not available";
  }
  vesk::testing::TempDir dir;
};

TEST_F(PicklePython, PythonLoadsEveryValueWeWrite) {
  auto all = cases();
  std::ostringstream script;
  script << same_in_python << "import pickle, sys\nbad = 0\ncases = [\n";
  for (const auto& c : all) script << "    " << c.python << ",\n";
  script << "]\nfor i, want in enumerate(cases):\n"
         << "    got = pickle.load(open(sys.argv[1] + '/%d.pkl' % i, 'rb'))\n"
         << "    if not same(got, want):\n"
         << "        bad += 1; print('case', i, 'got', repr(got)[:200], 'want', repr(want)[:200])\n"
         << "print('checked', len(cases))\nsys.exit(1 if bad else 0)\n";
  for (std::size_t i = 0; i < all.size(); ++i)
    vesk::testing::write_file(dir.path + "/" + std::to_string(i) + ".pkl", dumps(all[i].value));
  auto [status, output] = vesk::testing::run_python(script.str(), {dir.path}, dir.path);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("checked " + std::to_string(all.size())), std::string::npos) << output;
}

TEST_F(PicklePython, WeReadWhatPythonWritesWithEveryProtocol) {
  auto all = cases();
  std::ostringstream script;
  script << "import pickle, sys\ncases = [\n";
  for (const auto& c : all) script << "    " << c.python << ",\n";
  script << "]\nfor p in range(6):\n"
         << "    for i, v in enumerate(cases):\n"
         << "        open(sys.argv[1] + '/%d-%d.pkl' % (p, i), 'wb').write(pickle.dumps(v, protocol=p))\n"
         << "l = []; l.append(l)\n"
         << "open(sys.argv[1] + '/recursive.pkl', 'wb').write(pickle.dumps(l, protocol=4))\n"
         << "import collections\n"
         << "open(sys.argv[1] + '/object.pkl', 'wb').write(pickle.dumps(collections.OrderedDict(a=1), protocol=4))\n";
  auto [status, output] = vesk::testing::run_python(script.str(), {dir.path}, dir.path);
  ASSERT_EQ(status, 0) << output;
  for (int p = 0; p <= 5; ++p) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      std::string file = dir.path + "/" + std::to_string(p) + "-" + std::to_string(i) + ".pkl";
      try {
        Value got = loads(vesk::testing::read_file(file));
        EXPECT_TRUE(same(got, all[i].value))
            << "protocol " << p << ", " << all[i].python << ": " << got.repr().substr(0, 300);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "protocol " << p << ", " << all[i].python << ": " << e.what();
      }
    }
  }
  EXPECT_THROW((void)loads(vesk::testing::read_file(dir.path + "/recursive.pkl")), vesk::pickle::PickleError);
  try {
    (void)loads(vesk::testing::read_file(dir.path + "/object.pkl"));
    ADD_FAILURE() << "an OrderedDict was decoded";
  } catch (const vesk::pickle::PickleError& e) {
    EXPECT_NE(std::string(e.what()).find("collections.OrderedDict"), std::string::npos) << e.what();
  }
}

}  // namespace
