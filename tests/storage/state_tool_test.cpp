// vesk-state, run as a program: dump and write through python3 as the other end, and bad input.
#include "python_support.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using vesk::testing::run_command;
using vesk::testing::shell_quote;

struct StateToolTest : ::testing::Test {
  void SetUp() override {
    if (!vesk::testing::have_python()) GTEST_SKIP() << "python3 is not available";
  }
  std::pair<int, std::string> tool(const std::string& args, const std::string& stdin_file = "") {
    std::string command = shell_quote(VESK_STATE_PROGRAM) + " " + args;
    if (!stdin_file.empty()) command += " < " + shell_quote(stdin_file);
    return run_command(command);
  }
  std::string at(const std::string& name) { return dir.path + "/" + name; }
  vesk::testing::TempDir dir;
};

const char* expected_state_script = R"(
import math
want = {'partition': 3, 'offset': 10, 'state': {
    'a': 1, 'b': [1.5, float('nan'), float('inf'), float('-inf'), -0.0], 'c': (1, 'x', ()),
    'd': {1: 'x', (2, b'k'): None}, 'e': b'\x00\xffbytes', 'f': 'NaN', 'g': {'$bytes': 'x'}, 'h': None,
    '\u65e5\U0001F600': True, 'i': -2**63, 'j': 2**63 - 1, 'k': {}, 'l': [], 'm': {'nested': {'x': [1, {'y': 2}]}}}}
def same(a, b):
    if type(a) is not type(b): return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)): return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict): return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
)";

TEST_F(StateToolTest, DumpThenWriteRoundTripsThroughPython) {
  auto [made, made_out] = vesk::testing::run_python(std::string(expected_state_script) + R"(
import pickle, sys
for p in (0, 2, 4, 5):
    open(sys.argv[1] + '/p%d.pkl' % p, 'wb').write(pickle.dumps(want, protocol=p))
)",
                                                    {dir.path}, dir.path);
  ASSERT_EQ(made, 0) << made_out;
  for (int p : {0, 2, 4, 5}) {
    std::string in = at("p" + std::to_string(p) + ".pkl");
    auto [status, json] = tool("dump " + shell_quote(in));
    ASSERT_EQ(status, 0) << json;
    EXPECT_NE(json.find("\"$bytes\": \"AP9ieXRlcw==\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"NaN\""), std::string::npos) << json;
    vesk::testing::write_file(at("state.json"), json);
    auto [wrote, wrote_out] = tool("write " + shell_quote(at("back.pkl")), at("state.json"));
    ASSERT_EQ(wrote, 0) << wrote_out;
    auto [checked, checked_out] = vesk::testing::run_python(std::string(expected_state_script) + R"(
import pickle, pickletools, sys
data = open(sys.argv[1], 'rb').read()
assert data[:2] == b'\x80\x04', data[:2]
got = pickle.loads(data)
assert same(got, want), repr(got)
print('same')
)",
                                                            {at("back.pkl")}, dir.path);
    EXPECT_EQ(checked, 0) << "protocol " << p << ": " << checked_out;
  }
}

TEST_F(StateToolTest, JsonFormIsTheDocumentedOne) {
  vesk::testing::write_file(at("in.json"),
                            R"({"partition": 1, "offset": 2, "state": {"t": {"$tuple": [1, "a"]}, "n": "Infinity",
                                "d": {"$dict": [[1, 2], [{"$tuple": []}, null]]}, "b": {"$bytes": ""}, "x": {"$text": "NaN"}}})");
  auto [status, out] = tool("write " + shell_quote(at("s.pkl")), at("in.json"));
  ASSERT_EQ(status, 0) << out;
  auto [checked, checked_out] = vesk::testing::run_python(R"(
import pickle, sys
got = pickle.load(open(sys.argv[1], 'rb'))
assert got == {'partition': 1, 'offset': 2, 'state': {'t': (1, 'a'), 'n': float('inf'), 'd': {1: 2, (): None}, 'b': b'', 'x': 'NaN'}}, got
)",
                                                          {at("s.pkl")}, dir.path);
  EXPECT_EQ(checked, 0) << checked_out;
}

