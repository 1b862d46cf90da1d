#pragma once

// SIGINT and SIGTERM (Ctrl-C, a service manager or desktop session ending the program) as bytes
// on a pipe: the handler only writes one byte, and the program's own loop watches the pipe's read
// end and shuts down in order. Returns that descriptor (non-blocking), or -1 when no pipe could be
// made, in which case the two signals keep their default action.
int WatchStopSignals();
