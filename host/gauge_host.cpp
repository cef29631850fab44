#include "host/gauge_host.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace q7host {

namespace {

// The host's part of the module's address space.
constexpr Addr kHostBase = 0x60000000;
constexpr std::uint32_t kHostSize = 0x00100000;
constexpr Addr kTables = kHostBase;                   // two tables of 64 entries
constexpr Addr kServiceStubs = kHostBase + 0x1000;    // 8 bytes per (table, position)
constexpr Addr kSystemStubs = kHostBase + 0x2000;     // 16 bytes per bound import
constexpr Addr kReturnDouble = kHostBase + 0x3000;    // fstp qword [kResult]; stop
constexpr Addr kReturnDoubleEnd = kReturnDouble + 6;
constexpr Addr kReturnInt = kHostBase + 0x3010;       // stop
constexpr Addr kResult = kHostBase + 0x3100;          // a double the module returned
constexpr Addr kSystemResult = kHostBase + 0x3108;    // a double a system function returns
constexpr Addr kCodeArea = kHostBase + 0x4000;
constexpr Addr kCodeEnd = kHostBase + 0x10000;
constexpr Addr kHeap = kHostBase + 0x10000;
constexpr Addr kStackBase = 0x6F000000;
constexpr std::uint32_t kStackSize = 0x00100000;
constexpr Addr kStackTop = kStackBase + kStackSize - 0x1000;
constexpr std::uint8_t kServiceVector = 0x2E;
constexpr std::uint8_t kSystemVector = 0x2F;
constexpr std::uint64_t kMaxInstructions = 20'000'000;
// The registers a routine must preserve, each loaded with a marker before a call.
struct SavedRegister {
    int reg;
    std::uint32_t marker;
};
constexpr SavedRegister kSavedRegisters[] = {{UC_X86_REG_EBX, 0x5EB00001},
                                             {UC_X86_REG_ESI, 0x5EB00002},
                                             {UC_X86_REG_EDI, 0x5EB00003},
                                             {UC_X86_REG_EBP, 0x5EB00004}};
constexpr std::size_t kMaxElements = 64;
constexpr std::size_t kMaxMouseRects = 256;

// Number of 32-bit arguments of each position a gauge module may call; 0 marks
// a position the module must never call.
constexpr unsigned service_arity(unsigned position) {
    switch (position) {
        case 24: case 26: case 27: case 29: case 31: case 40: return 1;
        case 25: case 28: case 33: case 34: case 36: return 2;
        case 32: return 3;
        default: return 0;
    }
}

// The system functions the host can bind, with whether they return a double.
struct SystemFunction {
    const char* dll;
    const char* name;
    bool returns_double;
};
constexpr SystemFunction kSystemFunctions[] = {
    {"user32.dll", "wsprintfA", false},
    {"msvcrt.dll", "cos", true},
    {"msvcrt.dll", "sin", true},
    {"msvcrt.dll", "sqrt", true},
};

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

void on_interrupt_hook(uc_engine*, std::uint32_t vector, void* user) {
    static_cast<GaugeHost*>(user)->on_interrupt(vector);
}

void on_code_hook(uc_engine*, std::uint64_t, std::uint32_t, void* user) {
    static_cast<GaugeHost*>(user)->on_module_instruction();
}

struct InvalidAccess {
    bool seen = false;
    int type = 0;
    std::uint64_t address = 0;
};
thread_local InvalidAccess g_invalid;

bool on_invalid_memory(uc_engine*, uc_mem_type type, std::uint64_t address, int, std::int64_t,
                       void*) {
    g_invalid = {true, type, address};
    return false;
}

std::uint32_t page_up(std::uint32_t n) {
    return (n + 0xFFF) & ~0xFFFu;
}

}  // namespace

double latitude_from_degrees(double degrees) {
    return degrees * kMetresPerDegreeLat;
}
double longitude_from_degrees(double degrees) {
    return degrees / 360.0 * 281474976710656.0;
}

