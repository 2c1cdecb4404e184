// Termination: SIGTERM, SIGINT and SIGHUP end the running guest as a kill instead of ending the host process on
// the spot, so that the process still ends its children and removes its temporary files. Installed by the
// command line and in every spawned child; an application embedding the kit keeps its own handlers.
#pragma once

namespace tavik {

class Machine;

// Installs the handlers for this host process.
void stop_on_termination();
// The machine a termination stops (nullptr: none is running).
void watch_termination(Machine* m);
// A termination was asked for: waits end, and the run ends as terminated.
bool termination_requested();

}  // namespace tavik
