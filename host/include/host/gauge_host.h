// The gauge as a panel host runs it: load a module file, install and uninstall the gauge, guarded
// text buffers, frames, clicks through the registered mouse list, the element tree as typed views.
// What tools and most tests use; it reaches the machine and the services only through their faces.
#pragma once

#include "host/element_views.h"
#include "host/machine.h"
#include "host/module_loader.h"
#include "host/panel_services.h"
#include "host/windows.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace q7host {

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
    int left = 0, top = 0;  // the pixel the bitmap's top-left corner is placed on
};

// Where a moving image's bitmap lands: its screen position rounded to whole
// pixels; a callback value that is not a number leaves it at rest.
int placed_pixel(double screen, int rest);

// Everything one frame showed.
struct FrameReadout {
    std::vector<DotReadout> dots;    // every moving image, in tree order
    std::vector<TextReadout> texts;  // every text box, in tree order
    // The quorlan7 instrument's parts by role; a part the tree lacks stays
    // empty (element 0). The identifier's result is the selection index.
    DotReadout dot;
    TextReadout distance, ident, number;
    double selection() const { return ident.result; }
    // The services the module called during the frame, in order.
    std::vector<ServiceCall> calls;
    const TextReadout* text_for(Addr element) const;
};

class GaugeHost {
public:
    GaugeHost();
    ~GaugeHost();
    GaugeHost(const GaugeHost&) = delete;
    GaugeHost& operator=(const GaugeHost&) = delete;

    // Loads a module file as a Windows host does: checks it is a 32-bit DLL,
    // maps it, binds its imports, runs its TLS callbacks and entry routine,
    // finds ImportTable and Linkage by name and by ordinal and writes service
    // table 0 into ImportTable.
    bool load(const std::string& path);
    // The same from the file's bytes; `name` stands for the file in errors.
    bool load(std::vector<std::uint8_t> bytes, const std::string& name);
    void unload();
    // Puts the host back as it was when it was made (no module, no
    // problems, warnings, calls, results or variables), far faster than
    // making a new one. False when it cannot: its emulator stopped for good.
    bool reset();
    bool loaded() const { return module_.has_value(); }
    const std::string& error() const { return error_; }
    // Why the last load failed: the file cannot be used, or the module
    // misbehaved (its entry routine or a TLS callback crashed, looped or
    // refused, or ImportTable lies where the host cannot write).
    enum class LoadFailure { kNone, kFile, kModule };
    LoadFailure load_failure() const { return failure_; }
    const PeImage& image() const { return module_->image; }
    Addr base() const { return module_ ? module_->base : 0; }
    Addr import_table() const { return import_table_; }
    Addr linkage() const { return linkage_; }
    Addr gauge() const;  // the first GaugeHeader Linkage lists
    Addr root() const;   // the first entry of the gauge's element list
    // Writes the address of service table 0 or 1 into ImportTable.
    void use_table(unsigned table);

