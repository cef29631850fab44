#include "host/gauge_host.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

extern "C" {
struct CheckedCall {
    const void* routine;
    const std::uint32_t* words;
    std::uint32_t count;
    std::uint32_t returns_double;
    std::uint32_t eax;
    std::uint32_t edx;
    double st0;
    std::int32_t stack_delta;
    std::uint32_t registers_preserved;
};
static_assert(offsetof(CheckedCall, st0) == 24 && offsetof(CheckedCall, stack_delta) == 32 &&
              offsetof(CheckedCall, registers_preserved) == 36);
void __cdecl q7_call_checked(CheckedCall* call);
}

namespace q7host {

namespace {

GaugeHost* g_active = nullptr;

// Number of 32-bit arguments of each position the module may call; 0 marks a
// position the module must never call.
constexpr unsigned service_arity(unsigned position) {
    switch (position) {
        case 24: case 26: case 27: case 29: case 31: case 40: return 1;
        case 25: case 28: case 33: case 34: case 36: return 2;
        case 32: return 3;
        default: return 0;
    }
}

template <unsigned T, unsigned P>
std::uint32_t Q7_STDCALL service1(std::uint32_t a) {
    return active_host()->serve(T, P, {a});
}
template <unsigned T, unsigned P>
std::uint32_t Q7_STDCALL service2(std::uint32_t a, std::uint32_t b) {
    return active_host()->serve(T, P, {a, b});
}
template <unsigned T, unsigned P>
std::uint32_t Q7_STDCALL service3(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return active_host()->serve(T, P, {a, b, c});
}
// A position the module must never call. Its argument count is unknown, so it
// cannot return; it abandons the call into the module instead.
template <unsigned T, unsigned P>
void __cdecl service_trap() {
    active_host()->trap(T, P);
}

template <unsigned T, unsigned P>
void* entry_for() {
    constexpr unsigned n = service_arity(P);
    if constexpr (n == 1) return reinterpret_cast<void*>(&service1<T, P>);
    else if constexpr (n == 2) return reinterpret_cast<void*>(&service2<T, P>);
    else if constexpr (n == 3) return reinterpret_cast<void*>(&service3<T, P>);
    else return reinterpret_cast<void*>(&service_trap<T, P>);
}

template <unsigned T, std::size_t... P>
void fill_table(void** table, std::index_sequence<P...>) {
    ((table[P] = entry_for<T, P>()), ...);
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

constexpr std::size_t kMaxElements = 64;
constexpr std::size_t kMaxMouseRects = 256;

}  // namespace

GaugeHost* active_host() {
    return g_active;
}

double latitude_from_degrees(double degrees) {
    return degrees * kMetresPerDegreeLat;
}
double longitude_from_degrees(double degrees) {
    return degrees / 360.0 * 281474976710656.0;
}
double latitude_to_degrees(std::int32_t metres) {
    return metres / kMetresPerDegreeLat;
}
double longitude_to_degrees(std::int32_t binary_angle) {
    return binary_angle * 360.0 / 4294967296.0;
}

const TextReadout* FrameReadout::text_for(const StringElement* element) const {
    for (const auto& t : texts) {
        if (t.element == element) return &t;
    }
    return nullptr;
}

GaugeHost::GaugeHost() {
    fill_table<0>(tables_[0], std::make_index_sequence<kServiceCount>{});
    fill_table<1>(tables_[1], std::make_index_sequence<kServiceCount>{});
    g_active = this;
}

GaugeHost::~GaugeHost() {
    unload();
    if (g_active == this) g_active = nullptr;
}

bool GaugeHost::load(const std::string& path) {
    unload();
    g_active = this;
    module_ = LoadLibraryA(path.c_str());
    if (!module_) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    auto by_name = reinterpret_cast<ImportTableRecord*>(GetProcAddress(module_, "ImportTable"));
    auto by_ordinal = reinterpret_cast<ImportTableRecord*>(
        GetProcAddress(module_, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(1))));
    auto linkage_by_name = reinterpret_cast<LinkageRecord*>(GetProcAddress(module_, "Linkage"));
    auto linkage_by_ordinal = reinterpret_cast<LinkageRecord*>(
        GetProcAddress(module_, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(2))));
    if (!by_name || by_name != by_ordinal) {
        error_ = path + ": ImportTable is not exported as ordinal 1";
        unload();
        return false;
    }
    if (!linkage_by_name || linkage_by_name != linkage_by_ordinal) {
        error_ = path + ": Linkage is not exported as ordinal 2";
        unload();
        return false;
    }
    if (by_name->panel_services.id != kPanelServicesId) {
        error_ = path + ": ImportTable does not ask for the panel services";
        unload();
        return false;
    }
    attach(by_name, linkage_by_name);
    return true;
}

