// Start-up and the run of the program. The entry (portvane or portvane-demo)
// has made the Qt application and set up where switches come from before.
#pragma once

// 1 native, 0 translated, -1 the query failed; only pid 0 is asked about.
int is_pid_native(int pid);

// The program from start-up to quit; returns the process status.
int PortvaneMain(int argc, char* argv[]);
