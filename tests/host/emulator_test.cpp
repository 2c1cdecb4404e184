// The emulator under the guest: self-modifying code, x87 arithmetic to the last bit, guest memory addressed directly.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <vector>

#include <unicorn/unicorn.h>

#include "support/cli.hpp"
#include "support/kit.hpp"

namespace {

using tavik::RunResult;

// The smc guest with its text segment made writable, as a command that writes code would be linked.
std::string writable_text_smc(const tavik::test::ScratchRoot& dir) {
  std::string b = tavik::test::read_file(tavik::test::guest_image("smc"));
  auto& eh = *reinterpret_cast<Elf32_Ehdr*>(b.data());
  for (int i = 0; i < eh.e_phnum; ++i) {
    auto& ph = *reinterpret_cast<Elf32_Phdr*>(b.data() + eh.e_phoff + i * sizeof(Elf32_Phdr));
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X)) ph.p_flags = PF_R | PF_W | PF_X;
  }
  std::string path = dir.str() + "/smc";
  std::ofstream(path, std::ios::binary) << b;
  return path;
}

TEST(Emulator, SelfModifyingCodeRunsWhatWasWrittenInBoundedMemory) {
  tavik::test::ScratchRoot dir;
  std::string image = writable_text_smc(dir);
  // A million rewrites of the instruction about to run: every one must be seen, and the translations of the
  // stale code must not pile up in tavik-run.
  std::string out_path = dir.str() + "/out";
  int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  tavik::test::Ended run = tavik::test::wait_cli(tavik::test::start_cli({image, "r", "1000000"}, {-1, out, -1}), 120);
  ::close(out);
  EXPECT_EQ(run.status, 0);
  std::string sum = tavik::test::read_file(out_path);
  ASSERT_EQ(sum.size(), 4u);
  uint32_t value;
  std::memcpy(&value, sum.data(), 4);
  EXPECT_EQ(value, static_cast<uint32_t>(500000500000ull));  // 1 + 2 + ... + 10^6, modulo 2^32
  EXPECT_LT(run.max_rss_kib, 96 * 1024);
  // Code copied to the stack does not run: the stack is not executable.
  auto stack = tavik::test::run_guest(image, {"c"});
  EXPECT_EQ(stack.result.fault.kind, tavik::FaultKind::PageFault);
  EXPECT_EQ(stack.result.fault.access, "exec");
  EXPECT_EQ(stack.result.fault.eip, stack.result.fault.addr);
  EXPECT_GT(stack.result.fault.eip, 0xBF000000u);
}

TEST(Emulator, SelfModifyingCodeIsCountedExactly) {
  // Each round of "r N" rewrites the instruction after its store, in the block that is running: 4 instructions a
  // round, and 20 and 7 per digit of N around them. The cut block is counted as far as it ran, and a limit of exactly that many suffices.
  tavik::test::ScratchRoot dir;
  std::string image = writable_text_smc(dir);
  tavik::test::Output run = tavik::test::run_program(TAVIK_RUN_EXE, {"--count-insns", image, "r", "300000"});
  EXPECT_EQ(run.err, "instructions: 1200062\n");
  std::string profile = dir.str() + "/profile";
  tavik::test::run_program(TAVIK_RUN_EXE, {"--profile", profile, image, "r", "300000"});
  EXPECT_NE(tavik::test::read_file(profile).find("\ntotals: 1200062\n"), std::string::npos) << "profiles too";
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {"--insn-limit", "1200062", image, "r", "300000"}).status, 0);
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {"--insn-limit", "1200061", image, "r", "300000"}).status, 137);
}

TEST(Emulator, X87ExtendedResultsAreExact) {
  auto run = tavik::test::run_guest(tavik::test::guest_image("x87"), {});
  ASSERT_EQ(run.out.size(), 30u) << run.err;
  volatile long double three = 3, two = 2;
  const long double want[3] = {1.0L / three, __builtin_sqrtl(two), static_cast<long double>(0x7ffffffffffffff7ll)};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(run.out.data() + 10 * i, &want[i], 10), 0) << "result " << i;
}

}  // namespace

