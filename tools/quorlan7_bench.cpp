// quorlan7_bench: what one frame of the gauge costs.
//
//   quorlan7_bench [--module FILE] [--frames N] [--floor-frames N] [--count-frames N]
//
// A frame is what a simulator does each time it redraws the instrument: the
// two pointer callbacks of the bearing dot and the three text callbacks. The
// benchmark prints
//   - the module's cost per frame, median over batches of frames, with the
//     reference host calling the five callbacks directly (no frame walk, no
//     text checks), and the same with a bare emulator harness that checks
//     nothing at all;
//   - the native floor: the same arithmetic and the three formatted prints
//     done inline in this program, and the ratio of module to floor;
//   - the instructions the module's own code executes per frame, counted with
//     an emulator code hook (a figure that does not depend on the machine);
//   - the module file's size, and the time to load and install it.
#include "host/gauge_host.h"
#include "host/pe_image.h"
#include "tests/reference_nav.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

using q7host::Addr;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double ns_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
}

// Ordinary frames: positions within 1.5 degrees of a waypoint, any heading.
struct Input {
    double lat, lon, heading;
};

std::vector<Input> ordinary_inputs(std::size_t n) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> off(-1.5, 1.5), hdg(0.0, 360.0);
    std::vector<Input> out;
    for (std::size_t i = 0; i < n; ++i) {
        const int row = static_cast<int>(i % q7ref::kRows);
        const double lat = (q7ref::waypoint_lat_degrees(row) + off(rng)) * 3600.0 * q7ref::kMetresPerArcSecond;
        const double lon = (q7ref::waypoint_lon_degrees(row) + off(rng)) / 360.0 * q7ref::kTurn48;
        out.push_back({lat, lon, hdg(rng)});
    }
    return out;
}

constexpr std::size_t kInputCount = 1024;
constexpr std::size_t kRowEvery = 64;  // frames between changes of the selected row

// ---------------------------------------------------------------------------
// The floor: one frame's work done natively, inline.

struct FloorSink {
    double sum = 0.0;
    char ident[8], number[8], distance[8];
};

__attribute__((noinline)) void native_frame(const Input& in, int row, FloorSink& out) {
    // Each pointer callback computes the offset and the heading rotation
    // afresh; the distance readout computes the offset a third time.
    const q7ref::Dot dx = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
    const q7ref::Dot dy = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
    const q7ref::Offset o = q7ref::offset_to(row, in.lat, in.lon);
    const float d = static_cast<float>(o.distance);
    std::snprintf(out.ident, sizeof out.ident, "%s", q7ref::kWaypoints[row].ident);
    std::snprintf(out.number, sizeof out.number, "%2d", row + 1);
    if (!(d < 100000.0f)) {
        std::snprintf(out.distance, sizeof out.distance, "-----");
    } else {
        const int n = static_cast<int>(d);
        std::snprintf(out.distance, sizeof out.distance, d >= 1000.0f ? "%5d" : d >= 10.0f ? "%4d" : "%3d", n);
    }
    out.sum += dx.x + dy.y + out.distance[3] + out.ident[0] + out.number[1];
}

// ---------------------------------------------------------------------------
// A bare harness: the module's image on an emulated i386 with nothing but
// what the five callbacks need, and optionally a code hook that counts the
// instructions executed inside the module's own image.

class BareHarness {
public:
    ~BareHarness() {
        if (uc_) uc_close(uc_);
    }

    bool load(const std::string& path, std::string& err) {
        auto img = q7host::PeImage::read_file(path, err);
        if (!img) return false;
        img_ = std::move(*img);
        base_ = img_.image_base;
        if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
            err = "cannot open the emulator";
            return false;
        }
        uc_ctl_set_cpu_model(uc_, UC_CPU_X86_COREDUO);
        std::uint64_t cr4 = 0, cr0 = 0;
        uc_reg_read(uc_, UC_X86_REG_CR4, &cr4);
        cr4 |= 0x600;  // OSFXSR, OSXMMEXCPT: SSE enabled
        uc_reg_write(uc_, UC_X86_REG_CR4, &cr4);
        uc_reg_read(uc_, UC_X86_REG_CR0, &cr0);
        cr0 = (cr0 & ~std::uint64_t{4}) | 2;
        uc_reg_write(uc_, UC_X86_REG_CR0, &cr0);

