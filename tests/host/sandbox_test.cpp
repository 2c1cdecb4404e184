// The sandbox: the root is "/", and no path, "..", or symlink (absolute or relative, dangling or not) reaches
// or creates anything outside it, whichever call tries.
#include <filesystem>
#include <fstream>

#include "support/kit.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tavik::test;

class Sandbox : public RootWithOutside {
 protected:
  void SetUp() override {
    RootWithOutside::SetUp();
    fs::create_directories(root_ / "sub");
    std::ofstream(root_ / "inside") << "inside";
    fs::create_symlink(outside_ / "secret", root_ / "abs_link");          // absolute, to the host file
    fs::create_symlink("../../outside/secret", root_ / "sub/rel_link");  // relative, climbing out
    fs::create_symlink(outside_, root_ / "dir_link");                    // a folder outside
    fs::create_symlink(outside_ / "new_file", root_ / "dangling");       // where a create would land
    fs::create_symlink("/inside", root_ / "sub/to_inside");              // absolute inside the guest's view
  }
  std::vector<std::string> outside_names() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(outside_)) out.push_back(e.path().filename().string());
    return out;
  }
};

TEST_F(Sandbox, EscapesByPathAreRefused) {
  auto run = probe({"p:0:../outside/secret", "p:100:/../../outside/secret", "p:200:/abs_link",
                    "p:300:sub/rel_link", "p:400:/dir_link/secret", "p:500:/sub/../../outside/secret",
                    "s:open:&0:0:0", "s:open:&100:0:0", "s:open:&200:0:0", "s:open:&300:0:0", "s:open:&400:0:0", "s:open:&500:0:0"},
                   opt_);
  for (int32_t r : results_of(run.result)) EXPECT_EQ(r, -TAVIK_ENOENT);
}

TEST_F(Sandbox, LinksAndDotDotResolveInsideTheRoot) {
  fs::create_directories(root_ / "outside");
  std::ofstream(root_ / "outside/secret") << "in-root";
  auto run = probe({"p:0:sub/to_inside", "p:100:/../../../inside", "p:200:sub/rel_link", "p:300:..",
                    "s:open:&0:0:0", "s:read:3:&1000:20",      // /inside through an absolute in-root link
                    "s:open:&100:0:0", "s:read:4:&1000:20",    // .. stops at /
                    "s:open:&200:0:0", "s:read:5:&1000:20",    // ../../outside/secret from /sub is /outside/secret
                    "s:chdir:&300:0:0", "s:getcwd:&2000:100:0", "o:2000:2"},
                   opt_);
  auto r = results_of(run.result);
  ASSERT_EQ(r.size(), 9u);
  EXPECT_EQ(r[0], 3);
  EXPECT_EQ(tavik::test::calls_of(run.result, TAVIK_NR_read)[0].data, "inside");
  EXPECT_EQ(tavik::test::calls_of(run.result, TAVIK_NR_read)[1].data, "inside");
  EXPECT_EQ(tavik::test::calls_of(run.result, TAVIK_NR_read)[2].data, "in-root");
  EXPECT_EQ(run.out, std::string("/\0", 2)) << "chdir .. from the root stays at the root";
}

TEST_F(Sandbox, NothingIsCreatedOrRemovedOutside) {
  auto run = probe({"p:0:/dangling", "p:100:/dir_link/made", "p:200:/../escape", "p:300:/dir_link/secret",
                    "p:400:x",
                    "s:open:&0:0x241:0",     // create through a dangling link to the host: lands in the root or fails
                    "s:writefile:&100:&400:1",   // writefile through a link to an outside folder
                    "s:mkdir:&200:0:0",      // mkdir /../escape is /escape
                    "s:unlink:&300:0:0",      // unlink through the outside folder
                    "s:tavikfs_stream_begin:&100:0:0",      // streamed write through the outside folder
                    "s:mkfifo:&100:0:0",     // mkfifo
                    "s:rmdir:&300:0:0"},     // rmdir
                   opt_);
  EXPECT_EQ(outside_names(), (std::vector<std::string>{"secret"}));
  EXPECT_EQ(read_file(outside_ / "secret"), "secret");
  EXPECT_TRUE(fs::is_directory(root_ / "escape"));
  EXPECT_FALSE(fs::exists(base_.path() / "escape"));
  auto r = results_of(run.result);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[2], 0);
  for (size_t i : {1u, 3u, 4u, 5u, 6u}) EXPECT_LT(r[i], 0) << i;
}

TEST_F(Sandbox, SpawnFindsImagesOnlyInsideTheRoot) {
  fs::copy_file(tavik::test::guest_image("probe"), outside_ / "probe");
  fs::create_symlink(outside_ / "probe", root_ / "probe_link");
  auto run = probe({"p:0:/dir_link/probe", "p:100:/probe_link", "p:200:../outside/probe",
                    "s:spawn:&0:0:0", "s:spawn:&100:0:0", "s:spawn:&200:0:0"},
                   opt_);
  EXPECT_EQ(results_of(run.result), (std::vector<int32_t>{-TAVIK_ENOENT, -TAVIK_ENOENT, -TAVIK_ENOENT}));
}

}  // namespace