namespace {

TEST(Emulator, OverflowFlagAfterEachArithmeticIsExact) {
  // add, sub, cmp, neg and imul of each width over edge values, read by seto and jo against 64-bit arithmetic.
  std::string guest = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/overflow_flag";
  tavik::test::Output run = tavik::test::run_program(TAVIK_RUN_EXE, {guest});
  EXPECT_EQ(run.status, 0) << "mismatches: " << run.status;
}

TEST(Emulator, ThirtyTwoBitResultsAndTheirConditionsAreExact) {
  // Compare, test, shifts, rotates, negation, complement, sign-extending loads and lea over edge values, with the
  // flags read right after, against the same arithmetic in C.
  std::string guest = std::string(TAVIK_TARGET_BINARY_DIR) + "/tests/guests/extensions";
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {guest}).status, 0) << "mismatches";
}

}  // namespace

namespace {

// One engine on its own, guest memory addressed directly or through the TLB alone, with a page of each kind of
// permission, and what its invalid-access hook saw.
struct Engine {
  uc_engine* uc = nullptr;
  std::vector<uint64_t> bad;  // type, address and size of each invalid access

  explicit Engine(bool direct) {
    EXPECT_EQ(uc_open(UC_ARCH_X86, UC_MODE_32, &uc), UC_ERR_OK);
    if (direct) {
      EXPECT_EQ(uc_ctl_direct_memory(uc, 1), UC_ERR_OK);
    }
    const std::pair<uint32_t, uint32_t> pages[] = {
        {0x1000, UC_PROT_READ | UC_PROT_EXEC}, {0x2000, UC_PROT_ALL}, {0x3000, UC_PROT_READ}, {0x4000, UC_PROT_WRITE},
        {0x5000, UC_PROT_EXEC}, {0x6000, UC_PROT_NONE}, {0x7000, UC_PROT_READ | UC_PROT_WRITE},
        {0x80000000, UC_PROT_READ | UC_PROT_WRITE}, {0xFFFFF000, UC_PROT_READ | UC_PROT_WRITE}};
    for (auto [addr, perms] : pages) EXPECT_EQ(uc_mem_map(uc, addr, 0x1000, perms), UC_ERR_OK);
    uc_hook h;
    EXPECT_EQ(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&Engine::on_bad), this, 1, 0), UC_ERR_OK);
  }
  ~Engine() { uc_close(uc); }

  static bool on_bad(uc_engine*, uc_mem_type type, uint64_t addr, int size, int64_t, void* self) {
    auto& bad = static_cast<Engine*>(self)->bad;
    bad.insert(bad.end(), {uint64_t(type), addr, uint64_t(size)});
    return false;
  }

  // Runs code at 0x2000 with ebx = addr, ecx = 0: the engine's result, eip, eax and ecx, and the invalid accesses.
  std::vector<uint64_t> run(const std::vector<uint8_t>& code, uint32_t addr) {
    EXPECT_EQ(uc_mem_write(uc, 0x2000, code.data(), code.size()), UC_ERR_OK);
    uint32_t eax = 0x11223344, ecx = 0;
    uc_reg_write(uc, UC_X86_REG_EAX, &eax);
    uc_reg_write(uc, UC_X86_REG_EBX, &addr);
    uc_reg_write(uc, UC_X86_REG_ECX, &ecx);
    bad.clear();
    std::vector<uint64_t> seen{uint64_t(uc_emu_start(uc, 0x2000, 0x2000 + code.size(), 0, 0))};
    for (int reg : {UC_X86_REG_EIP, UC_X86_REG_EAX, UC_X86_REG_ECX}) {
      uint32_t v = 0;
      uc_reg_read(uc, reg, &v);
      seen.push_back(v);
    }
    seen.insert(seen.end(), bad.begin(), bad.end());
    return seen;
  }
};

