// Spawning and waiting: spawn forks the host process, and the child runs the new image in a fresh emulator with
// its own descriptors, until it ends the host process with the guest's status or the signal of its fault.
#pragma once

#include "kernel/process_end.hpp"

namespace tavik {

struct Kernel;
class FdTable;
class ProcessTree;
class Sandbox;
struct RunOptions;
struct TraceSinks;

// Ends every child this process spawned and has not reaped (and, through them, their descendants), and reaps
// them: nothing a process spawned outlives it.
void end_children(Kernel& k);

// The whole life of a spawned child in its forked host process; never returns.
[[noreturn]] void run_spawned_child(ChildStart start, const RunOptions& parent, Sandbox& fs, FdTable& fds,
                                    ProcessTree& tree, const TraceSinks& sinks);

}  // namespace tavik
