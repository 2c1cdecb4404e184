// The kernel interface has one source, tavik/calls.def: tavik-run's README lists exactly its calls, numbers and
// names, and tavik-run answers every one of them (an unknown number answers -38).
#include <tavik/abi.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/kit.hpp"

namespace {

const std::map<uint32_t, std::string> kCalls = {
#define TAVIK_CALL(nr, name, a, b, c, result) {nr, #name},
#include <tavik/calls.def>
#undef TAVIK_CALL
};

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string word; std::getline(in, word, ',');) {
    word.erase(0, word.find_first_not_of(' '));
    word.erase(word.find_last_not_of(' ') + 1);
    out.push_back(word);
  }
  return out;
}

TEST(Interface, TheReadmeCallTableIsTheList) {
  std::ifstream readme(std::string(TAVIK_SOURCE_DIR) + "/host/run/README.md");
  ASSERT_TRUE(readme) << "host/run/README.md";
  // Rows of the table: "| 1 | write | ..." or "| 49, 50, 51 | mkdir, unlink, rmdir | ...".
  const std::regex row(R"(^\| ([0-9, ]+) \| ([a-z_0-9, ]+) \|)");
  std::map<uint32_t, std::string> listed;
  for (std::string line; std::getline(readme, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, row)) continue;
    auto numbers = split(m[1]), names = split(m[2]);
    ASSERT_EQ(numbers.size(), names.size()) << line;
    for (size_t i = 0; i < numbers.size(); ++i)
      EXPECT_TRUE(listed.emplace(std::stoul(numbers[i]), names[i]).second) << "listed twice: " << line;
  }
  EXPECT_EQ(listed, kCalls);
}

TEST(Interface, EveryCallOfTheListIsAnswered) {
  // Each call with a bad first argument (a sleep of none): nothing answers "unknown call" (-38), and the trace
  // names each as listed.
  std::vector<std::string> commands;
  for (const auto& [nr, name] : kCalls)
    if (nr != TAVIK_NR__exit) commands.push_back("s:" + name + (nr == TAVIK_NR_usleep ? ":0:0:0" : ":-1:0:0"));
  auto run = tavik::test::probe(commands);
  ASSERT_EQ(run.result.host_exit_code(), 0) << run.err;
  std::map<uint32_t, std::string> traced;
  for (const tavik::TraceEvent& e : run.result.trace) {
    if (e.nr == TAVIK_NR__exit) continue;
    EXPECT_NE(e.ret, -TAVIK_ENOSYS) << e.name;
    traced.emplace(e.nr, e.name);
  }
  traced.emplace(TAVIK_NR__exit, "_exit");
  EXPECT_EQ(traced, kCalls);
}

}  // namespace