void GaugeHost::attach(ImportTableRecord* import_table, LinkageRecord* linkage) {
    g_active = this;
    import_table_ = import_table;
    linkage_ = linkage;
    use_table(0);
}

void GaugeHost::unload() {
    for (auto& [element, buffer] : buffers_) const_cast<StringElement*>(element)->text_buffer = nullptr;
    buffers_.clear();
    mouse_list_ = nullptr;
    if (module_) FreeLibrary(module_);
    module_ = nullptr;
    import_table_ = nullptr;
    linkage_ = nullptr;
}

GaugeHeader* GaugeHost::gauge() const {
    return linkage_ ? linkage_->gauges[0] : nullptr;
}

ElementHeader* GaugeHost::root() const {
    GaugeHeader* g = gauge();
    return g && g->element_list ? g->element_list[0] : nullptr;
}

void GaugeHost::use_table(unsigned table) {
    import_table_->panel_services.address = tables_[table];
}

void* GaugeHost::table_address(unsigned table) {
    return tables_[table];
}

std::vector<unsigned> GaugeHost::call_positions() const {
    std::vector<unsigned> out;
    for (const auto& c : calls_) out.push_back(c.position);
    return out;
}

double GaugeHost::var(std::uint32_t id) const {
    auto it = vars_.find(id);
    return it == vars_.end() ? 0.0 : it->second;
}

void GaugeHost::set_aircraft(double lat_degrees, double lon_degrees, double heading_degrees) {
    set_var(kSimLatitude, latitude_from_degrees(lat_degrees));
    set_var(kSimLongitude, longitude_from_degrees(lon_degrees));
    set_var(kSimHeading, heading_degrees);
}

std::uint32_t GaugeHost::serve(unsigned table, unsigned position,
                               std::initializer_list<std::uint32_t> args) {
    calls_.push_back({table, position, std::vector<std::uint32_t>(args)});
    const std::uint32_t* a = args.begin();
    switch (position) {
        case kServiceElementInstall: {
            auto* root = reinterpret_cast<ElementHeader*>(a[0]);
            if (root && root->kind == KIND_STATIC_IMAGE && install_sets_host_image_) {
                reinterpret_cast<StaticImageElement*>(root)->host_image = &host_image_;
            }
            if (root) prepare_text_buffers(root);
            break;
        }
        case kServiceMouseInstall:
            mouse_list_ = reinterpret_cast<MouseRect*>(a[0]);
            host_image_.mouse_anchor = a[2];
            break;
        case kServiceMouseActivate:
            mouse_list_ = reinterpret_cast<MouseRect*>(a[0]);
            break;
        case kServiceMouseRemove:
            mouse_list_ = nullptr;
            break;
        case kServiceVarRefresh: {
            auto* v = reinterpret_cast<ModuleVar*>(a[0]);
            if (v && v->id != 0) v->value = var(v->id);
            break;
        }
        default:
            break;
    }
    return results_[position];
}

void GaugeHost::trap(unsigned table, unsigned position) {
    calls_.push_back({table, position, {}});
    violation("the module called service " + std::to_string(position) +
              ", which it must never call");
    if (!trap_jump_) {
        std::fprintf(stderr, "quorlan7 host: forbidden service %u called outside a host call\n",
                     position);
        std::abort();
    }
    __builtin_longjmp(trap_jump_, 1);
}