        const std::uint32_t size = (img_.image_size + 0xFFF) & ~0xFFFu;
        auto overlaps = [&](Addr lo, std::uint32_t n) { return base_ < lo + n && lo < base_ + size; };
        if (base_ < 0x10000 || overlaps(kHost, 0x20000) || overlaps(kStack, 0x10000)) {
            err = "image base clashes with the harness's memory";
            return false;
        }
        uc_mem_map(uc_, base_, size, UC_PROT_ALL);
        uc_mem_map(uc_, kHost, 0x20000, UC_PROT_ALL);
        uc_mem_map(uc_, kStack, 0x10000, UC_PROT_READ | UC_PROT_WRITE);
        const auto headers = img_.bytes_at(0, img_.headers_size);
        uc_mem_write(uc_, base_, headers.data(), headers.size());
        for (const auto& s : img_.sections) {
            const auto bytes = img_.bytes_at(s.virtual_address, std::max(s.virtual_size, s.raw_size));
            uc_mem_write(uc_, base_ + s.virtual_address, bytes.data(), bytes.size());
        }
        image_end_ = base_ + size - 1;

        // Service table: "int 2Eh; ret 4n" per position.
        for (unsigned p = 0; p < 64; ++p) {
            const unsigned args = p == 40 ? 1 : p == 36 ? 2 : 0;
            const std::uint8_t code[] = {0xCD, 0x2E, 0xC2, static_cast<std::uint8_t>(4 * args), 0x00};
            uc_mem_write(uc_, kServiceStubs + 8 * p, code, sizeof code);
            put32(kTable + 4 * p, kServiceStubs + 8 * p);
        }
        // Imports: "int 2Fh", for a double "fld qword [result]", then "ret".
        for (std::size_t i = 0; i < img_.imports.size(); ++i) {
            const auto& imp = img_.imports[i];
            names_.push_back(imp.function);
            std::vector<std::uint8_t> code{0xCD, 0x2F};
            if (imp.function == "cos" || imp.function == "sin" || imp.function == "sqrt") {
                code.insert(code.end(), {0xDD, 0x05});
                for (int k = 0; k < 4; ++k) code.push_back(static_cast<std::uint8_t>(kSysResult >> (8 * k)));
            }
            code.push_back(0xC3);
            const Addr stub = kSysStubs + 16 * static_cast<Addr>(i);
            uc_mem_write(uc_, stub, code.data(), code.size());
            put32(base_ + imp.iat_rva, stub);
        }
        const std::uint8_t ret_double[] = {0xDD, 0x1D, 0, 0, 0, 0, 0xF4};
        uc_mem_write(uc_, kReturnDouble, ret_double, sizeof ret_double);
        put32(kReturnDouble + 2, kResult);