TEST_F(StateToolTest, BadInputFailsWithOneClearLine) {
  vesk::testing::write_file(at("not-a-pickle"), "hello, world");
  vesk::testing::write_file(at("empty"), "");
  auto [made, made_out] = vesk::testing::run_python(R"(
import pickle, sys, collections
open(sys.argv[1] + '/object.pkl', 'wb').write(pickle.dumps(collections.OrderedDict(a=1), protocol=4))
)",
                                                    {dir.path}, dir.path);
  ASSERT_EQ(made, 0) << made_out;
  struct Case {
    std::string args;
    std::string stdin_text;  // for write
    std::string expect;
  };
  for (const auto& c : std::vector<Case>{
           {"dump " + shell_quote(at("not-a-pickle")), "", "not a readable state file"},
           {"dump " + shell_quote(at("empty")), "", "empty"},
           {"dump " + shell_quote(at("object.pkl")), "", "refused opcode STACK_GLOBAL"},
           {"dump " + shell_quote(at("missing.pkl")), "", "no such file"},
           {"write " + shell_quote(at("w.pkl")), "{\"partition\": 1,", "bad JSON"},
           {"write " + shell_quote(at("w.pkl")), "[1, 2]", "must be an object"},
           {"write " + shell_quote(at("w.pkl")), "{\"partition\": 1, \"offset\": 2}", "'state' is missing"},
           {"write " + shell_quote(at("w.pkl")),
            "{\"partition\": 1, \"offset\": 2, \"state\": {\"k\": {\"$bytes\": \"***\"}}}", "base64"},
           {"write " + shell_quote(at("w.pkl")), "{\"partition\": 1, \"offset\": 18446744073709551615, \"state\": {}}",
            "64 bits"},
       }) {
    std::string in;
    if (!c.stdin_text.empty()) {
      in = at("stdin.json");
      vesk::testing::write_file(in, c.stdin_text);
    }
    auto [status, out] = tool(c.args, in);
    EXPECT_NE(status, 0) << c.args;
    EXPECT_NE(out.find(c.expect), std::string::npos) << c.args << ": " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_EQ(out.rfind("vesk-state: ", 0), 0u) << out;
  }
  EXPECT_FALSE(std::filesystem::exists(at("w.pkl")));
  auto [usage, usage_out] = tool("frobnicate x");
  EXPECT_EQ(usage, 2) << usage_out;
}

struct Call {
  std::string args;
  int status;
  std::string says;
};

void expect_calls(StateToolTest& test, const std::vector<Call>& calls, const std::string& stdin_file = "") {
  for (const auto& c : calls) {
    auto [status, out] = test.tool(c.args, stdin_file);
    EXPECT_EQ(status, c.status) << c.args << ": " << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << ": " << out;
  }
}

TEST_F(StateToolTest, CommandLineHelpVersionAndMistakes) {
  expect_calls(*this, {
                          {"--help", 0, "AZURE_STORAGE_CONNECTION_STRING"},
                          {"stats --help", 0, "--state-dir DIR"},
                          {"get --help", 0, "--partition N"},
                          {"--version", 0, "vesk-state 0."},
                          {"", 2, "a command is required"},
                          {"dump --bogus", 2, "unknown option '--bogus'"},
                          {"get --partition", 2, "--partition needs a value"},
                          {"dump --partition x", 2, "--partition needs a partition number (0 or more), got 'x'"},
                          {"dump", 2, "dump needs a FILE or --partition N"},
                          {"get --state-dir " + shell_quote(dir.path) + " --partition 1", 2, "KEY is required"},
                          {"list", 1, "give --state-dir DIR"},
                      });
}

TEST_F(StateToolTest, LocalStateDirectoryCommands) {
  const std::string d = " --state-dir " + shell_quote(at("state"));
  vesk::testing::write_file(at("p2.json"), R"({"partition": 2, "offset": 7, "state": {"k": {"n": [1, 2]}, "j": 3}})");
  vesk::testing::write_file(at("p5.json"), R"({"partition": 5, "offset": 9, "state": {"m": "x"}})");
  expect_calls(*this, {{"write" + d + " --partition 2", 0, ""}}, at("p2.json"));
  expect_calls(*this,
               {{"write" + d + " --partition 5", 0, ""}, {"write" + d + " --partition 4", 1, "not of partition 4"}},
               at("p5.json"));
  expect_calls(*this, {
                          {"list" + d, 0, at("state") + "/p-2.state.pkl\n" + at("state") + "/p-5.state.pkl\n"},
                          {"get" + d + " --partition 2 k", 0, "{\n  \"n\": [\n    1,\n    2\n  ]\n}\n"},
                          {"get" + d + " m", 0, "\"x\"\n"},
                          {"get" + d + " --partition 2 m", 1, "holds no state for key 'm'"},
                          {"get" + d + " nobody", 1, "no state file holds key 'nobody'"},
                          {"dump" + d + " --partition 3", 1, "partition 3 has no stored state"},
                          {"list --state-dir " + shell_quote(at("missing")), 1, "no such directory"},
                      });
  auto [status, stats] = tool("stats" + d);
  EXPECT_EQ(status, 0) << stats;
  EXPECT_THAT(stats, ::testing::ContainsRegex("p-2\\.state\\.pkl +2 +7 +2 +[0-9]+\n"));
  EXPECT_THAT(stats, ::testing::ContainsRegex("p-5\\.state\\.pkl +5 +9 +1 +[0-9]+\n"));
  auto [dumped, json] = tool("dump" + d + " --partition 2");
  EXPECT_EQ(dumped, 0);
  EXPECT_EQ(json,
            "{\n  \"partition\": 2,\n  \"offset\": 7,\n  \"state\": {\n    \"k\": {\n      \"n\": [\n        1,\n"
            "        2\n      ]\n    },\n    \"j\": 3\n  }\n}\n");
}

TEST_F(StateToolTest, JsonNestedTooDeeplyIsOneClearErrorAndExitOne) {
  const std::string deep(100000, '[');
  vesk::testing::write_file(
      at("deep.json"), R"({"partition": 0, "offset": 0, "state": {"k": )" + deep + std::string(100000, ']') + "}}");
  auto [status, out] = tool("write " + shell_quote(at("w.pkl")), at("deep.json"));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("nested deeper than 10000 levels"), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(at("w.pkl")));
}

}  // namespace
