// Thread-sanitizer defaults of the test program: stop at the first report; third-party
// suppressions.
extern "C" const char* __tsan_default_options() {
    return "halt_on_error=1:second_deadlock_stack=1";
}

extern "C" const char* __tsan_default_suppressions() {
    // libtbb is not instrumented: what it does inside itself through intercepted calls (memset and
    // memcpy of its own arena and task structures, malloc and free of its own memory) is its own
    // business. Its hand-offs to and from our code are annotated (tbb_thread_bridge.cpp).
    return "called_from_lib:libtbb.so.12\n";
}
