// Faults: each kind ends the process with its exit status, the stable first report line, and eip at the
// faulting instruction (the guest puts a global label on each), including the emulator's quirks: hlt, int N,
// ud2, divide error, int3 and the null store.
#include <cstring>
#include <fstream>

#include "support/kit.hpp"

namespace {

using tavik::RunResult;

struct FaultCase {
  const char* arg;
  const char* kind;
  const char* access;  // page faults only
  const char* where;   // symbol+offset of eip in the report
  int exit_code;
};

const FaultCase kCases[] = {
    {"n", "page_fault", "write", "fault_null_store+0x0", 139},
    {"r", "page_fault", "read", "fault_null_load+0x0", 139},
    {"x", "page_fault", "exec", "?", 139},
    {"j", "page_fault", "exec", "?", 139},
    {"w", "page_fault", "write", "fault_rodata_store+0x0", 139},
    {"e", "page_fault", "exec", "data_code+0x0", 139},
    {"s", "page_fault", "write", "fault_recurse+0x0", 139},
    {"u", "invalid_opcode", "", "fault_ud2+0x0", 132},
    {"h", "general_protection", "", "fault_hlt+0x0", 139},
    {"c", "general_protection", "", "fault_cli+0x0", 139},
    {"i", "general_protection", "", "fault_in+0x0", 139},
    {"o", "general_protection", "", "fault_out+0x0", 139},
    {"N", "general_protection", "", "fault_int21+0x0", 139},
    {"d", "divide_error", "", "fault_divide+0x0", 136},
    {"b", "breakpoint", "", "fault_int3+0x0", 133},
    {"B", "breakpoint", "", "fault_int_3+0x0", 133},
    {"y", "general_protection", "", "fault_sysenter+0x0", 139},
    {"Y", "invalid_opcode", "", "fault_syscall+0x0", 132},
};

std::string what_of(const std::string& kind) {
  if (kind == "page_fault") return "page fault";
  if (kind == "invalid_opcode") return "invalid opcode";
  if (kind == "general_protection") return "general protection fault";
  if (kind == "divide_error") return "divide error";
  return "breakpoint";
}

TEST(Faults, EachKindIsReportedAtTheFaultingInstruction) {
  for (const FaultCase& c : kCases) {
    auto run = tavik::test::run_guest(tavik::test::guest_image("faults"), {c.arg});
    ASSERT_EQ(run.result.end, RunResult::End::Fault) << c.arg << run.err;
    EXPECT_STREQ(tavik::fault_name(run.result.fault.kind), c.kind) << c.arg;
    EXPECT_EQ(run.result.host_exit_code(), c.exit_code) << c.arg;
    std::string first = run.err.substr(0, run.err.find('\n'));
    std::string expect = "tavik: faults: " + what_of(c.kind) + ": ";
    if (std::string(c.kind) == "page_fault") {
      EXPECT_EQ(run.result.fault.access, c.access) << c.arg;
      char at[64];
      std::snprintf(at, sizeof at, "%s at 0x%08x, ", c.access, run.result.fault.addr);
      expect += at;
    }
    char eip[64];
    std::snprintf(eip, sizeof eip, "eip 0x%08x (%s)", run.result.fault.eip, c.where);
    EXPECT_EQ(first, expect + eip) << c.arg;
    EXPECT_NE(run.err.find("eax "), std::string::npos) << "registers are part of the report";
    EXPECT_NE(run.err.find("stack:"), std::string::npos);
  }
}

// Faults in the middle of a translated block, after instructions that changed registers: the report, the exit
// code and the JSON end line name the faulting instruction, the registers are those before it (ecx 6, never the
// 99 set behind it), and an instruction that reads and writes memory faults as a write, as on a CPU.
TEST(Faults, MidBlockFaultsAreExactInPlaceAndRegisters) {
  const FaultCase cases[] = {
      {"Ms", "page_fault", "write", "mid_store+0x0", 139}, {"Ml", "page_fault", "read", "mid_load+0x0", 139},
      {"Ma", "page_fault", "write", "mid_add+0x0", 139},   {"Mi", "page_fault", "write", "mid_inc+0x0", 139},
      {"Mx", "page_fault", "write", "mid_xchg+0x0", 139},  {"Mm", "page_fault", "read", "mid_movs+0x0", 139},
      {"Mt", "page_fault", "write", "mid_stos+0x0", 139},  {"Mp", "page_fault", "write", "mid_push+0x0", 139},
      {"Mc", "page_fault", "write", "mid_call+0x0", 139},  {"Mu", "invalid_opcode", "", "mid_ud2+0x0", 132},
      {"Md", "divide_error", "", "mid_divide+0x0", 136},   {"Mb", "breakpoint", "", "mid_int3+0x0", 133},
      {"Mh", "general_protection", "", "mid_hlt+0x0", 139}, {"Mn", "general_protection", "", "mid_in+0x0", 139},
      {"Mo", "general_protection", "", "mid_out+0x0", 139}, {"MN", "general_protection", "", "mid_int21+0x0", 139},
  };
  tavik::test::ScratchRoot dir;
  tavik::RunOptions opt;
  opt.trace.json = dir.str() + "/trace.json";
  for (const FaultCase& c : cases) {
    auto run = tavik::test::run_guest(tavik::test::guest_image("faults"), {c.arg}, opt);
    ASSERT_EQ(run.result.end, RunResult::End::Fault) << c.arg << run.err;
    EXPECT_STREQ(tavik::fault_name(run.result.fault.kind), c.kind) << c.arg;
    EXPECT_EQ(run.result.fault.access, c.access) << c.arg;
    EXPECT_EQ(run.result.host_exit_code(), c.exit_code) << c.arg;
    EXPECT_NE(run.err.find(std::string("(") + c.where + ")\n"), std::string::npos) << c.arg << run.err;
    EXPECT_NE(run.err.find("ecx    00000006"), std::string::npos) << c.arg << run.err;
    std::string json = tavik::test::without_frames(tavik::test::read_file(opt.trace.json));
    EXPECT_NE(json.find("\"eip\":" + std::to_string(run.result.fault.eip) + "}"), std::string::npos) << c.arg;
  }
  // The stores in those blocks fault at 0, the string move at its source and the pushes below the stack.
  EXPECT_EQ(tavik::test::run_guest(tavik::test::guest_image("faults"), {"Mm"}).result.fault.addr, 0x10u);
  EXPECT_EQ(tavik::test::run_guest(tavik::test::guest_image("faults"), {"Mt"}).result.fault.addr, 0x20u);
  EXPECT_EQ(tavik::test::run_guest(tavik::test::guest_image("faults"), {"Mp"}).result.fault.addr, 0xffcu);
}

TEST(Faults, AddressesOfPageFaults) {
  auto null_store = tavik::test::run_guest(tavik::test::guest_image("faults"), {"n"});
  EXPECT_EQ(null_store.result.fault.addr, 0u);
  EXPECT_NE(null_store.err.find("mov dword ptr [0], 0"), std::string::npos) << "the store is disassembled";
  // The system page is the last of the 4 GiB: a load that starts there and ends past it is the guest's fault.
  auto top = tavik::test::run_guest(tavik::test::guest_image("faults"), {"T"});
  EXPECT_EQ(top.result.fault.kind, tavik::FaultKind::PageFault);
  EXPECT_NE(top.err.find("(fault_top_load+0x0)"), std::string::npos) << top.err;
  auto unmapped_call = tavik::test::run_guest(tavik::test::guest_image("faults"), {"x"});
  EXPECT_EQ(unmapped_call.result.fault.addr, 0x12345000u);
  EXPECT_EQ(unmapped_call.result.fault.eip, 0x12345000u);
  EXPECT_NE(unmapped_call.err.find("code:   unreadable"), std::string::npos);
  auto rodata = tavik::test::run_guest(tavik::test::guest_image("faults"), {"w"});
  EXPECT_EQ(rodata.result.fault.addr, 0x401000u) << "a store to the read-only segment";
  auto overflow = tavik::test::run_guest(tavik::test::guest_image("faults"), {"s"});
  EXPECT_EQ(overflow.result.fault.addr, 0xC0000000u - (1u << 20) - 4) << "just below the 1 MiB stack";
  EXPECT_NE(overflow.err.find("\n  stack overflow? the access is 4 bytes below the stack"), std::string::npos)
      << overflow.err;
  EXPECT_EQ(rodata.err.find("stack overflow?"), std::string::npos);
}

TEST(Faults, ReturningExitEndsInTheHaltLoopAsAProtectionFault) {
  tavik::RunOptions opt;
  opt.injects = {{"_exit", 1, 0}};
  auto run = tavik::test::run_guest(tavik::test::guest_image("faults"), {"k"}, opt);
  EXPECT_EQ(run.result.end, RunResult::End::Fault);
  EXPECT_EQ(run.result.fault.kind, tavik::FaultKind::GeneralProtection);
  EXPECT_NE(run.err.find("(exit_halt+0x0)"), std::string::npos) << run.err;
  ASSERT_EQ(run.result.trace.size(), 1u);
  EXPECT_TRUE(run.result.trace[0].injected);
}

TEST(Faults, JsonTraceEndsWithTheFault) {
  tavik::test::ScratchRoot dir;
  tavik::RunOptions opt;
  opt.trace.json = dir.str() + "/trace.json";
  auto run = tavik::test::run_guest(tavik::test::guest_image("faults"), {"n"}, opt);
  std::string json = tavik::test::without_frames(tavik::test::read_file(opt.trace.json));
  char line[128];
  std::snprintf(line, sizeof line, "{\"fault\":\"page_fault\",\"addr\":0,\"access\":\"write\",\"eip\":%u}\n",
                run.result.fault.eip);
  EXPECT_EQ(json, line);
  auto ud2 = tavik::test::run_guest(tavik::test::guest_image("faults"), {"u"}, opt);
  std::snprintf(line, sizeof line, "{\"fault\":\"invalid_opcode\",\"eip\":%u}\n", ud2.result.fault.eip);
  EXPECT_EQ(tavik::test::without_frames(tavik::test::read_file(opt.trace.json)), line);
}

TEST(Faults, ProcessNameIsTheBaseNameOfArgvZero) {
  tavik::RunOptions opt;
  opt.io.argv0 = "/bin/crashy";
  auto run = tavik::test::run_guest(tavik::test::guest_image("faults"), {"u"}, opt);
  EXPECT_EQ(run.err.rfind("tavik: crashy: invalid opcode: eip 0x", 0), 0u) << run.err;
}

}  // namespace
