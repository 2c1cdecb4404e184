// Spawning and waiting: spawn forks the host process; in the child, the process's end says which image to start
// (ProcessEnd::Child), and the tree's loop runs it in a fresh emulator with the descriptors arranged here.
#pragma once

namespace tavik {

struct Kernel;

// Ends every child this process spawned and has not reaped (and, through them, their descendants), and reaps
// them: nothing a process spawned outlives it.
void end_children(Kernel& k);

}  // namespace tavik