const TextReadout* FrameReadout::text_for(Addr element) const {
    for (const auto& t : texts) {
        if (t.element == element) return &t;
    }
    return nullptr;
}

GaugeHost::GaugeHost() {
    uc_open(UC_ARCH_X86, UC_MODE_32, &uc_);
    uc_ctl_set_cpu_model(uc_, UC_CPU_X86_COREDUO);
    // SSE2 arithmetic needs the OS-support bits a Windows host sets.
    std::uint64_t cr4 = 0, cr0 = 0;
    uc_reg_read(uc_, UC_X86_REG_CR4, &cr4);
    cr4 |= 0x600;
    uc_reg_write(uc_, UC_X86_REG_CR4, &cr4);
    uc_reg_read(uc_, UC_X86_REG_CR0, &cr0);
    cr0 = (cr0 & ~std::uint64_t{4}) | 2;
    uc_reg_write(uc_, UC_X86_REG_CR0, &cr0);

    uc_mem_map(uc_, kHostBase, kHostSize, UC_PROT_ALL);
    uc_mem_map(uc_, kStackBase, kStackSize, UC_PROT_READ | UC_PROT_WRITE);

    // Service entry points: "int 2Eh" then "ret 4n", or a trap for the
    // positions the module must never call.
    for (unsigned t = 0; t < 2; ++t) {
        for (unsigned p = 0; p < kServiceCount; ++p) {
            const Addr stub = kServiceStubs + (t * kServiceCount + p) * 8;
            const unsigned n = service_arity(p);
            std::vector<std::uint8_t> code{0xCD, kServiceVector};
            if (n) {
                code.insert(code.end(), {0xC2, static_cast<std::uint8_t>(4 * n), 0x00});
            } else {
                code.push_back(0xF4);
            }
            write_bytes(stub, code.data(), code.size());
            write<std::uint32_t>(kTables + t * 0x100 + 4 * p, stub);
        }
    }
    const std::uint8_t ret_double[] = {0xDD, 0x1D, 0, 0, 0, 0, 0xF4};
    write_bytes(kReturnDouble, ret_double, sizeof ret_double);
    write<std::uint32_t>(kReturnDouble + 2, kResult);
    write<std::uint8_t>(kReturnInt, 0xF4);

    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt_hook), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_invalid_memory),
                this, 1, 0);
    heap_next_ = kHeap;
    code_next_ = kCodeArea;
    host_image_ = allocate(32);
    click_point_ = allocate(8);
}

GaugeHost::~GaugeHost() {
    unload();
    uc_close(uc_);
}

void GaugeHost::read_bytes(Addr a, void* out, std::size_t n) const {
    if (uc_mem_read(uc_, a, out, n) != UC_ERR_OK) std::memset(out, 0, n);
}

std::vector<std::uint8_t> GaugeHost::read_bytes(Addr a, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    read_bytes(a, out.data(), n);
    return out;
}

void GaugeHost::write_bytes(Addr a, const void* data, std::size_t n) {
    uc_mem_write(uc_, a, data, n);
}

std::string GaugeHost::read_cstring(Addr a, std::size_t max) const {
    std::string s;
    for (std::size_t i = 0; i < max; ++i) {
        const char c = read<char>(a + static_cast<Addr>(i));
        if (!c) break;
        s += c;
    }
    return s;
}

bool GaugeHost::writable_data(Addr a, std::size_t n) const {
    uc_mem_region* regions = nullptr;
    std::uint32_t count = 0;
    if (uc_mem_regions(uc_, &regions, &count) != UC_ERR_OK) return false;
    bool ok = true;
    for (std::size_t i = 0; i < n && ok; i += 1) {
        const std::uint64_t at = a + i;
        bool found = false;
        for (std::uint32_t r = 0; r < count; ++r) {
            if (at >= regions[r].begin && at <= regions[r].end) {
                found = (regions[r].perms & UC_PROT_WRITE) && !(regions[r].perms & UC_PROT_EXEC);
                break;
            }
        }
        ok = found;
    }
    uc_free(regions);
    return ok;
}