CallOutcome GaugeHost::call(const char* name, const void* routine, const std::uint32_t* words,
                            unsigned count, bool returns_double) {
    g_active = this;
    CheckedCall c{routine, words, count, returns_double ? 1u : 0u, 0, 0, 0.0, 0, 0};
    CallOutcome out;
    void* jump[5];
    void** outer = trap_jump_;
    trap_jump_ = jump;
    if (__builtin_setjmp(jump) == 0) {
        q7_call_checked(&c);
        trap_jump_ = outer;
        out.eax = c.eax;
        out.edx = c.edx;
        out.st0 = c.st0;
        out.stack_delta = c.stack_delta;
        out.registers_preserved = c.registers_preserved != 0;
        if (c.stack_delta != 0) {
            const int pushed = static_cast<int>(count) * 4;
            violation(std::string(name) + " left the stack unbalanced: the host pushed " +
                      std::to_string(pushed) + " bytes of arguments and it removed " +
                      std::to_string(pushed + c.stack_delta));
        }
        if (!out.registers_preserved) {
            violation(std::string(name) + " did not preserve ebx, esi and edi");
        }
    } else {
        trap_jump_ = outer;
        out.trapped = true;
        violations_.back() = std::string(name) + ": " + violations_.back();
    }
    return out;
}

void GaugeHost::call_hook(const char* name, ModuleHook hook) {
    call(name, reinterpret_cast<const void*>(hook), nullptr, 0, false);
}

std::uint32_t GaugeHost::call_routine(const char* name, GaugeRoutine routine) {
    return call(name, reinterpret_cast<const void*>(routine), nullptr, 0, false).eax;
}

std::uint32_t GaugeHost::call_routine(const char* name, GaugeRoutineWithArg routine,
                                      std::uint32_t arg) {
    return call(name, reinterpret_cast<const void*>(routine), &arg, 1, false).eax;
}

double GaugeHost::call_pointer(const char* name, PointerCallback callback, std::uint32_t arg) {
    return call(name, reinterpret_cast<const void*>(callback), &arg, 1, true).st0;
}

double GaugeHost::call_text(const char* name, TextCallback callback, double arg) {
    std::uint32_t words[2];
    std::memcpy(words, &arg, sizeof words);
    return call(name, reinterpret_cast<const void*>(callback), words, 2, true).st0;
}

std::int32_t GaugeHost::call_handler(const char* name, MouseHandler handler, std::uint32_t a,
                                     std::uint32_t b) {
    const std::uint32_t words[2] = {a, b};
    return static_cast<std::int32_t>(
        call(name, reinterpret_cast<const void*>(handler), words, 2, false).eax);
}

std::uint32_t GaugeHost::install(std::uint32_t arg) {
    GaugeHeader* g = gauge();
    return call_routine("GaugeInstall", g->install, arg);
}

std::uint32_t GaugeHost::uninstall() {
    GaugeHeader* g = gauge();
    return call_routine("GaugeUninstall", g->uninstall);
}

std::vector<ElementHeader*> GaugeHost::walk(ElementHeader* root) {
    std::vector<ElementHeader*> out;
    std::vector<ElementHeader*> pending;
    if (root) pending.push_back(root);
    while (!pending.empty() && out.size() < kMaxElements) {
        ElementHeader* e = pending.front();
        pending.erase(pending.begin());
        out.push_back(e);
        if (e->child_list) {
            std::vector<ElementHeader*> children;
            for (std::size_t i = 0; e->child_list[i] && i < kMaxElements; ++i) {
                children.push_back(e->child_list[i]);
            }
            pending.insert(pending.begin(), children.begin(), children.end());
        }
    }
    return out;
}

void GaugeHost::prepare_text_buffers(ElementHeader* root) {
    for (ElementHeader* e : walk(root)) {
        if (e->kind != KIND_STRING) continue;
        auto* s = reinterpret_cast<StringElement*>(e);
        TextBuffer& b = buffers_[s];
        b.usable = s->max_chars + 1;
        b.bytes.assign(b.usable + kGuardBytes, static_cast<char>(kGuardByte));
        std::memset(b.bytes.data(), 0, b.usable);
        s->text_buffer = b.bytes.data();
    }
}

