// What LeakSanitizer is not to report in this program (read only in a
// build with sanitizers). GLib's quark table leaks its old block by design
// each time it grows (readers may still hold it), and GStreamer's plug-ins
// make thousands of quarks. Blocks GLib allocates itself (g_malloc) cannot
// be told apart by where they come from, since GLib is built without frame
// pointers; the element's own objects and the module's buffers are not
// allocated through GLib and stay checked.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() { return "leak:g_malloc\n"; }