    // The simulation as the module sees it through the services: the
    // aircraft (degrees), any variable (host units), the result a service
    // position returns, the calls made since the log was last cleared and
    // the mouse list the module registered.
    void set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
        services_.set_aircraft(lat_degrees, lon_degrees, heading_degrees);
    }
    void set_variable(std::uint32_t id, double value) { services_.set_var(id, value); }
    void set_service_result(Service s, std::uint32_t value) { services_.set_result(position_of(s), value); }
    const std::vector<ServiceCall>& calls() const { return services_.calls(); }
    void clear_calls() { services_.clear_calls(); }
    std::vector<unsigned> call_positions() const { return services_.call_positions(); }
    Addr mouse_list() const { return services_.registered_mouse_list(); }

    // The waypoint the instrument selects: the value in the identifier box's
    // first source slot, which the module reads as its row. `select` writes
    // any value there, as a hostile host would; NaN when there is no such box.
    double selection();
    void select(double row);
    // Points a text box at another buffer (0 for none) and returns the one it
    // had, for checking how the module copes; the host's guards stay with the
    // buffer it handed out.
    Addr swap_text_buffer(Addr element, Addr buffer);

    // Guest instructions run while counting is on (exact, slower).
    void count_instructions(bool on) { machine_.count_instructions(on); }
    std::uint64_t instructions() const { return machine_.instructions(); }
    void reset_instructions() { machine_.reset_instructions(); }
    // How many instructions a call may run before it counts as not returning
    // (Machine::kInstructionBudget until changed; a reset puts it back).
    void set_instruction_budget(std::uint64_t n) { machine_.set_instruction_budget(n); }
    // The budget of load-time code (the loader routines with the C runtime's
    // start-up, GaugeInstall); Machine::kLoadBudget until changed.
    void set_load_budget(std::uint64_t n) { machine_.set_load_budget(n); }

    Machine& machine() { return machine_; }
    const Machine& machine() const { return machine_; }
    PanelServices& services() { return services_; }
    const PanelServices& services() const { return services_; }
    // The Windows process the module runs in; what the module printed to
    // its standard output and error.
    WindowsProcess& process() { return process_; }
    const std::string& output() const { return process_.output(); }

    // Problems seen at the boundary since they were last cleared.
    const std::vector<Problem>& problems() const { return machine_.problems(); }
    void clear_problems() { machine_.clear_problems(); }
    // What is odd about the module but does not stop it, since the last load
    // began (each once).
    const std::vector<Warning>& warnings() const { return warnings_; }
    void warn(Warning w);

    // A bitmap resource as a panel host loads it (FindResource over the
    // mapped image): its bytes, or nothing with `why` set.
    std::optional<std::vector<std::uint8_t>> find_bitmap(std::uint32_t id, std::string& why) const;
    // Whether a Windows process may write [a, a + n): a writable section of
    // the module, or the host's own data.
    bool writable(Addr a, std::size_t n) const;

    // Checked calls into the module, one per routine shape.
    void call_hook(const char* name, Addr hook);
    std::uint32_t call_routine(const char* name, Addr routine);
    std::uint32_t call_routine(const char* name, Addr routine, std::uint32_t arg);
    double call_pointer(const char* name, Addr callback, std::uint32_t arg);
    double call_text(const char* name, Addr callback, double arg);
    std::int32_t call_handler(const char* name, Addr handler, std::uint32_t a, std::uint32_t b);

    // The gauge's lifecycle as a simulator runs it.
    std::uint32_t install(std::uint32_t arg = 0);
    std::uint32_t uninstall();

    // The tree the gauge installed (read afresh when the root changes).
    const ElementTree& elements();
    Instrument instrument() { return find_instrument(elements()); }
    std::vector<Addr> walk(Addr root) const { return walk_elements(machine_, root); }

    // One frame: the moving images' callbacks, then each text box refreshed,
    // in tree order; the readout has the parts by role and the calls made.
    FrameReadout frame(double text_arg = 0.0);
    // Refreshes one text box as a frame does: its buffer, its source slots
    // that name a host variable, its callback, then the guard check.
    TextReadout refresh_text(Addr element, double arg = 0.0);

    // Text buffers are max_chars + 1 bytes followed by guard bytes; an element
    // keeps the buffer it was given for as long as the module is loaded.
    static constexpr unsigned kGuardBytes = 32;
    static constexpr std::uint8_t kGuardByte = 0xA5;
    bool text_guards_intact(Addr element) const;
    std::string read_text(Addr element) const;
    // Puts back guard bytes a callback overwrote.
    void rearm_guards(Addr element);

    // A click at a gauge pixel: hit-tests the mouse list the module registered
    // (or `list`) and calls the handler of the child box that holds the point.
    bool click(int x, int y, Addr list = 0);
    std::vector<ClickArea> click_areas(Addr list = 0, bool* malformed = nullptr) const;

private:
    struct TextBuffer {
        Addr address = 0;
        unsigned usable = 0;
    };
    void prepare_text_buffers(Addr root);
    void check_text(const char* name, Addr element);
    ImportBinding resolve_import(const PeImport& import);
    bool load_image(PeImage&& image, const std::string& path);
    bool fail_load(LoadFailure why, const std::string& error);
    void take_warnings(std::vector<Warning> ws);
    // Runs `f`; memory the module's records point at but does not have
    // becomes a problem of `what`, and so does an emulator that has stopped.
    template <typename F>
    auto guarded(const char* what, F&& f) -> decltype(f());

    // What a host is made of that costs to make: the emulated machine with
    // the service tables and the host's records in it. A host that is done
    // leaves them, rewound to how they were made, to the next one made in
    // the process (see gauge_host.cpp).
    struct Parts;
    static std::vector<std::unique_ptr<Parts>>& kept_parts();
    static std::unique_ptr<Parts> take_parts();
    static void give_back(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts_;
    Machine& machine_;
    PanelServices& services_;
    Machine::Mark unloaded_;  // host memory as it is with no module loaded
    std::optional<LoadedModule> module_;
    bool attached_ = false;  // the loader routines ran for attach and succeeded
    std::vector<Warning> warnings_;
    Addr import_table_ = 0;
    Addr linkage_ = 0;
    std::string error_;
    LoadFailure failure_ = LoadFailure::kNone;
    std::map<Addr, TextBuffer> buffers_;
    WindowsProcess& process_;
    ElementTree tree_;
    Addr click_point_ = 0;  // where a click's point is handed to a handler
};

}  // namespace q7host