TEST(Emulator, GuestMemoryAddressedDirectlyEndsEveryAccessAsTheTlbDoes) {
  Engine direct(true), tlb(false);
  void* base = nullptr;
  ASSERT_EQ(uc_ctl_direct_memory_base(direct.uc, &base), UC_ERR_OK);
  ASSERT_NE(base, nullptr) << "the host gave the reservation";
  // Loads and stores of 1, 2 and 4 bytes through ebx, each between two instructions of the block (a fault must
  // leave ecx 1), and a store into the instruction after it (the block runs what was written: eax + 1).
  const std::vector<std::vector<uint8_t>> codes = {
      {0x41, 0x8a, 0x03, 0x41}, {0x41, 0x66, 0x8b, 0x03, 0x41}, {0x41, 0x8b, 0x03, 0x41},
      {0x41, 0x88, 0x03, 0x41}, {0x41, 0x66, 0x89, 0x03, 0x41}, {0x41, 0x89, 0x03, 0x41},
      {0xc6, 0x05, 0x07, 0x20, 0x00, 0x00, 0x40, 0x90, 0x41}};
  // Every 16 MiB of the 4 GiB, and both sides of every edge: pages of each permission, the top of the 4 GiB.
  std::vector<uint32_t> addrs;
  for (uint64_t a = 0; a < (1ull << 32); a += 1u << 24) addrs.push_back(static_cast<uint32_t>(a + 0x123));
  for (uint32_t page : {0x1000u, 0x2000u, 0x3000u, 0x4000u, 0x5000u, 0x6000u, 0x7000u, 0x80000000u, 0xFFFFF000u})
    for (uint32_t at : {page - 1, page, page + 0xFFE, page + 0xFFF}) addrs.push_back(at);
  for (const auto& code : codes)
    for (uint32_t addr : addrs) {
      auto want = tlb.run(code, addr);
      EXPECT_EQ(direct.run(code, addr), want) << "code " << int(code[1]) << " at 0x" << std::hex << addr;
      uint8_t a[4] = {}, b[4] = {};
      EXPECT_EQ(uc_mem_read(direct.uc, addr, a, 4), uc_mem_read(tlb.uc, addr, b, 4)) << std::hex << addr;
      EXPECT_EQ(std::memcmp(a, b, 4), 0) << std::hex << addr;
      EXPECT_EQ(uc_mem_write(direct.uc, addr, a, 4), uc_mem_write(tlb.uc, addr, b, 4)) << "same bytes back " << addr;
    }
  // Code on a page the guest may execute but not read runs, and loads from it end as through the TLB.
  const uint8_t exec_only[] = {0x41, 0x8b, 0x03, 0x41, 0xe9, 0xfc, 0xcf, 0xff, 0xff};  // ...; jmp 0x2005
  const std::vector<uint8_t> jump_there = {0xe9, 0xfb, 0x2f, 0x00, 0x00};
  for (Engine* e : {&direct, &tlb}) ASSERT_EQ(uc_mem_write(e->uc, 0x5000, exec_only, sizeof exec_only), UC_ERR_OK);
  auto want = tlb.run(jump_there, 0x5000);
  EXPECT_EQ(want[3], 2u) << "ran there and back";
  EXPECT_EQ(direct.run(jump_there, 0x5000), want);
  EXPECT_EQ(uc_mem_protect(direct.uc, 0x7000, 0x1000, UC_PROT_EXEC), UC_ERR_ARG) << "readable, or never mapped so";
  // The map changed after code ran: a page made read-only refuses the store, one unmapped and mapped again is
  // zeros, and a memory hook added now sees the loads.
  for (Engine* e : {&direct, &tlb}) {
    EXPECT_EQ(uc_mem_protect(e->uc, 0x7000, 0x1000, UC_PROT_READ), UC_ERR_OK);
    EXPECT_EQ(e->run(codes[5], 0x7010)[0], UC_ERR_WRITE_PROT);
    EXPECT_EQ(uc_mem_unmap(e->uc, 0x80000000, 0x1000), UC_ERR_OK);
    EXPECT_EQ(e->run(codes[2], 0x80000010)[0], UC_ERR_READ_UNMAPPED);
    EXPECT_EQ(uc_mem_map(e->uc, 0x80000000, 0x1000, UC_PROT_READ | UC_PROT_WRITE), UC_ERR_OK);
    EXPECT_EQ(e->run(codes[2], 0x80000010)[2], 0u) << "mapped again: zeros";
    int loads = 0;
    uc_hook h;
    auto count = [](uc_engine*, uc_mem_type, uint64_t, int, int64_t, void* n) { ++*static_cast<int*>(n); };
    EXPECT_EQ(uc_hook_add(e->uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(+count), &loads, 1, 0), UC_ERR_OK);
    e->run(codes[2], 0x7010);
    EXPECT_EQ(loads, 1);
  }
}

}  // namespace

namespace {

TEST(Emulator, CodeAKernelCopyRewroteRunsAsWritten) {
  // A program reads code into its text through read(), runs it, and reads other code over it: the second call
  // runs the second code, not the translation of the first.
  tavik::test::ScratchRoot dir;
  std::string image = writable_text_smc(dir);
  EXPECT_EQ(tavik::test::run_program(TAVIK_RUN_EXE, {"--root", dir.str(), image, "k"}).status, 12);
}

}  // namespace
