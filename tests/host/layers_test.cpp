// The host tools' structure: tavik-run's layers (host/run/src/<layer>/) include only their own layer and those
// below it, and no unit of host/ (a .cpp with its .hpp) reaches itself through the units it includes.
#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Bottom first: a layer may include its own and those before it.
const std::vector<std::string> kLayers = {"base", "cpu", "report", "kernel", "replay", "gdb", "process"};

std::vector<std::string> quoted_includes(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> out;
  const std::regex include(R"re(^\s*#\s*include\s+"([^"]+)")re");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, include)) out.push_back(m[1]);
  }
  return out;
}

std::vector<fs::path> sources_under(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().extension() == ".cpp" || e.path().extension() == ".hpp") out.push_back(e.path());
  return out;
}

TEST(Layers, EveryIncludeOfTavikRunPointsDown) {
  const fs::path src = fs::path(TAVIK_SOURCE_DIR) / "host/run/src";
  auto rank = [](const std::string& layer) {
    for (size_t i = 0; i < kLayers.size(); ++i)
      if (kLayers[i] == layer) return static_cast<int>(i);
    return -1;
  };
  int files = 0;
  for (const fs::path& file : sources_under(src)) {
    std::string layer = fs::relative(file, src).begin()->string();
    ASSERT_GE(rank(layer), 0) << file << " lies in no layer";
    ++files;
    for (const std::string& inc : quoted_includes(file)) {
      if (inc.rfind("tavik/", 0) == 0) continue;  // the public interfaces
      std::string to = inc.substr(0, inc.find('/'));
      ASSERT_NE(inc.find('/'), std::string::npos) << file << " includes " << inc << " without its layer";
      EXPECT_LE(rank(to), rank(layer)) << file << " includes " << inc << " from a layer above its own";
      EXPECT_GE(rank(to), 0) << file << " includes " << inc;
    }
  }
  EXPECT_GT(files, 40);
}

TEST(Layers, NoUnitOfTheHostToolsReachesItself) {
  // Units by their path without extension; an include names the unit of the header it includes.
  std::map<std::string, std::set<std::string>> uses;
  const fs::path host = fs::path(TAVIK_SOURCE_DIR) / "host";
  std::map<std::string, std::string> unit_of_include;  // "cpu/machine.hpp" -> unit
  for (const fs::path& file : sources_under(host)) {
    std::string unit = (file.parent_path() / file.stem()).string();
    uses[unit];
    std::string rel = file.string();
    for (const char* root : {"/src/", "/include/"}) {
      size_t at = rel.rfind(root);
      if (at != std::string::npos) unit_of_include[rel.substr(at + std::string(root).size())] = unit;
    }
  }
  for (const fs::path& file : sources_under(host)) {
    std::string unit = (file.parent_path() / file.stem()).string();
    for (const std::string& inc : quoted_includes(file)) {
      auto it = unit_of_include.find(inc);
      if (it != unit_of_include.end() && it->second != unit) uses[unit].insert(it->second);
    }
  }
  std::map<std::string, int> state;  // 1: on the path, 2: done
  std::vector<std::string> path;
  std::function<void(const std::string&)> visit = [&](const std::string& u) {
    state[u] = 1;
    path.push_back(u);
    for (const std::string& v : uses[u]) {
      if (state[v] == 1) {
        std::string cycle;
        for (auto it = std::find(path.begin(), path.end(), v); it != path.end(); ++it) cycle += *it + " -> ";
        ADD_FAILURE() << "cycle: " << cycle << v;
      } else if (state[v] == 0) {
        visit(v);
      }
    }
    path.pop_back();
    state[u] = 2;
  };
  for (const auto& [u, _] : uses)
    if (state[u] == 0) visit(u);
}

}  // namespace
