// Sanitizer suppressions compiled into every test binary. Only stacks inside system libraries
// are muted; our own code is still checked.
//
// ThreadSanitizer cannot see GLib's futex-based locks and queues, so Aravis handing a buffer
// to its receive thread looks like a race; GDAL (pulled in by OpenCV's image codecs) takes its
// own mutexes in an order TSan dislikes on a single thread; pango starts fontconfig on a
// thread of its own.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libaravis-0.8.so\n"
           "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "deadlock:libgdal.so\n"
           "race:libfontconfig.so\n";
}

// fontconfig keeps its caches for the life of the process; GTK never frees them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