Addr GaugeHost::allocate(std::size_t n, std::uint8_t fill) {
    const Addr a = heap_next_;
    if (n > kHostBase + kHostSize - a) {
        std::fprintf(stderr, "quorlan7 host: out of host memory (%zu bytes asked)\n", n);
        std::abort();
    }
    heap_next_ += static_cast<Addr>((n + 15) & ~std::size_t{15});
    std::vector<std::uint8_t> bytes(n, fill);
    write_bytes(a, bytes.data(), n);
    return a;
}

Addr GaugeHost::place_code(std::initializer_list<std::uint8_t> code) {
    const Addr a = code_next_;
    if (code.size() > kCodeEnd - a) {
        std::fprintf(stderr, "quorlan7 host: no room left for placed code\n");
        std::abort();
    }
    write_bytes(a, code.begin(), code.size());
    code_next_ += static_cast<Addr>((code.size() + 15) & ~std::size_t{15});
    return a;
}

bool GaugeHost::load(const std::string& path) {
    unload();
    error_.clear();
    std::string err;
    auto img = PeImage::read_file(path, err);
    if (!img) {
        error_ = path + ": " + err;
        return false;
    }
    if (!(img->characteristics & 0x2000)) {
        error_ = path + ": not a dynamic library";
        return false;
    }
    image_ = std::make_unique<PeImage>(std::move(*img));
    if (!map_image(path)) {
        image_.reset();
        return false;
    }
    const CallOutcome attach =
        call("entry routine", base_ + image_->entry_rva, {base_, 1, 0}, false);
    if (!attach.completed || attach.eax != 1) {
        error_ = path + ": the entry routine refused to attach";
        unload();
        return false;
    }
    auto find = [&](const char* name, std::uint32_t ordinal) -> Addr {
        Addr by_name = 0, by_ordinal = 0;
        for (const auto& e : image_->exports) {
            if (e.name == name) by_name = base_ + e.rva;
            if (e.ordinal == ordinal) by_ordinal = base_ + e.rva;
        }
        return by_name && by_name == by_ordinal ? by_name : 0;
    };
    import_table_ = find("ImportTable", 1);
    linkage_ = find("Linkage", 2);
    if (!import_table_) {
        error_ = path + ": ImportTable is not exported as ordinal 1";
    } else if (!linkage_) {
        error_ = path + ": Linkage is not exported as ordinal 2";
    } else if (read(import_table_ + import_table::kEntryId) != import_table::kPanelServices) {
        error_ = path + ": ImportTable does not ask for the panel services";
    }
    if (!error_.empty()) {
        unload();
        return false;
    }
    use_table(0);
    return true;
}

bool GaugeHost::map_image(const std::string& path) {
    const PeImage& img = *image_;
    base_ = img.image_base;
    const std::uint32_t size = page_up(img.image_size);
    const bool clashes = base_ < 0x10000 || (base_ < kStackBase + kStackSize && base_ + size > kHostBase);
    if (clashes) base_ = 0x10000000;
    if (uc_mem_map(uc_, base_, size, UC_PROT_ALL) != UC_ERR_OK) {
        error_ = path + ": cannot map the image at " + hex(base_);
        return false;
    }
    const auto headers = img.bytes_at(0, img.headers_size);
    write_bytes(base_, headers.data(), headers.size());
    for (const auto& s : img.sections) {
        const auto bytes = img.bytes_at(s.virtual_address, std::max(s.virtual_size, s.raw_size));
        write_bytes(base_ + s.virtual_address, bytes.data(), bytes.size());
    }
    const std::uint32_t delta = base_ - img.image_base;
    for (std::uint32_t rva : img.relocations) {
        write<std::uint32_t>(base_ + rva, read(base_ + rva) + delta);
    }
    bind_imports();
    if (counting_) attach_counter();
    uc_mem_protect(uc_, base_, page_up(img.headers_size), UC_PROT_READ);
    for (const auto& s : img.sections) {
        std::uint32_t perms = UC_PROT_NONE;
        if (s.readable()) perms |= UC_PROT_READ;
        if (s.writable()) perms |= UC_PROT_WRITE;
        if (s.executable()) perms |= UC_PROT_EXEC;
        uc_mem_protect(uc_, base_ + s.virtual_address, page_up(std::max(s.virtual_size, 1u)), perms);
    }
    return true;
}