        uc_hook h;
        uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&BareHarness::on_interrupt), this, 1, 0);

        for (const auto& e : img_.exports) {
            if (e.name == "ImportTable") put32(base_ + e.rva + 4, kTable);
            if (e.name == "Linkage") linkage_ = base_ + e.rva;
        }
        if (!linkage_) {
            err = "no Linkage export";
            return false;
        }
        const Addr gauge = get32(linkage_ + q7host::linkage::kGauges);
        const Addr root = get32(get32(gauge + q7host::gauge_header::kElementList));
        const Addr children = get32(root + q7host::element::kChildList);
        dot_ = get32(children);
        distance_ = get32(children + 4);
        ident_ = get32(children + 8);
        number_ = get32(children + 12);
        Addr buffer = kBuffers;
        for (Addr box : {distance_, ident_, number_}) {
            put32(box + q7host::string_element::kTextBuffer, buffer);
            buffer += 64;
        }
        return true;
    }

    void count_instructions() {
        uc_hook h;
        uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&BareHarness::on_code), this, base_,
                    image_end_);
    }
    std::uint64_t instructions() const { return instructions_; }

    void select(int row) {
        const double v = row;
        uc_mem_write(uc_, ident_ + q7host::string_element::kSourceVars + q7host::module_var::kValue, &v, 8);
    }

    void frame(const Input& in) {
        lat_ = in.lat;
        lon_ = in.lon;
        heading_ = in.heading;
        // The host keeps the distance box's two source slots current.
        const Addr slots = distance_ + q7host::string_element::kSourceVars + q7host::module_var::kValue;
        uc_mem_write(uc_, slots, &in.lat, 8);
        uc_mem_write(uc_, slots + q7host::module_var::kSize, &in.lon, 8);
        call(get32(dot_ + q7host::moving_image::kXCallback), {dot_});
        call(get32(dot_ + q7host::moving_image::kYCallback), {dot_});
        for (Addr box : {ident_, number_, distance_}) call(get32(box + q7host::string_element::kTextCallback), {0, 0});
    }

    // Instructions of each callback in one frame, in the order x, y, ident,
    // number, distance.
    std::array<std::uint64_t, 5> frame_breakdown(const Input& in) {
        std::array<std::uint64_t, 5> out{};
        lat_ = in.lat;
        lon_ = in.lon;
        heading_ = in.heading;
        const Addr slots = distance_ + q7host::string_element::kSourceVars + q7host::module_var::kValue;
        uc_mem_write(uc_, slots, &in.lat, 8);
        uc_mem_write(uc_, slots + q7host::module_var::kSize, &in.lon, 8);
        const Addr routines[5] = {
            get32(dot_ + q7host::moving_image::kXCallback), get32(dot_ + q7host::moving_image::kYCallback),
            get32(ident_ + q7host::string_element::kTextCallback),
            get32(number_ + q7host::string_element::kTextCallback),
            get32(distance_ + q7host::string_element::kTextCallback)};
        for (int i = 0; i < 5; ++i) {
            const std::uint64_t before = instructions_;
            call(routines[i], i < 2 ? std::vector<std::uint32_t>{dot_} : std::vector<std::uint32_t>{0, 0});
            out[i] = instructions_ - before;
        }
        return out;
    }

    bool failed() const { return failed_; }

    // Whether a frame shows what the formulas give, so that the figures above
    // are known to come from callbacks that did their whole work.
    bool shows_correctly(const Input& in, int row) {
        select(row);
        lat_ = in.lat;
        lon_ = in.lon;
        heading_ = in.heading;
        const Addr slots = distance_ + q7host::string_element::kSourceVars + q7host::module_var::kValue;
        uc_mem_write(uc_, slots, &in.lat, 8);
        uc_mem_write(uc_, slots + q7host::module_var::kSize, &in.lon, 8);
        call(get32(dot_ + q7host::moving_image::kXCallback), {dot_});
        const double x = get_double(kResult);
        call(get32(dot_ + q7host::moving_image::kYCallback), {dot_});
        const double y = get_double(kResult);
        for (Addr box : {ident_, number_, distance_}) call(get32(box + q7host::string_element::kTextCallback), {0, 0});
        const q7ref::Dot want = q7ref::dot_offsets(row, in.lat, in.lon, in.heading);
        return !failed_ && std::fabs(x - want.x) <= 1e-6 && std::fabs(y - want.y) <= 1e-6 &&
               text(ident_) == q7ref::kWaypoints[row].ident && text(number_) == q7ref::number_text(row) &&
               text(distance_) == q7ref::distance_text(row, in.lat, in.lon);
    }

