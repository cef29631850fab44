// The reference host: loads a gauge module as a flight simulator does, hands it
// a table of panel services, records every service call, holds the simulation
// variables, checks every call into the module for a balanced stack, installs
// the gauge, runs frames and delivers clicks.
#pragma once

#include "display/elements.h"
#include "display/mouse_rects.h"
#include "module/gauge.h"
#include "module/host_services.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace q7host {

inline constexpr unsigned kServiceCount = 64;  // the module needs at least 41

// The simulation variables the host serves.
inline constexpr std::uint32_t kSimLatitude = 0x47;   // metres north of the equator
inline constexpr std::uint32_t kSimLongitude = 0x48;  // 2^48 per turn
inline constexpr std::uint32_t kSimHeading = 0x56;    // degrees

// Host position units.
inline constexpr double kMetresPerDegreeLat = 3600.0 * 30.8695987654321;
double latitude_from_degrees(double degrees);   // -> metres north
double longitude_from_degrees(double degrees);  // -> 2^48 per turn
double latitude_to_degrees(std::int32_t metres);
double longitude_to_degrees(std::int32_t binary_angle);

struct ServiceCall {
    unsigned table;     // which of the host's two tables the call went through
    unsigned position;  // HostServices position
    std::vector<std::uint32_t> args;
    bool operator==(const ServiceCall&) const = default;
};

// What one call into the module did at the machine level.
struct CallOutcome {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    double st0 = 0.0;
    std::int32_t stack_delta = 0;  // 0 when the routine removed exactly its arguments
    bool registers_preserved = true;
    bool trapped = false;  // the routine called a service it must never call
};

// A readout of one text box after its callback ran.
struct TextReadout {
    StringElement* element = nullptr;
    std::string text;
    double result = 0.0;
};

// The moving dot after its two callbacks ran.
struct DotReadout {
    MovingImageElement* element = nullptr;
    double x = 0.0;  // callback values, before the element's scales
    double y = 0.0;
    double screen_x = 0.0;  // rest position plus value times scale, gauge pixels
    double screen_y = 0.0;
};

struct FrameReadout {
    std::vector<DotReadout> dots;
    std::vector<TextReadout> texts;
    const TextReadout* text_for(const StringElement* element) const;
};

// The host record behind face_image's host_image.
struct HostImageRecord {
    std::uint32_t magic = 0x51374849;  // "IH7Q"
    std::uint32_t mouse_anchor = 0;    // the word at host_image + 4
    std::uint32_t spare[6] = {};
};

class GaugeHost {
public:
    GaugeHost();
    ~GaugeHost();
    GaugeHost(const GaugeHost&) = delete;
    GaugeHost& operator=(const GaugeHost&) = delete;

    // Loads a module file, finds ImportTable and Linkage by name and by ordinal
    // and writes the service table into ImportTable. Returns false with error().
    bool load(const std::string& path);
    // Works with an ImportTable that is already in this process (module code
    // linked into a test program).
    void attach(ImportTableRecord* import_table, LinkageRecord* linkage);
    void unload();
    const std::string& error() const { return error_; }
    HMODULE module() const { return module_; }
    ImportTableRecord* import_table() const { return import_table_; }
    LinkageRecord* linkage() const { return linkage_; }
    GaugeHeader* gauge() const;

    // Service table control.
    void use_table(unsigned table);  // 0 or 1: writes that table's address into ImportTable
    void* table_address(unsigned table);
    void set_result(unsigned position, std::uint32_t value) { results_[position] = value; }
    void set_install_sets_host_image(bool on) { install_sets_host_image_ = on; }
    const std::vector<ServiceCall>& calls() const { return calls_; }
    void clear_calls() { calls_.clear(); }
    std::vector<unsigned> call_positions() const;

    // Simulation variables.
    void set_var(std::uint32_t id, double value) { vars_[id] = value; }
    double var(std::uint32_t id) const;
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees);

    // Problems seen at the boundary: unbalanced stack, clobbered registers, a
    // forbidden service called, a text buffer overrun. Empty when all is well.
    const std::vector<std::string>& violations() const { return violations_; }
    void clear_violations() { violations_.clear(); }
    void violation(std::string what) { violations_.push_back(std::move(what)); }

    // Checked calls into the module, one per routine shape.
    CallOutcome call(const char* name, const void* routine, const std::uint32_t* words,
                     unsigned count, bool returns_double);
    void call_hook(const char* name, ModuleHook hook);
    std::uint32_t call_routine(const char* name, GaugeRoutine routine);
    std::uint32_t call_routine(const char* name, GaugeRoutineWithArg routine, std::uint32_t arg);
    double call_pointer(const char* name, PointerCallback callback, std::uint32_t arg);
    double call_text(const char* name, TextCallback callback, double arg);
    std::int32_t call_handler(const char* name, MouseHandler handler, std::uint32_t a,
                              std::uint32_t b);

    // Gauge lifecycle as a simulator runs it.
    std::uint32_t install(std::uint32_t arg = 0);
    std::uint32_t uninstall();
    // Gives every string element of the tree a guarded text buffer (done during
    // install; callable directly for module code linked into a test).
    void prepare_text_buffers(ElementHeader* root);
    FrameReadout frame(double text_arg = 0.0);

    // Clicks at a gauge pixel: hit-tests the mouse list the module registered
    // (or `list` when given) and calls the handler of the innermost child box
    // that holds the point. Returns false when no box took the click.
    bool click(int x, int y, MouseRect* list = nullptr);
    MouseRect* registered_mouse_list() const { return mouse_list_; }

    // Element tree helpers.
    static std::vector<ElementHeader*> walk(ElementHeader* root);
    ElementHeader* root() const;
    HostImageRecord& host_image_record() { return host_image_; }

    // Text buffer guard checks (also run after every text callback).
    bool text_guards_intact(const StringElement* element) const;
    std::string read_text(const StringElement* element) const;

    // Service bodies, called from the table's entry points.
    std::uint32_t serve(unsigned table, unsigned position, std::initializer_list<std::uint32_t> args);
    [[noreturn]] void trap(unsigned table, unsigned position);

    static constexpr unsigned kGuardBytes = 32;
    static constexpr unsigned char kGuardByte = 0xA5;

private:
    struct TextBuffer {
        std::vector<char> bytes;  // max_chars + 1, then the guard bytes
        unsigned usable = 0;
    };

    void fill_source_slots(ModuleVar* slots, unsigned count);
    void check_text(const char* name, const StringElement* element);

    HMODULE module_ = nullptr;
    ImportTableRecord* import_table_ = nullptr;
    LinkageRecord* linkage_ = nullptr;
    std::string error_;
    void* tables_[2][kServiceCount] = {};
    std::uint32_t results_[kServiceCount] = {};
    bool install_sets_host_image_ = true;
    std::vector<ServiceCall> calls_;
    std::map<std::uint32_t, double> vars_;
    std::vector<std::string> violations_;
    std::map<const StringElement*, TextBuffer> buffers_;
    MouseRect* mouse_list_ = nullptr;
    HostImageRecord host_image_;
    void** trap_jump_ = nullptr;
};

// The host that the service entry points report to.
GaugeHost* active_host();

}  // namespace q7host
