// Fuzz target: bytes as a recording for --replay. Every chunk's checksum is made right first, so that mutations
// reach the records behind it. Reading must end in a Recording or a RecordingError; every event of every process
// is then decoded, and a recording of one process is replayed for a bounded number of instructions (a tree's
// would fork its children): no crash, leak or undefined behaviour, whatever the bytes.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "base/errors.hpp"
#include "fuzz_env.hpp"
#include "process/tree.hpp"
#include "replay/journal.hpp"
#include "replay/recording.hpp"

using namespace tavik;

namespace {

// The checksums of every whole chunk as the writer would have made them.
void fix_checksums(std::string& rec) {
  for (size_t at = record::kFileHeader; at + record::kChunkHeader <= rec.size();) {
    uint32_t len = record::load32(rec.data() + at + 8);
    if (len > rec.size() - at - record::kChunkHeader) return;
    record::store32(rec.data() + at + 12, record::crc(std::string_view(rec).substr(at + record::kChunkHeader, len)));
    at += record::kChunkHeader + len;
  }
}

void decode_all(const Recording& rec, const ProcessLog& log) {
  Journal journal(rec, log);
  while (journal.known()) {
    bool fresh;
    if (journal.tag() == record::Tag::Call) {
      record::Call c = journal.call(fresh);
      (void)c;
    } else {
      (void)journal.tsc(fresh);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzEnv& env = fuzz::FuzzEnv::instance();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  fix_checksums(bytes);
  std::string path = env.root() + "/fuzz.rec";
  std::ofstream(path, std::ios::binary) << bytes;
  try {
    Recording rec(path);
    for (uint32_t serial = record::kRootSerial; serial < record::kRootSerial + 64; ++serial)
      if (const ProcessLog* log = rec.process(serial)) decode_all(rec, *log);
    if (rec.process_count() == 1) {
      RunOptions opt = env.options();
      opt.replay.replay = path;
      opt.limits.insn_limit = 10000;
      opt.limits.timeout = 0.05;
      opt.limits.stack_size = 64 << 10;
      opt.limits.memory_cap = 4ull << 20;
      Tree(opt, &rec).replay();
    }
  } catch (const RecordingError&) {
  } catch (const SetupError&) {
  } catch (const EmulatorError&) {
  }
  env.clean_root();
  return 0;
}
