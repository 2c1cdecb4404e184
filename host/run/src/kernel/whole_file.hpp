// Whole-file writes (writefile, tavikfs_stream_*): the bytes go to a hidden temporary file in the target's
// folder, which is synced and renamed over the target, so a reader sees the old file or the new one, never a
// part.
#pragma once

#include <cstdint>
#include <string>

namespace tavik {

// Creates the temporary file for leaf in the folder dir_fd: its descriptor, its name in temp, or -errno.
int create_temp(int dir_fd, const std::string& leaf, std::string& temp);
// Syncs and closes fd, then renames temp over leaf: 0 or -errno. The temporary file is gone either way.
int32_t commit_temp(int dir_fd, int fd, const std::string& temp, const std::string& leaf);

}  // namespace tavik