void GaugeHost::bind_imports() {
    system_functions_.clear();
    for (const auto& imp : image_->imports) {
        const unsigned index = static_cast<unsigned>(system_functions_.size());
        system_functions_.push_back(lower(imp.dll) + "!" + imp.function);
        bool returns_double = false;
        for (const auto& f : kSystemFunctions) {
            if (lower(imp.dll) == f.dll && imp.function == f.name) returns_double = f.returns_double;
        }
        // "int 2Fh", then for a double "fld qword [result]", then "ret" (cdecl).
        std::vector<std::uint8_t> code{0xCD, kSystemVector};
        if (returns_double) {
            code.insert(code.end(), {0xDD, 0x05});
            for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kSystemResult >> (8 * k)));
        }
        code.push_back(0xC3);
        const Addr stub = kSystemStubs + index * 16;
        write_bytes(stub, code.data(), code.size());
        write<std::uint32_t>(base_ + imp.iat_rva, stub);
    }
}

void GaugeHost::unload() {
    if (image_) {
        if (import_table_ || linkage_) {
            const CallOutcome detach = call("entry routine", base_ + image_->entry_rva,
                                            {base_, 0, 0}, false);
            if (detach.completed && detach.eax != 1) violation("the entry routine refused to detach");
        }
        detach_counter();
        uc_mem_unmap(uc_, base_, page_up(image_->image_size));
    }
    image_.reset();
    buffers_.clear();
    mouse_list_ = 0;
    import_table_ = 0;
    linkage_ = 0;
    heap_next_ = kHeap;
    host_image_ = allocate(32);
    click_point_ = allocate(8);
}

void GaugeHost::count_instructions(bool on) {
    counting_ = on;
    if (on && image_) attach_counter();
    if (!on) detach_counter();
}

void GaugeHost::attach_counter() {
    if (counter_attached_) return;
    const std::uint64_t begin = base_;
    const std::uint64_t end = begin + page_up(image_->image_size) - 1;  // inclusive
    uc_hook h = 0;
    if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&on_code_hook), this, begin, end) !=
        UC_ERR_OK) {
        violation("the emulator refused the instruction-counting hook");
        return;
    }
    counter_hook_ = h;
    counter_attached_ = true;
    // Code translated before the hook existed carries no call to it.
    forget_image_translations();
}

void GaugeHost::detach_counter() {
    if (!counter_attached_) return;
    uc_hook_del(uc_, static_cast<uc_hook>(counter_hook_));
    counter_attached_ = false;
    // Translations made while counting still call the hook dispatcher.
    forget_image_translations();
}

// Drops the emulator's translated code for the image, so that the next call
// translates it afresh with or without the counting hook. Page by page: with
// Unicorn 2.0.1 one request over the whole image left the old translations in
// use, one request per page does not.
void GaugeHost::forget_image_translations() {
    const std::uint64_t begin = base_;
    const std::uint64_t end = begin + page_up(image_->image_size);
    for (std::uint64_t page = begin; page < end; page += 0x1000) {
        uc_ctl_remove_cache(uc_, page, page + 0x1000);
    }
}

Addr GaugeHost::gauge() const {
    return linkage_ ? read(linkage_ + linkage::kGauges) : 0;
}

Addr GaugeHost::root() const {
    const Addr g = gauge();
    const Addr list = g ? read(g + gauge_header::kElementList) : 0;
    return list ? read(list) : 0;
}

void GaugeHost::use_table(unsigned table) {
    write<std::uint32_t>(import_table_ + import_table::kEntryAddress, table_address(table));
}

