// The loader: a good image runs with its initial stack; every kind of bad file ends with one clear line on
// stderr and exit 125 before any guest code runs.
#include <elf.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/kit.hpp"

namespace {

using tavik::RunResult;
using namespace tavik::test;

std::string corrupt(const tavik::test::ScratchRoot& dir, const std::string& name,
                    const std::function<void(std::string&)>& edit) {
  std::string bytes = read_file(guest_image("probe"));
  edit(bytes);
  std::string path = dir.str() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

Elf32_Ehdr& ehdr(std::string& b) { return *reinterpret_cast<Elf32_Ehdr*>(b.data()); }
Elf32_Phdr& phdr(std::string& b, int i) {
  return *reinterpret_cast<Elf32_Phdr*>(b.data() + ehdr(b).e_phoff + i * sizeof(Elf32_Phdr));
}

TEST(Loader, GoodImageGetsArgcInlineArgvAndANullPointer) {
  tavik::RunOptions opt;
  opt.io.argv0 = "first";
  auto run = tavik::test::probe({"a", "two words", ""}, opt);
  ASSERT_EQ(run.result.end, RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.out, "first\na\ntwo words\n\nend\n");
  EXPECT_EQ(run.result.host_exit_code(), 0);
}

TEST(Loader, ZeroFilledDataBeyondTheFileAndSeparatePermissions) {
  // The scratch area is .bss: all zero; read-only data cannot be the target of a read.
  auto run = tavik::test::probe({"o:4096:8", "s:read:0:^0:1"});
  EXPECT_EQ(run.out, std::string(8, '\0'));
  EXPECT_EQ(tavik::test::results_of(run.result).back(), -TAVIK_EFAULT);
}

TEST(Loader, EveryBadImageIsRefusedWithOneLineAndStatus125) {
  tavik::test::ScratchRoot dir;
  struct Case {
    const char* name;
    std::function<void(std::string&)> edit;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"text", [](std::string& b) { b = "#!/bin/sh\necho not an image\n"; }, "not an ELF image"},
      {"empty", [](std::string& b) { b.clear(); }, "not an ELF image"},
      {"ident_only", [](std::string& b) { b.resize(12); }, "truncated"},
      {"header_cut", [](std::string& b) { b.resize(40); }, "truncated"},
      {"phdrs_cut", [](std::string& b) { b.resize(ehdr(b).e_phoff + 20); }, "truncated"},
      {"data_cut", [](std::string& b) { b.resize(phdr(b, 1).p_offset + 8); }, "truncated"},
      {"elf64", [](std::string& b) { b[EI_CLASS] = ELFCLASS64; }, "64-bit"},
      {"big_endian", [](std::string& b) { b[EI_DATA] = ELFDATA2MSB; }, "big-endian"},
      {"version", [](std::string& b) { b[EI_VERSION] = 2; }, "version"},
      {"machine", [](std::string& b) { ehdr(b).e_machine = EM_X86_64; }, "machine 62"},
      {"shared", [](std::string& b) { ehdr(b).e_type = ET_DYN; }, "type 3"},
      {"relocatable", [](std::string& b) { ehdr(b).e_type = ET_REL; }, "type 1"},
      {"overlap", [](std::string& b) { phdr(b, 1).p_vaddr = phdr(b, 0).p_vaddr; }, "overlaps"},
      {"at_zero", [](std::string& b) { phdr(b, 0).p_vaddr = 0; }, "page 0"},
      {"unaligned", [](std::string& b) { phdr(b, 1).p_vaddr += 0x10; }, "not page-aligned"},
      {"filesz", [](std::string& b) { phdr(b, 1).p_filesz = phdr(b, 1).p_memsz + 0x1000; }, "filesz"},
      {"entry_in_data", [](std::string& b) { ehdr(b).e_entry = phdr(b, 1).p_vaddr; }, "entry point 0x401000"},
      {"entry_nowhere", [](std::string& b) { ehdr(b).e_entry = 0x10; }, "entry point"},
      {"huge_memsz", [](std::string& b) { phdr(b, 2).p_memsz = 0x20000000; }, "memory cap"},
      {"above_top", [](std::string& b) { phdr(b, 2).p_vaddr = 0xBFFFF000; }, "beyond"},
      {"into_stack", [](std::string& b) { phdr(b, 2).p_vaddr = 0xBFF00000; }, "stack"},
      {"no_phdrs", [](std::string& b) { ehdr(b).e_phnum = 0; }, "no program headers"},
      {"interp", [](std::string& b) { phdr(b, 0).p_type = PT_INTERP; }, "dynamic"},
  };
  for (const Case& c : cases) {
    std::string path = corrupt(dir, c.name, c.edit);
    auto run = tavik::test::run_guest(path, {});
    EXPECT_EQ(run.result.end, RunResult::End::NotRun) << c.name;
    EXPECT_EQ(run.result.host_exit_code(), 125) << c.name;
    EXPECT_NE(run.result.error.find(c.message), std::string::npos) << c.name << ": " << run.result.error;
    EXPECT_EQ(run.err, "tavik-run: " + run.result.error + "\n") << c.name;
    EXPECT_TRUE(run.result.trace.empty()) << c.name;
  }
}

TEST(Loader, DamagedSectionHeadersLeaveTheImageRunnable) {
  // The loader needs the program headers only: section headers past the end of the file (which tavik-meta
  // refuses) cost the reports their symbols, not the run.
  ScratchRoot dir;
  std::string path = corrupt(dir, "no_sections", [](std::string& b) { ehdr(b).e_shoff = 0x7ffffff0; });
  auto run = run_guest(path, {"a", "q:3"});
  EXPECT_EQ(run.result.end, RunResult::End::Exit) << run.err;
  EXPECT_EQ(run.result.status, 3);
}

TEST(Loader, DirectoriesAndMissingFilesAreRefused) {
  tavik::test::ScratchRoot dir;
  auto as_dir = tavik::test::run_guest(dir.str(), {});
  EXPECT_EQ(as_dir.result.host_exit_code(), 125);
  EXPECT_NE(as_dir.result.error.find("directory"), std::string::npos) << as_dir.result.error;
  auto missing = tavik::test::run_guest(dir.str() + "/nothing", {});
  EXPECT_EQ(missing.result.host_exit_code(), 125);
  EXPECT_NE(missing.result.error.find("No such file"), std::string::npos) << missing.result.error;
}

TEST(Loader, ArgumentsThatDoNotFitTheStackAreRefused) {
  tavik::RunOptions opt;
  opt.limits.stack_size = 64 * 1024;
  auto run = tavik::test::probe({std::string(40000, 'x')}, opt);
  EXPECT_EQ(run.result.host_exit_code(), 125);
  EXPECT_NE(run.result.error.find("do not fit"), std::string::npos) << run.result.error;
}

TEST(Loader, MemoryCapIsAnOption) {
  tavik::RunOptions opt;
  opt.limits.memory_cap = 0x10000;  // the probe's scratch area alone is larger
  auto run = tavik::test::probe({}, opt);
  EXPECT_EQ(run.result.host_exit_code(), 125);
  EXPECT_NE(run.result.error.find("memory cap"), std::string::npos) << run.result.error;
}

}  // namespace
