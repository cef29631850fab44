// The reference host: loads a 32-bit gauge module the way a flight simulator
// does (maps its sections, applies its relocations, binds its imports, runs its
// entry routine), hands it a table of panel services, records every service
// call, holds the simulation variables and checks that every call into the
// module leaves the stack balanced. The module's own machine code runs on an
// emulated i386 processor, so the host works on machines that cannot run 32-bit
// programs themselves.
#pragma once

#include "host/layout.h"
#include "host/pe_image.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct uc_struct;

namespace q7host {

inline constexpr unsigned kServiceCount = 64;  // the module needs at least 41

// Host position units.
inline constexpr double kMetresPerDegreeLat = 3600.0 * 30.8695987654321;
double latitude_from_degrees(double degrees);   // -> metres north
double longitude_from_degrees(double degrees);  // -> 2^48 per turn

struct ServiceCall {
    unsigned table = 0;  // which of the host's two tables the call went through
    unsigned position = 0;
    std::vector<std::uint32_t> args;
};

// What one call into the module did at the machine level.
struct CallOutcome {
    std::uint32_t eax = 0;
    double st0 = 0.0;
    std::int32_t stack_delta = 0;  // 0 when the routine removed exactly its arguments
    bool registers_preserved = true;
    bool completed = true;  // false when the routine trapped or crashed
};

struct TextReadout {
    Addr element = 0;
    std::string text;
    double result = 0.0;
};

struct DotReadout {
    Addr element = 0;
    double x = 0.0;  // callback values, before the element's scales
    double y = 0.0;
    double screen_x = 0.0;  // rest position plus value times scale, gauge pixels
    double screen_y = 0.0;
};

struct FrameReadout {
    std::vector<DotReadout> dots;
    std::vector<TextReadout> texts;
    const TextReadout* text_for(Addr element) const;
};

// A child box of a mouse list, in gauge pixels (its parents' offsets added).
struct ClickArea {
    int x = 0, y = 0, width = 0, height = 0;
    Addr handler = 0;
    std::uint32_t event_mask = 0;
    bool contains(int px, int py) const {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
    int centre_x() const { return x + width / 2; }
    int centre_y() const { return y + height / 2; }
};

class GaugeHost {
public:
    GaugeHost();
    ~GaugeHost();
    GaugeHost(const GaugeHost&) = delete;
    GaugeHost& operator=(const GaugeHost&) = delete;

    // Loads a module file: checks it is a 32-bit DLL, maps it, binds its imports,
    // runs its entry routine, finds ImportTable and Linkage by name and by
    // ordinal and writes the service table into ImportTable.
    bool load(const std::string& path);
    void unload();
    bool loaded() const { return image_ != nullptr; }
    const std::string& error() const { return error_; }
    const PeImage& image() const { return *image_; }
    Addr base() const { return base_; }
    Addr import_table() const { return import_table_; }
    Addr linkage() const { return linkage_; }
    Addr gauge() const;  // the first GaugeHeader Linkage lists
    Addr root() const;   // the first entry of the gauge's element list

    // The module's memory.
    template <typename T = std::uint32_t>
    T read(Addr a) const {
        T v{};
        read_bytes(a, &v, sizeof v);
        return v;
    }
    template <typename T>
    void write(Addr a, const T& v) {
        write_bytes(a, &v, sizeof v);
    }
    void read_bytes(Addr a, void* out, std::size_t n) const;
    std::vector<std::uint8_t> read_bytes(Addr a, std::size_t n) const;
    void write_bytes(Addr a, const void* data, std::size_t n);
    std::string read_cstring(Addr a, std::size_t max = 256) const;
    // Whether every byte of [a, a+n) is mapped writable (and not executable).
    bool writable_data(Addr a, std::size_t n) const;
    // Host-owned memory in the module's address space.
    Addr allocate(std::size_t n, std::uint8_t fill = 0);
    // Places machine code of the caller's in host memory and returns its address.
    Addr place_code(std::initializer_list<std::uint8_t> code);

    // Service table control.
    void use_table(unsigned table);  // 0 or 1: writes that table's address into ImportTable
    Addr table_address(unsigned table) const;
    void set_result(unsigned position, std::uint32_t value) { results_[position] = value; }
    void set_install_sets_host_image(bool on) { install_sets_host_image_ = on; }
    const std::vector<ServiceCall>& calls() const { return calls_; }
    void clear_calls() { calls_.clear(); }
    std::vector<unsigned> call_positions() const;
    Addr host_image_record() const { return host_image_; }
    // Called on every service call, after it is logged and before it is served.
    std::function<void(const ServiceCall&)> service_observer;