Addr GaugeHost::table_address(unsigned table) const {
    return kTables + table * 0x100;
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

std::uint32_t GaugeHost::stack_arg(unsigned index) const {
    std::uint32_t esp = 0;
    uc_reg_read(uc_, UC_X86_REG_ESP, &esp);
    return read(esp + 4 + 4 * index);
}

void GaugeHost::on_interrupt(std::uint32_t vector) {
    std::uint32_t eip = 0;
    uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
    const Addr stub = eip - 2;
    if (vector == kServiceVector && stub >= kServiceStubs && stub < kServiceStubs + 2 * kServiceCount * 8) {
        const unsigned index = (stub - kServiceStubs) / 8;
        serve(index / kServiceCount, index % kServiceCount);
    } else if (vector == kSystemVector && stub >= kSystemStubs) {
        system_call((stub - kSystemStubs) / 16);
    } else {
        violation(std::string(current_call_) + " raised interrupt " + std::to_string(vector) +
                  " at " + hex(stub));
        call_failed_ = true;
        uc_emu_stop(uc_);
    }
}

void GaugeHost::serve(unsigned table, unsigned position) {
    const unsigned n = service_arity(position);
    ServiceCall c{table, position, {}};
    for (unsigned i = 0; i < n; ++i) c.args.push_back(stack_arg(i));
    calls_.push_back(c);
    if (service_observer) service_observer(c);
    if (!n) {
        violation(std::string(current_call_) + ": the module called service " +
                  std::to_string(position) + ", which it must never call");
        call_failed_ = true;
        uc_emu_stop(uc_);
        return;
    }
    const auto& a = c.args;
    switch (position) {
        case kServiceElementInstall:
            if (a[0] && read(a[0] + element::kKind) == element::kStaticImage &&
                install_sets_host_image_) {
                write<std::uint32_t>(a[0] + static_image::kHostImage, host_image_);
            }
            if (a[0]) prepare_text_buffers(a[0]);
            break;
        case kServiceMouseInstall:
            mouse_list_ = a[0];
            break;
        case kServiceMouseActivate:
            mouse_list_ = a[0];
            break;
        case kServiceMouseRemove:
            mouse_list_ = 0;
            break;
        case kServiceVarRefresh: {
            const std::uint32_t id = read(a[0] + module_var::kId);
            if (id != 0) write<double>(a[0] + module_var::kValue, var(id));
            break;
        }
        default:
            break;
    }
    uc_reg_write(uc_, UC_X86_REG_EAX, &results_[position]);
}

// wsprintfA as Windows has it: %[-][0][width][l|h](d|i|u|x|X|c|s) and %%, at
// most 1024 characters. The destination is not bounded, just as the real one.
void GaugeHost::system_call(unsigned index) {
    const std::string& fn = index < system_functions_.size() ? system_functions_[index] : "";
    if (fn == "user32.dll!wsprintfA") {
        const Addr dest = stack_arg(0);
        const std::string fmt = read_cstring(stack_arg(1), 1024);
        unsigned next = 2;
        std::string out;
        for (std::size_t i = 0; i < fmt.size(); ++i) {
            if (fmt[i] != '%') {
                out += fmt[i];
                continue;
            }
            if (++i >= fmt.size()) break;
            if (fmt[i] == '%') {
                out += '%';
                continue;
            }
            bool left = false, zero = false;
            for (; i < fmt.size() && (fmt[i] == '-' || fmt[i] == '0'); ++i) {
                (fmt[i] == '-' ? left : zero) = true;
            }
            unsigned width = 0;
            for (; i < fmt.size() && std::isdigit(static_cast<unsigned char>(fmt[i])); ++i) {
                width = width * 10 + (fmt[i] - '0');
            }
            if (i < fmt.size() && (fmt[i] == 'l' || fmt[i] == 'h')) ++i;
            if (i >= fmt.size()) break;
            std::string field;
            const std::uint32_t arg = stack_arg(next++);
            char buf[32];
            switch (fmt[i]) {
                case 'd': case 'i': std::snprintf(buf, sizeof buf, "%d", static_cast<std::int32_t>(arg)); field = buf; break;
                case 'u': std::snprintf(buf, sizeof buf, "%u", arg); field = buf; break;
                case 'x': std::snprintf(buf, sizeof buf, "%x", arg); field = buf; break;
                case 'X': std::snprintf(buf, sizeof buf, "%X", arg); field = buf; break;
                case 'c': field = std::string(1, static_cast<char>(arg)); break;
                case 's': field = read_cstring(arg, 1024); break;
                default: field = std::string("%") + fmt[i]; break;
            }
            while (field.size() < width) {
                if (left) field += ' ';
                else if (zero && fmt[i] != 's' && fmt[i] != 'c') {
                    const std::size_t at = (!field.empty() && field[0] == '-') ? 1 : 0;
                    field.insert(at, 1, '0');
                } else field.insert(0, 1, ' ');
            }
            out += field;
        }
        if (out.size() > 1024) out.resize(1024);
        write_bytes(dest, out.c_str(), out.size() + 1);
        const std::uint32_t n = static_cast<std::uint32_t>(out.size());
        uc_reg_write(uc_, UC_X86_REG_EAX, &n);
        return;
    }
    if (fn == "msvcrt.dll!cos" || fn == "msvcrt.dll!sin" || fn == "msvcrt.dll!sqrt") {
        double x;
        std::uint32_t w[2] = {stack_arg(0), stack_arg(1)};
        std::memcpy(&x, w, sizeof x);
        const double r = fn == "msvcrt.dll!cos"   ? std::cos(x)
                         : fn == "msvcrt.dll!sin" ? std::sin(x)
                                                  : std::sqrt(x);
        write<double>(kSystemResult, r);
        return;
    }
    violation(std::string(current_call_) + " called " + (fn.empty() ? "an unknown function" : fn) +
              ", which this host does not provide");
    call_failed_ = true;
    uc_emu_stop(uc_);
}

CallOutcome GaugeHost::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words,
                            bool returns_double) {
    CallOutcome out;
    const Addr esp0 = kStackTop;
    Addr sp = esp0 - 4 * static_cast<Addr>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) write<std::uint32_t>(sp + 4 * static_cast<Addr>(i), words[i]);
    sp -= 4;
    write<std::uint32_t>(sp, returns_double ? kReturnDouble : kReturnInt);
    const std::uint32_t zero = 0;
    uc_reg_write(uc_, UC_X86_REG_ESP, &sp);
    for (const auto& r : kSavedRegisters) uc_reg_write(uc_, r.reg, &r.marker);
    uc_reg_write(uc_, UC_X86_REG_EAX, &zero);
    const double nan = std::nan("");
    write<double>(kResult, nan);

    const char* outer = current_call_;
    current_call_ = name;
    call_failed_ = false;
    g_invalid = {};
    const Addr until = returns_double ? kReturnDoubleEnd : kReturnInt;
    const uc_err err = uc_emu_start(uc_, routine, until, 0, kMaxInstructions);
    current_call_ = outer;

    std::uint32_t eip = 0, esp = 0;
    uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
    uc_reg_read(uc_, UC_X86_REG_ESP, &esp);
    if (call_failed_) {
        out.completed = false;
        return out;
    }
    if (err != UC_ERR_OK || eip != until) {
        out.completed = false;
        std::string what = std::string(name) + " crashed at " + hex(eip) + ": ";
        what += err != UC_ERR_OK ? uc_strerror(err) : "did not return";
        if (g_invalid.seen) what += " (access to " + hex(static_cast<std::uint32_t>(g_invalid.address)) + ")";
        violation(what);
        return out;
    }
    uc_reg_read(uc_, UC_X86_REG_EAX, &out.eax);
    out.stack_delta = static_cast<std::int32_t>(esp - esp0);
    for (const auto& r : kSavedRegisters) {
        std::uint32_t value = 0;
        uc_reg_read(uc_, r.reg, &value);
        out.registers_preserved = out.registers_preserved && value == r.marker;
    }
    if (returns_double) out.st0 = read<double>(kResult);
    if (out.stack_delta != 0) {
        const int pushed = static_cast<int>(words.size()) * 4;
        violation(std::string(name) + " left the stack unbalanced: the host pushed " +
                  std::to_string(pushed) + " bytes of arguments and it removed " +
                  std::to_string(pushed + out.stack_delta));
    }
    if (!out.registers_preserved) {
        violation(std::string(name) + " did not preserve ebx, esi, edi and ebp");
    }
    return out;
}