private:
    static constexpr Addr kHost = 0x60000000;
    static constexpr Addr kTable = kHost;
    static constexpr Addr kServiceStubs = kHost + 0x1000;
    static constexpr Addr kSysStubs = kHost + 0x2000;
    static constexpr Addr kReturnDouble = kHost + 0x3000;
    static constexpr Addr kResult = kHost + 0x3100;
    static constexpr Addr kSysResult = kHost + 0x3108;
    static constexpr Addr kBuffers = kHost + 0x4000;
    static constexpr Addr kStack = 0x6F000000;
    static constexpr Addr kStackTop = kStack + 0xF000;

    void put32(Addr a, std::uint32_t v) { uc_mem_write(uc_, a, &v, 4); }
    std::uint32_t get32(Addr a) const {
        std::uint32_t v = 0;
        uc_mem_read(uc_, a, &v, 4);
        return v;
    }
    std::string text(Addr box) const {
        char buf[64] = {};
        uc_mem_read(uc_, get32(box + q7host::string_element::kTextBuffer), buf, sizeof buf - 1);
        return buf;
    }
    double get_double(Addr a) const {
        double v = 0;
        uc_mem_read(uc_, a, &v, 8);
        return v;
    }
    std::uint32_t arg(unsigned i) const {
        std::uint32_t esp = 0;
        uc_reg_read(uc_, UC_X86_REG_ESP, &esp);
        return get32(esp + 4 + 4 * i);
    }

    void call(Addr routine, const std::vector<std::uint32_t>& args) {
        Addr sp = kStackTop - 4 * static_cast<Addr>(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) put32(sp + 4 * static_cast<Addr>(i), args[i]);
        sp -= 4;
        put32(sp, kReturnDouble);
        uc_reg_write(uc_, UC_X86_REG_ESP, &sp);
        if (uc_emu_start(uc_, routine, kReturnDouble + 6, 0, 1'000'000) != UC_ERR_OK) failed_ = true;
    }

    static void on_code(uc_engine*, std::uint64_t, std::uint32_t, void* self) {
        ++static_cast<BareHarness*>(self)->instructions_;
    }

    static void on_interrupt(uc_engine* uc, std::uint32_t vector, void* user) {
        auto* self = static_cast<BareHarness*>(user);
        std::uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        const Addr stub = eip - 2;
        if (vector == 0x2E) {
            const unsigned position = (stub - kServiceStubs) / 8;
            if (position == 40) {
                const Addr var = self->arg(0);
                const std::uint32_t id = self->get32(var);
                const double v = id == q7host::kSimLatitude    ? self->lat_
                                 : id == q7host::kSimLongitude ? self->lon_
                                 : id == q7host::kSimHeading   ? self->heading_
                                                               : 0.0;
                uc_mem_write(uc, var + q7host::module_var::kValue, &v, 8);
            }
            return;
        }
        const std::string& fn = self->names_.at((stub - kSysStubs) / 16);
        if (fn == "cos" || fn == "sin" || fn == "sqrt") {
            const std::uint32_t w[2] = {self->arg(0), self->arg(1)};
            double x;
            std::memcpy(&x, w, 8);
            const double r = fn == "cos" ? std::cos(x) : fn == "sin" ? std::sin(x) : std::sqrt(x);
            uc_mem_write(uc, kSysResult, &r, 8);
        } else if (fn == "wsprintfA") {
            // The module's formats: plain text and one "%Nd".
            char fmt[64] = {};
            uc_mem_read(uc, self->arg(1), fmt, sizeof fmt - 1);
            char out[64];
            const int n = std::snprintf(out, sizeof out, fmt, static_cast<std::int32_t>(self->arg(2)));
            uc_mem_write(uc, self->arg(0), out, static_cast<std::size_t>(std::min(n, 63)) + 1);
            const std::uint32_t written = static_cast<std::uint32_t>(n);
            uc_reg_write(uc, UC_X86_REG_EAX, &written);
        }
    }

    uc_engine* uc_ = nullptr;
    q7host::PeImage img_;
    Addr base_ = 0, image_end_ = 0, linkage_ = 0;
    Addr dot_ = 0, distance_ = 0, ident_ = 0, number_ = 0;
    std::vector<std::string> names_;
    double lat_ = 0, lon_ = 0, heading_ = 0;
    std::uint64_t instructions_ = 0;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------

struct Args {
    std::string module = Q7_MODULE_FILE;
    std::size_t frames = 20000;        // module frames timed, per harness
    std::size_t floor_frames = 2'000'000;
    std::size_t count_frames = 2000;   // frames under the instruction counter
    std::size_t loads = 20;
};

bool parse(int argc, char** argv, Args& a) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--module") a.module = v;
        else if (k == "--frames") a.frames = std::strtoull(v, nullptr, 0);
        else if (k == "--floor-frames") a.floor_frames = std::strtoull(v, nullptr, 0);
        else if (k == "--count-frames") a.count_frames = std::strtoull(v, nullptr, 0);
        else if (k == "--loads") a.loads = std::strtoull(v, nullptr, 0);
        else return false;
    }
    return argc % 2 == 1 && a.frames >= 100 && a.floor_frames >= 1000 && a.count_frames > 0 && a.loads > 0;
}