bool GaugeHost::text_guards_intact(const StringElement* element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return true;
    const TextBuffer& b = it->second;
    for (unsigned i = b.usable; i < b.bytes.size(); ++i) {
        if (static_cast<unsigned char>(b.bytes[i]) != kGuardByte) return false;
    }
    return true;
}

std::string GaugeHost::read_text(const StringElement* element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return {};
    const TextBuffer& b = it->second;
    return std::string(b.bytes.data(), strnlen(b.bytes.data(), b.bytes.size()));
}

void GaugeHost::check_text(const char* name, const StringElement* element) {
    if (!text_guards_intact(element)) {
        violation(std::string(name) + " wrote past the end of its text buffer (max_chars " +
                  std::to_string(element->max_chars) + ")");
    }
    const std::string text = read_text(element);
    if (text.size() > element->max_chars) {
        violation(std::string(name) + " wrote " + std::to_string(text.size()) +
                  " characters into a box of " + std::to_string(element->max_chars) + ": \"" +
                  text + "\"");
    }
}

void GaugeHost::fill_source_slots(ModuleVar* slots, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (slots[i].id != 0) slots[i].value = var(slots[i].id);
    }
}

FrameReadout GaugeHost::frame(double text_arg) {
    FrameReadout out;
    for (ElementHeader* e : walk(root())) {
        if (e->kind == KIND_MOVING_IMAGE) {
            auto* m = reinterpret_cast<MovingImageElement*>(e);
            fill_source_slots(&m->x_source, 1);
            fill_source_slots(&m->y_source, 1);
            DotReadout d{m};
            const auto self = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m));
            if (m->x_callback) d.x = call_pointer("x_callback", m->x_callback, self);
            if (m->y_callback) d.y = call_pointer("y_callback", m->y_callback, self);
            d.screen_x = e->position_x + d.x * m->x_scale;
            d.screen_y = e->position_y + d.y * m->y_scale;
            out.dots.push_back(d);
        } else if (e->kind == KIND_STRING) {
            auto* s = reinterpret_cast<StringElement*>(e);
            if (!buffers_.count(s)) prepare_text_buffers(e);
            fill_source_slots(s->source_vars, 3);
            TextReadout t{s};
            if (s->text_callback) {
                t.result = call_text("text_callback", s->text_callback, text_arg);
                check_text("text_callback", s);
            }
            t.text = read_text(s);
            out.texts.push_back(std::move(t));
        }
    }
    return out;
}

bool GaugeHost::click(int x, int y, MouseRect* list) {
    if (!list) list = mouse_list_;
    if (!list) return false;
    struct Origin { int x, y; };
    std::vector<Origin> parents{{0, 0}};
    for (std::size_t i = 0; i < kMaxMouseRects && list[i].rect_kind != RECT_END_OF_LIST; ++i) {
        const MouseRect& r = list[i];
        const Origin o = parents.back();
        switch (r.rect_kind) {
            case RECT_PARENT:
                parents.push_back({o.x + r.box.x, o.y + r.box.y});
                break;
            case RECT_END_OF_PARENT:
                if (parents.size() > 1) parents.pop_back();
                break;
            case RECT_CHILD: {
                const int left = o.x + r.box.x, top = o.y + r.box.y;
                const bool inside = x >= left && x < left + r.box.width && y >= top &&
                                    y < top + r.box.height;
                if (inside && r.handler && (r.event_mask & kMouseLeftSingle)) {
                    // The handler gets the point inside its box and the event.
                    POINT local{x - left, y - top};
                    call_handler("mouse handler", r.handler,
                                 static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&local)),
                                 kMouseLeftSingle);
                    return true;
                }
                break;
            }
            default:
                violation("mouse list entry " + std::to_string(i) + " has unknown kind " +
                          hex(r.rect_kind));
                return false;
        }
    }
    return false;
}

}  // namespace q7host