    // Simulation variables.
    void set_var(std::uint32_t id, double value) { vars_[id] = value; }
    double var(std::uint32_t id) const;
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees);

    // Problems seen at the boundary: unbalanced stack, clobbered registers, a
    // forbidden service called, a crash, a text buffer overrun.
    const std::vector<std::string>& violations() const { return violations_; }
    void clear_violations() { violations_.clear(); }
    void violation(std::string what) { violations_.push_back(std::move(what)); }

    // Checked calls into the module, one per routine shape.
    CallOutcome call(const char* name, Addr routine, const std::vector<std::uint32_t>& words,
                     bool returns_double);
    void call_hook(const char* name, Addr hook);
    std::uint32_t call_routine(const char* name, Addr routine);
    std::uint32_t call_routine(const char* name, Addr routine, std::uint32_t arg);
    double call_pointer(const char* name, Addr callback, std::uint32_t arg);
    double call_text(const char* name, Addr callback, double arg);
    std::int32_t call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b);

    // Gauge lifecycle as a simulator runs it.
    std::uint32_t install(std::uint32_t arg = 0);
    std::uint32_t uninstall();
    // Gives every string element under `root` a text buffer of max_chars + 1
    // bytes followed by guard bytes (done during install; an element keeps the
    // buffer it was given for as long as the module is loaded).
    void prepare_text_buffers(Addr root);
    FrameReadout frame(double text_arg = 0.0);
    // Refreshes one string element as a frame does: its buffer, its source
    // slots with a host variable, its callback, then the guard check.
    TextReadout refresh_text(Addr element, double arg = 0.0);

    // A click at a gauge pixel: hit-tests the mouse list the module registered
    // (or `list`) and calls the handler of the child box that holds the point.
    bool click(int x, int y, Addr list = 0);
    // The child boxes of the registered mouse list (or `list`), in list order.
    // An entry of unknown kind ends the list and sets `malformed`.
    std::vector<ClickArea> click_areas(Addr list = 0, bool* malformed = nullptr) const;
    Addr registered_mouse_list() const { return mouse_list_; }

    // The element tree, root first, children in list order.
    std::vector<Addr> walk(Addr root) const;

    bool text_guards_intact(Addr element) const;
    std::string read_text(Addr element) const;

    static constexpr unsigned kGuardBytes = 32;
    static constexpr std::uint8_t kGuardByte = 0xA5;

    // Instructions executed inside the module's image (its headers and
    // sections, base() up to base() plus the image size), counted by an
    // emulator code hook while counting is on. Host code (service and import
    // stubs, code placed with place_code) and the host-side services and
    // system functions are not counted. Off by default: no hook is installed
    // then, so calls run at full emulator speed. The setting survives
    // load/unload; the count is kept until reset_instructions().
    void count_instructions(bool on);
    bool counting_instructions() const { return counting_; }
    std::uint64_t instructions() const { return instructions_; }
    void reset_instructions() { instructions_ = 0; }

    // Internal: called from the emulator's interrupt hook.
    void on_interrupt(std::uint32_t vector);
    // Internal: called from the code hook while counting.
    void on_module_instruction() { ++instructions_; }

private:
    struct TextBuffer {
        Addr address = 0;
        unsigned usable = 0;
    };

    bool map_image(const std::string& path);
    void bind_imports();
    void serve(unsigned table, unsigned position);
    void system_call(unsigned index);
    void fill_source_slots(Addr slots, unsigned count);
    void check_text(const char* name, Addr element);
    std::uint32_t stack_arg(unsigned index) const;
    void attach_counter();
    void detach_counter();
    void forget_image_translations();

    uc_struct* uc_ = nullptr;
    std::unique_ptr<PeImage> image_;
    Addr base_ = 0;
    Addr import_table_ = 0;
    Addr linkage_ = 0;
    std::string error_;
    std::uint32_t results_[kServiceCount] = {};
    bool install_sets_host_image_ = true;
    std::vector<ServiceCall> calls_;
    std::map<std::uint32_t, double> vars_;
    std::vector<std::string> violations_;
    std::map<Addr, TextBuffer> buffers_;
    Addr mouse_list_ = 0;
    Addr host_image_ = 0;
    Addr click_point_ = 0;
    Addr heap_next_ = 0;
    Addr code_next_ = 0;
    std::vector<std::string> system_functions_;  // index -> "dll!name"
    const char* current_call_ = "";
    bool call_failed_ = false;
    bool counting_ = false;
    bool counter_attached_ = false;
    std::size_t counter_hook_ = 0;  // the emulator's hook handle while attached
    std::uint64_t instructions_ = 0;
};

}  // namespace q7host
