#pragma once
// Thread names, as top -H, perf, gdb and stack dumps show them. Every thread the program
// starts is named, and every name begins "qm-". Linux takes 15 bytes at most; a longer name
// is cut there, never refused.
#include <string>

void name_this_thread(const std::string& name);
// The calling thread's name ("" when it cannot be read).
std::string this_thread_name();
// Raises the calling thread's nice value to at least `nice`, so that it yields the processor to
// the threads that must never wait (capture, odometer, the recording's writer); one already
// nicer stays as it is. Raising one's own nice value needs no privilege. Best effort.
void yield_this_thread_to(int nice);
