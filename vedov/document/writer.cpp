// The document writer: the system record as a stream of libyaml emitter events.
#include "vedov/document/writer.hpp"

#include <yaml.h>

#include <charconv>
#include <new>
#include <string_view>

#include "vedov/document/errors.hpp"
#include "vedov/document/number_format.hpp"

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

class Writer {
public:
    explicit Writer(Emitter& e) : e_(e) {}

    void system(const SystemGeom& s) {
        e_.begin_mapping();
        key("meas");
        measurements(s.meas);
        key("phi");
        measurements(s.phi);
        key("ts");
        measurements(s.ts);
        key("com");
        sequence(s.com, [&](const zam::Actuator& a) { actuator(a); });
        key("cov_model");
        sequence(s.cov_model, [&](const zam::VonKarmanLayer& l) { layer(l); });
        key("pupil");
        if (s.pupil) {
            pupil(*s.pupil);
        } else {
            e_.plain("null");
        }
        key("meas_lines");
        sequence(s.meas_lines, [&](const zam::Line& l) { line(l); });
        field("simul_dt", s.simul_dt);
        field("meas_dt", s.meas_dt);
        e_.end_mapping();
    }

private:
    void key(std::string_view name) { e_.plain(name); }

    void field(std::string_view name, double value) {
        key(name);
        e_.number(value);
    }

    template <class T, class Write>
    void sequence(const std::vector<T>& values, Write write) {
        e_.begin_sequence();
        for (const T& value : values) write(value);
        e_.end_sequence();
    }

    void measurements(const std::vector<zam::Measurement>& values) {
        sequence(values, [&](const zam::Measurement& m) { measurement(m); });
    }

    void vec2d(const zam::Vec2D& v) {
        e_.begin_mapping();
        field("x", v.x);
        field("y", v.y);
        e_.end_mapping();
    }

    void vec3d(const zam::Vec3D& v) {
        e_.begin_mapping();
        field("x", v.x);
        field("y", v.y);
        field("z", v.z);
        e_.end_mapping();
    }

    void line(const zam::Line& l) {
        e_.begin_mapping();
        field("x0", l.x0);
        field("xz", l.xz);
        field("y0", l.y0);
        field("yz", l.yz);
        e_.end_mapping();
    }

    void layer(const zam::VonKarmanLayer& l) {
        e_.begin_mapping();
        field("r0", l.r0);
        field("l0", l.l0);
        field("alt", l.alt);
        key("v");
        vec2d(l.v);
        e_.end_mapping();
    }

    void pupil(const zam::Pupil& p) {
        e_.begin_mapping();
        field("rad_outer", p.rad_outer);
        field("rad_inner", p.rad_inner);
        field("spider_thickness", p.spider_thickness);
        key("spiders");
        sequence(p.spiders, [&](const zam::Spider& s) {
            e_.begin_sequence();
            vec2d(s.start);
            vec2d(s.end);
            e_.end_sequence();
        });
        e_.end_mapping();
    }

    void measurement(const zam::Measurement& m) {
        if (const auto* phase = std::get_if<zam::Phase>(&m)) {
            e_.begin_mapping("!Phase");
            key("line");
            line(phase->line);
            e_.end_mapping();
        } else if (const auto* two_line = std::get_if<zam::SlopeTwoLine>(&m)) {
            e_.begin_mapping("!SlopeTwoLine");
            key("line_pos");
            line(two_line->line_pos);
            key("line_neg");
            line(two_line->line_neg);
            e_.end_mapping();
        } else if (const auto* edge = std::get_if<zam::SlopeTwoEdge>(&m)) {
            e_.begin_mapping("!SlopeTwoEdge");
            key("central_line");
            line(edge->central_line);
            field("edge_length", edge->edge_length);
            field("edge_separation", edge->edge_separation);
            key("gradient_axis");
            vec2d(edge->gradient_axis);
            key("npoints");
            e_.count(edge->npoints);
            field("altitude", edge->altitude);
            e_.end_mapping();
        } else {
            e_.plain("Zero");
        }
    }

    void actuator(const zam::Actuator& a) {
        if (const auto* gaussian = std::get_if<zam::Gaussian>(&a)) {
            e_.begin_mapping("!Gaussian");
            field("sigma", gaussian->sigma);
            key("position");
            vec3d(gaussian->position);
            field("microns_per_volt", gaussian->microns_per_volt);
            e_.end_mapping();
        } else if (const auto* tip_tilt = std::get_if<zam::TipTilt>(&a)) {
            e_.begin_mapping("!TipTilt");
            key("unit_response");
            vec2d(tip_tilt->unit_response);
            e_.end_mapping();
        } else {
            e_.plain("Zero");
        }
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
