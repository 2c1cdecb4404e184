// Coverage: which source lines and functions a process executed, and how often, written as an lcov tracefile
// (the format genhtml and coverage services read). A block hook, in place only with --coverage, counts each
// translated block's executions; at the end the image's DWARF line table maps them to lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <unicorn/unicorn.h>

#include "report/block_map.hpp"

namespace tavik {

class Image;
class Machine;

class Coverage {
 public:
  explicit Coverage(Machine& m) : m_(m) {}
  void install();
  // This process's tracefile records; empty for an image without line information.
  std::string render(const Image& image) const;

 private:
  static void on_block(uc_engine* uc, uint64_t addr, uint32_t size, void* self);

  struct Block {
    uint32_t size = 0;
    uint64_t runs = 0;
  };
  Machine& m_;
  BlockMap<Block> blocks_;
};

}  // namespace tavik
