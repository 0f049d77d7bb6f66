// The console of the log lines. By default a line is printed on standard output when it is
// logged, as a terminal user expects. A server whose console is a pipe or a file (a service
// manager's journal, a redirect) queues its lines instead: a thread of their own writes them,
// so that no call waits for the console. Lines keep their order, and StopQueue writes every
// queued line before it returns, so a clean stop loses none; a crash may lose the last few
// milliseconds of queued lines (the monitor clients and the day file have them).
//
// Threads: Print from any thread; StartQueue and StopQueue from the thread that starts and
// closes the server, neither while the other runs. Lines printed directly on standard output by
// other code do not wait for the queue and may come before queued lines logged earlier.
#pragma once

namespace console {

// Prints `text` (no line end added), or queues it while the queue runs.
void Print(const char* text);
// From here on lines are queued; false when the writer thread could not be started (lines are
// then printed directly, as before).
bool StartQueue();
// Writes what is queued and ends the writer thread; lines are printed directly again. Called
// once nothing logs any more (the log server is gone).
void StopQueue();

}  // namespace console
