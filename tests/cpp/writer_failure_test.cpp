// Writing a document while the YAML emitter fails at each event in turn.
#include <dlfcn.h>
#include <yaml.h>

#include <new>

#include <gtest/gtest.h>

#include "vedov/builders.hpp"
#include "vedov/document/writer.hpp"

namespace {

int initialised = 0;
int deleted = 0;
long events = 0;
long failing_event = -1;  // counted from 0; -1: none fails

template <class Function>
Function next_definition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// These stand in front of libyaml's own definitions for the writer linked into this program.
extern "C" int yaml_emitter_initialize(yaml_emitter_t* emitter) {
    static const auto next = next_definition<int (*)(yaml_emitter_t*)>("yaml_emitter_initialize");
    const int ok = next(emitter);
    initialised += ok;
    return ok;
}

extern "C" void yaml_emitter_delete(yaml_emitter_t* emitter) {
    static const auto next = next_definition<void (*)(yaml_emitter_t*)>("yaml_emitter_delete");
    ++deleted;
    next(emitter);
}

extern "C" int yaml_emitter_emit(yaml_emitter_t* emitter, yaml_event_t* event) {
    static const auto next =
        next_definition<int (*)(yaml_emitter_t*, yaml_event_t*)>("yaml_emitter_emit");
    if (events++ == failing_event) {
        yaml_event_delete(event);  // the emitter owns the event, also when it fails
        emitter->error = YAML_MEMORY_ERROR;
        return 0;
    }
    return next(emitter, event);
}

namespace {

TEST(WriterFailure, EveryEmitterIsReleasedWhereverItFails) {
    vedov::SystemGeom system = vedov::new_empty();
    vedov::add_cov_layer(system);
    vedov::set_pupil(system, 8.0, 0.14);
    vedov::add_ttdm(system, 1.0);
    events = 0;
    failing_event = -1;
    ASSERT_FALSE(vedov::document::write_system(system).empty());
    const long total = events;
    ASSERT_GT(total, 100);
    for (long k = 0; k < total; ++k) {
        initialised = deleted = 0;
        events = 0;
        failing_event = k;
        EXPECT_THROW(vedov::document::write_system(system), std::bad_alloc) << "event " << k;
        EXPECT_EQ(deleted, initialised) << "event " << k;
    }
    failing_event = -1;
}

}  // namespace
