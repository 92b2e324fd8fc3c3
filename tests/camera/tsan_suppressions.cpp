// ThreadSanitizer cannot see GLib's futex-based locks and queues, so Aravis handing a buffer
// to its receive thread looks like a race. Only stacks inside those libraries are muted.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libaravis-0.8.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n";
}