// Median ns per frame over batches of `batch` frames.
template <typename Frame>
double per_frame_ns(std::size_t frames, std::size_t batch, Frame&& frame) {
    std::vector<double> samples;
    for (std::size_t done = 0; done < frames; done += batch) {
        const auto t0 = Clock::now();
        for (std::size_t i = done; i < done + batch; ++i) frame(i);
        samples.push_back(ns_since(t0) / static_cast<double>(batch));
    }
    return median(samples);
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a)) {
        std::fprintf(stderr,
                     "usage: quorlan7_bench [--module FILE] [--frames N>=100] [--floor-frames N>=1000] "
                     "[--count-frames N] [--loads N]\n");
        return 2;
    }
    const auto inputs = ordinary_inputs(kInputCount);
    auto input = [&](std::size_t i) -> const Input& { return inputs[i % kInputCount]; };
    auto row_of = [](std::size_t i) { return static_cast<int>((i / kRowEvery) % q7ref::kRows); };

    // The file.
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(a.module, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", a.module.c_str(), ec.message().c_str());
        return 1;
    }
    std::printf("module        %s\n", a.module.c_str());
    std::printf("file size     %ju bytes = %.2f KiB (target under 24 KiB: %s)\n", static_cast<std::uintmax_t>(bytes),
                bytes / 1024.0, bytes < 24 * 1024 ? "met" : "NOT met");

    // Loading and installing, each time in a fresh host.
    std::vector<double> start_ns, load_ns, install_ns;
    for (std::size_t i = 0; i < a.loads; ++i) {
        auto t0 = Clock::now();
        q7host::GaugeHost h;
        start_ns.push_back(ns_since(t0));
        t0 = Clock::now();
        if (!h.load(a.module)) {
            std::fprintf(stderr, "%s\n", h.error().c_str());
            return 1;
        }
        load_ns.push_back(ns_since(t0));
        t0 = Clock::now();
        h.install();
        install_ns.push_back(ns_since(t0));
        if (!h.violations().empty()) {
            std::fprintf(stderr, "host saw: %s\n", h.violations().front().c_str());
            return 1;
        }
    }
    const double load = median(load_ns), install = median(install_ns);
    std::printf("load+install  %.1f us median of %zu (load %.1f us: map, relocate, bind, entry routine; "
                "install %.1f us)\n",
                (load + install) / 1e3, a.loads, load / 1e3, install / 1e3);
    std::printf("              host and emulator start-up before that: %.1f us\n", median(start_ns) / 1e3);

    // The module, called by the reference host as a minimal host would: the
    // five callbacks directly, the distance box's sources filled first.
    q7host::GaugeHost host;
    if (!host.load(a.module)) {
        std::fprintf(stderr, "%s\n", host.error().c_str());
        return 1;
    }
    host.install();
    const Addr children = host.read(host.root() + q7host::element::kChildList);
    const Addr dot = host.read(children), distance = host.read(children + 4), ident = host.read(children + 8),
               number = host.read(children + 12);
    const Addr xcb = host.read(dot + q7host::moving_image::kXCallback);
    const Addr ycb = host.read(dot + q7host::moving_image::kYCallback);
    const Addr slots = distance + q7host::string_element::kSourceVars + q7host::module_var::kValue;
    const Addr selection = ident + q7host::string_element::kSourceVars + q7host::module_var::kValue;
    const Addr text_callbacks[3] = {host.read(ident + q7host::string_element::kTextCallback),
                                    host.read(number + q7host::string_element::kTextCallback),
                                    host.read(distance + q7host::string_element::kTextCallback)};
    const std::size_t batch = 50;
    double sink = 0.0;
    const double module_ns = per_frame_ns(a.frames, batch, [&](std::size_t i) {
        const Input& in = input(i);
        if (i % kRowEvery == 0) host.write<double>(selection, row_of(i));
        host.set_var(q7host::kSimLatitude, in.lat);
        host.set_var(q7host::kSimLongitude, in.lon);
        host.set_var(q7host::kSimHeading, in.heading);
        host.write<double>(slots, in.lat);
        host.write<double>(slots + q7host::module_var::kSize, in.lon);
        sink += host.call_pointer("bearing_dot_x", xcb, dot);
        sink += host.call_pointer("bearing_dot_y", ycb, dot);
        for (Addr cb : text_callbacks) sink += host.call_text("text_callback", cb, 0.0);
        host.clear_calls();
    });
    if (!host.violations().empty()) {
        std::fprintf(stderr, "host saw: %s\n", host.violations().front().c_str());
        return 1;
    }

    BareHarness bare;
    std::string err;
    if (!bare.load(a.module, err)) {
        std::fprintf(stderr, "%s: %s\n", a.module.c_str(), err.c_str());
        return 1;
    }
    const double bare_ns = per_frame_ns(a.frames, batch, [&](std::size_t i) {
        if (i % kRowEvery == 0) bare.select(row_of(i));
        bare.frame(input(i));
    });

    FloorSink floor_sink;
    const double floor_ns = per_frame_ns(a.floor_frames, 1000, [&](std::size_t i) {
        native_frame(input(i), row_of(i), floor_sink);
    });

    // Instructions, in a separate harness: the counting hook slows the emulator
    // down far too much to share a run with the timings.
    BareHarness counted;
    if (!counted.load(a.module, err)) {
        std::fprintf(stderr, "%s: %s\n", a.module.c_str(), err.c_str());
        return 1;
    }
    counted.count_instructions();
    std::array<std::vector<double>, 5> per_callback;
    std::vector<double> per_frame;
    for (std::size_t i = 0; i < a.count_frames; ++i) {
        if (i % kRowEvery == 0) counted.select(row_of(i));
        const auto b = counted.frame_breakdown(input(i));
        double total = 0;
        for (int k = 0; k < 5; ++k) {
            per_callback[k].push_back(static_cast<double>(b[k]));
            total += static_cast<double>(b[k]);
        }
        per_frame.push_back(total);
    }
    for (std::size_t i = 0; i < kInputCount; i += 37) {
        if (!bare.shows_correctly(input(i), row_of(i * 5)) || !counted.shows_correctly(input(i), row_of(i * 5))) {
            std::fprintf(stderr, "the bare harness does not run the module's callbacks correctly\n");
            return 1;
        }
    }

    std::printf("per frame     2 pointer callbacks + 3 text callbacks, ordinary positions, median over batches\n");
    std::printf("  module, reference host (checked calls)   %10.0f ns   (%zu frames)\n", module_ns, a.frames);
    std::printf("  module, bare emulator harness            %10.0f ns   (%zu frames)\n", bare_ns, a.frames);
    std::printf("  native floor (same arithmetic, snprintf) %10.1f ns   (%zu frames)\n", floor_ns, a.floor_frames);
    std::printf("  ratio module/floor                       %10.1f x    (bare harness: %.1f x; target 1.5 x: %s)\n",
                module_ns / floor_ns, bare_ns / floor_ns, module_ns / floor_ns <= 1.5 ? "met" : "not met");
    const double mean = [&] {
        double s = 0;
        for (double v : per_frame) s += v;
        return s / static_cast<double>(per_frame.size());
    }();
    std::printf("instructions  %.1f per frame executed in the module's own code (median %.0f, min %.0f, max %.0f; "
                "%zu frames)\n",
                mean, median(per_frame), *std::min_element(per_frame.begin(), per_frame.end()),
                *std::max_element(per_frame.begin(), per_frame.end()), a.count_frames);
    std::printf("              median per callback: x %.0f, y %.0f, ident %.0f, number %.0f, distance %.0f\n",
                median(per_callback[0]), median(per_callback[1]), median(per_callback[2]),
                median(per_callback[3]), median(per_callback[4]));
    std::printf("              (sin, cos and wsprintfA run outside the emulated code and are not counted)\n");
    // Keeps the measured work observable.
    if (sink == 1.2345 || floor_sink.sum == 1.2345) std::puts("");
    return 0;
}
