// The document writer: the system record as a stream of libyaml emitter events.
#include "vedov/document/writer.hpp"

#include <yaml.h>

#include <charconv>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "vedov/document/errors.hpp"
#include "vedov/document/number_format.hpp"
#include "vedov/document/schema.hpp"

namespace vedov::document {

namespace {

int append_output(void* data, unsigned char* buffer, std::size_t size) {
    try {
        static_cast<std::string*>(data)->append(reinterpret_cast<const char*>(buffer), size);
        return 1;
    } catch (...) {
        return 0;  // the emitter reports a write error; the allocation failure is rethrown below
    }
}

const yaml_char_t* chars(const char* text) {
    return reinterpret_cast<const yaml_char_t*>(text);
}

// libyaml's emitter, deleted by the destructor once initialised: as a member, it is released also
// when the constructor of the class holding it fails.
struct EmitterState {
    EmitterState() {
        if (!yaml_emitter_initialize(&raw)) throw std::bad_alloc();
    }
    ~EmitterState() { yaml_emitter_delete(&raw); }
    EmitterState(const EmitterState&) = delete;
    EmitterState& operator=(const EmitterState&) = delete;

    yaml_emitter_t raw;
};

class Emitter {
public:
    explicit Emitter(std::string& out) : out_(out) {
        yaml_emitter_set_output(&emitter_, append_output, &out_);
        yaml_emitter_set_width(&emitter_, -1);
        yaml_emitter_set_break(&emitter_, YAML_LN_BREAK);
        yaml_event_t event;
        yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING);
        emit(event);
        yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1);
        emit(event);
    }

    void finish() {
        yaml_event_t event;
        yaml_document_end_event_initialize(&event, 1);
        emit(event);
        yaml_stream_end_event_initialize(&event);
        emit(event);
        if (!yaml_emitter_flush(&emitter_)) fail();
    }

    void plain(std::string_view text) {
        yaml_event_t event;
        if (!yaml_scalar_event_initialize(&event, nullptr, nullptr, chars(text.data()),
                                          static_cast<int>(text.size()), 1, 1,
                                          YAML_PLAIN_SCALAR_STYLE)) {
            throw std::bad_alloc();
        }
        emit(event);
    }

    void number(double value) {
        char text[max_float_text];
        const char* end = write_float(text, value);
        plain(std::string_view(text, static_cast<std::size_t>(end - text)));
    }

    void count(std::uint64_t value) {
        char text[24];
        const char* end = std::to_chars(text, text + sizeof text, value).ptr;
        plain(std::string_view(text, static_cast<std::size_t>(end - text)));
    }

    /// A block mapping, tagged "!TAG" when a tag is given.
    void begin_mapping(const char* tag = nullptr) {
        yaml_event_t event;
        if (!yaml_mapping_start_event_initialize(&event, nullptr, tag ? chars(tag) : nullptr,
                                                 tag ? 0 : 1, YAML_BLOCK_MAPPING_STYLE)) {
            throw std::bad_alloc();
        }
        emit(event);
    }

    void end_mapping() {
        yaml_event_t event;
        yaml_mapping_end_event_initialize(&event);
        emit(event);
    }

    /// A block sequence; the emitter writes an empty one in flow form, [].
    void begin_sequence() {
        yaml_event_t event;
        if (!yaml_sequence_start_event_initialize(&event, nullptr, nullptr, 1,
                                                  YAML_BLOCK_SEQUENCE_STYLE)) {
            throw std::bad_alloc();
        }
        emit(event);
    }

    void end_sequence() {
        yaml_event_t event;
        yaml_sequence_end_event_initialize(&event);
        emit(event);
    }

private:
    // The emitter takes over the event, also when it fails.
    void emit(yaml_event_t& event) {
        if (!yaml_emitter_emit(&emitter_, &event)) fail();
    }

    [[noreturn]] void fail() {
        if (emitter_.error == YAML_MEMORY_ERROR || emitter_.error == YAML_WRITER_ERROR) {
            throw std::bad_alloc();  // the only way appending to the text can fail
        }
        fail_emitter(emitter_.problem ? emitter_.problem : "");
    }

    std::string& out_;
    EmitterState state_;
    yaml_emitter_t& emitter_ = state_.raw;
};

// Writes each value by the type of the member holding it, records field by field as the schema
// lists them.
class Writer {
public:
    explicit Writer(Emitter& e) : e_(e) {}

    void system(const SystemGeom& s) { value(s); }

private:
    void value(double v) { e_.number(v); }

    void value(std::uint64_t v) { e_.count(v); }

    template <Record R>
    void value(const R& r) {
        fields(r, nullptr);
    }

    template <class T>
    void value(const std::optional<T>& v) {
        if (v) {
            value(*v);
        } else {
            e_.plain("null");
        }
    }

    template <class T>
    void value(const std::vector<T>& values) {
        e_.begin_sequence();
        for (const T& v : values) value(v);
        e_.end_sequence();
    }

    // A spider is its two end points.
    void value(const zam::Spider& s) {
        e_.begin_sequence();
        value(s.start);
        value(s.end);
        e_.end_sequence();
    }

    // Zero by its bare name, the other alternatives as records tagged with their names.
    template <class... Alternatives>
    void value(const std::variant<Alternatives...>& v) {
        std::visit(
            [&](const auto& alternative) {
                using A = std::decay_t<decltype(alternative)>;
                if constexpr (std::is_same_v<A, zam::Zero>) {
                    e_.plain(Schema<zam::Zero>::name);
                } else {
                    const std::string tag = "!" + std::string(Schema<A>::name);
                    fields(alternative, tag.c_str());
                }
            },
            v);
    }

    template <Record R>
    void fields(const R& r, const char* tag) {
        e_.begin_mapping(tag);
        for_each_field<R>([&](const auto& f) {
            e_.plain(f.key);
            value(r.*f.member);
        });
        e_.end_mapping();
    }

    Emitter& e_;
};

}  // namespace

std::string write_system(const SystemGeom& system) {
    std::string text;
    Emitter emitter(text);
    Writer(emitter).system(system);
    emitter.finish();
    return text;
}

}  // namespace vedov::document