void GaugeHost::call_hook(const char* name, Addr hook) {
    call(name, hook, {}, false);
}

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine) {
    return call(name, routine, {}, false).eax;
}

std::uint32_t GaugeHost::call_routine(const char* name, Addr routine, std::uint32_t arg) {
    return call(name, routine, {arg}, false).eax;
}

double GaugeHost::call_pointer(const char* name, Addr callback, std::uint32_t arg) {
    return call(name, callback, {arg}, true).st0;
}

double GaugeHost::call_text(const char* name, Addr callback, double arg) {
    std::uint32_t w[2];
    std::memcpy(w, &arg, sizeof w);
    return call(name, callback, {w[0], w[1]}, true).st0;
}

std::int32_t GaugeHost::call_handler(const char* name, Addr handler, std::uint32_t a,
                                     std::uint32_t b) {
    return static_cast<std::int32_t>(call(name, handler, {a, b}, false).eax);
}

std::uint32_t GaugeHost::install(std::uint32_t arg) {
    return call_routine("GaugeInstall", read(gauge() + gauge_header::kInstall), arg);
}

std::uint32_t GaugeHost::uninstall() {
    return call_routine("GaugeUninstall", read(gauge() + gauge_header::kUninstall));
}

std::vector<Addr> GaugeHost::walk(Addr root) const {
    std::vector<Addr> out;
    std::vector<Addr> pending;
    if (root) pending.push_back(root);
    while (!pending.empty() && out.size() < kMaxElements) {
        const Addr e = pending.back();
        pending.pop_back();
        out.push_back(e);
        const Addr list = read(e + element::kChildList);
        if (!list) continue;
        std::vector<Addr> children;
        for (std::size_t i = 0; i < kMaxElements; ++i) {
            const Addr c = read(list + 4 * static_cast<Addr>(i));
            if (!c) break;
            children.push_back(c);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    return out;
}

void GaugeHost::prepare_text_buffers(Addr root) {
    for (Addr e : walk(root)) {
        if (read(e + element::kKind) != element::kString) continue;
        if (auto it = buffers_.find(e); it != buffers_.end()) {
            write<std::uint32_t>(e + string_element::kTextBuffer, it->second.address);
            continue;
        }
        const unsigned usable = std::min(read(e + string_element::kMaxChars), 4096u) + 1;
        const Addr buffer = allocate(usable + kGuardBytes, kGuardByte);
        const std::vector<std::uint8_t> zeros(usable, 0);
        write_bytes(buffer, zeros.data(), usable);
        buffers_[e] = {buffer, usable};
        write<std::uint32_t>(e + string_element::kTextBuffer, buffer);
    }
}

bool GaugeHost::text_guards_intact(Addr element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return true;
    const auto guard = read_bytes(it->second.address + it->second.usable, kGuardBytes);
    return std::all_of(guard.begin(), guard.end(), [](std::uint8_t b) { return b == kGuardByte; });
}

std::string GaugeHost::read_text(Addr element) const {
    auto it = buffers_.find(element);
    if (it == buffers_.end()) return {};
    return read_cstring(it->second.address, it->second.usable + kGuardBytes);
}

void GaugeHost::check_text(const char* name, Addr element) {
    if (!text_guards_intact(element)) {
        violation(std::string(name) + " wrote past the end of its text buffer (max_chars " +
                  std::to_string(read(element + string_element::kMaxChars)) + ")");
    }
    const std::string text = read_text(element);
    if (text.size() > read(element + string_element::kMaxChars)) {
        violation(std::string(name) + " wrote " + std::to_string(text.size()) +
                  " characters into a box of " +
                  std::to_string(read(element + string_element::kMaxChars)) + ": \"" + text + "\"");
    }
}

void GaugeHost::fill_source_slots(Addr slots, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        const Addr slot = slots + i * module_var::kSize;
        const std::uint32_t id = read(slot + module_var::kId);
        if (id != 0) write<double>(slot + module_var::kValue, var(id));
    }
}

TextReadout GaugeHost::refresh_text(Addr e, double arg) {
    if (!buffers_.count(e)) prepare_text_buffers(e);
    fill_source_slots(e + string_element::kSourceVars, 3);
    TextReadout t;
    t.element = e;
    const Addr cb = read(e + string_element::kTextCallback);
    if (cb) {
        t.result = call_text("text_callback", cb, arg);
        check_text("text_callback", e);
    }
    t.text = read_text(e);
    return t;
}

FrameReadout GaugeHost::frame(double text_arg) {
    FrameReadout out;
    for (Addr e : walk(root())) {
        const std::uint32_t kind = read(e + element::kKind);
        if (kind == element::kMovingImage) {
            fill_source_slots(e + moving_image::kXSource, 1);
            fill_source_slots(e + moving_image::kYSource, 1);
            DotReadout d;
            d.element = e;
            const Addr xcb = read(e + moving_image::kXCallback);
            const Addr ycb = read(e + moving_image::kYCallback);
            if (xcb) d.x = call_pointer("x_callback", xcb, e);
            if (ycb) d.y = call_pointer("y_callback", ycb, e);
            d.screen_x = read<std::int32_t>(e + element::kPositionX) +
                         d.x * read<double>(e + moving_image::kXScale);
            d.screen_y = read<std::int32_t>(e + element::kPositionY) +
                         d.y * read<double>(e + moving_image::kYScale);
            out.dots.push_back(d);
        } else if (kind == element::kString) {
            out.texts.push_back(refresh_text(e, text_arg));
        }
    }
    return out;
}

std::vector<ClickArea> GaugeHost::click_areas(Addr list, bool* malformed) const {
    if (malformed) *malformed = false;
    std::vector<ClickArea> out;
    if (!list) list = mouse_list_;
    if (!list) return out;
    struct Origin { int x, y; };
    std::vector<Origin> parents{{0, 0}};
    for (std::size_t i = 0; i < kMaxMouseRects; ++i) {
        const Addr r = list + static_cast<Addr>(i) * mouse_rect::kSize;
        const std::uint32_t kind = read(r + mouse_rect::kKind);
        if (kind == mouse_rect::kEnd) break;
        const Origin o = parents.back();
        const int x = o.x + read<std::int32_t>(r + mouse_rect::kBoxX);
        const int y = o.y + read<std::int32_t>(r + mouse_rect::kBoxY);
        switch (kind) {
            case mouse_rect::kParent:
                parents.push_back({x, y});
                break;
            case mouse_rect::kEndParent:
                if (parents.size() > 1) parents.pop_back();
                break;
            case mouse_rect::kChild:
                out.push_back({x, y, read<std::int32_t>(r + mouse_rect::kBoxWidth),
                               read<std::int32_t>(r + mouse_rect::kBoxHeight),
                               read(r + mouse_rect::kHandler), read(r + mouse_rect::kEventMask)});
                break;
            default:
                if (malformed) *malformed = true;
                return out;
        }
    }
    return out;
}

bool GaugeHost::click(int x, int y, Addr list) {
    bool malformed = false;
    const auto areas = click_areas(list, &malformed);
    if (malformed) violation("the mouse list has an entry of unknown kind");
    for (const ClickArea& a : areas) {
        if (!a.contains(x, y) || !a.handler || !(a.event_mask & mouse_rect::kLeftSingle)) continue;
        // The handler gets the point inside its box and the event.
        write<std::int32_t>(click_point_, x - a.x);
        write<std::int32_t>(click_point_ + 4, y - a.y);
        call_handler("mouse handler", a.handler, click_point_, mouse_rect::kLeftSingle);
        return true;
    }
    return false;
}

}  // namespace q7host
