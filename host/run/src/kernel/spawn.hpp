// Spawning and waiting: spawn forks the host process; in the child, the process's end says which image to start
// (ProcessEnd::Child), and the tree's loop runs it in a fresh emulator with the descriptors arranged here.
#pragma once

namespace tavik {

struct Kernel;

// Ends every child this process spawned and has not reaped (and, through them, their descendants), and reaps
// them: nothing a process spawned outlives it.
void end_children(Kernel& k);

// Forks the host process for a child that ends with its parent, however the parent ends (a kill of tavik-run
// included), and so on down: as fork(2) answers (the child's pid, 0 in the child, -1 with errno).
int fork_child();

}  // namespace tavik
