#include "tools/sweep.h"

#include "model/reference_nav.h"
#include "tools/text_escape.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace q7sweep {

namespace {

using namespace q7host;

constexpr double kOffsetLimit = q7ref::kRadius * (1.0 + 1e-6);
constexpr double kReferenceTolerance = 1e-6;

double from_bits(std::uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

std::uint64_t to_bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Equal as the host would see it: the same bits, or both NaN (a NaN may come
// back quietened through the x87 return register).
bool same_value(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || to_bits(a) == to_bits(b);
}

std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g [%016" PRIx64 "]", v, to_bits(v));
    return buf;
}

std::string quoted(const std::string& s) {
    std::string out(1, '"');
    out += q7tools::readable(s);
    out += '"';
    return out;
}

// The index the two step operations leave behind.
double stepped(double index, bool next) {
    if (next) {
        const double v = index + 1.0;
        return v == 20.0 ? 0.0 : v;
    }
    const double v = index - 1.0;
    return v == -1.0 ? 19.0 : v;
}

int ident_row(const std::string& text) {
    for (int r = 0; r < q7ref::kRows; ++r) {
        if (text == q7ref::kWaypoints[r].ident) return r;
    }
    return -1;
}

// The readout a whole number of miles shows, chosen by the number itself.
std::string distance_form(long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, n < 10 ? "%3ld" : n < 1000 ? "%4ld" : "%5ld", n);
    return buf;
}

bool well_formed_distance(const std::string& t) {
    if (t == "-----") return true;
    if (t.empty() || t.size() > 5) return false;
    std::size_t i = 0;
    while (i < t.size() && t[i] == ' ') ++i;
    if (i == t.size()) return false;
    long n = 0;
    for (std::size_t k = i; k < t.size(); ++k) {
        if (t[k] < '0' || t[k] > '9') return false;
        n = n * 10 + (t[k] - '0');
    }
    return distance_form(n) == t;
}

int number_value(const std::string& t) {
    for (int n = 1; n <= q7ref::kRows; ++n) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%2d", n);
        if (t == buf) return n;
    }
    return -1;
}

}  // namespace

const char* check_name(Check c) {
    static const char* const names[kCheckCount] = {
        "stack",   "registers", "crash",    "host",     "guard",   "length",
        "offset",  "text-form", "reference", "services", "click",  "structure",
    };
    return names[static_cast<std::size_t>(c)];
}

const char* family_name(Family f) {
    static const char* const names[kCoverageCount] = {
        "NaN",          "infinity",          "magnitude >= 1e300", "denormal",
        "zero",         "beyond the poles",  "turns west",         "turns east",
        "heading >= 1e9", "selection no row",
    };
    return names[static_cast<std::size_t>(f)];
}

Check classify_host_problem(const q7host::Problem& p) {
    switch (p.kind) {
        case ProblemKind::StackUnbalanced: return Check::Stack;
        case ProblemKind::RegistersClobbered: return Check::Registers;
        case ProblemKind::Crash:
        case ProblemKind::NoReturn:
        case ProblemKind::StrayInterrupt:
        case ProblemKind::ForbiddenService:
        case ProblemKind::MissingFunction: return Check::Crash;
        case ProblemKind::TextOverrun: return Check::Guard;
        case ProblemKind::TextTooLong: return Check::Length;
        default: return Check::Host;
    }
}

std::vector<Problem> check_frame(const FrameState& f) {
    std::vector<Problem> out;
    auto fail = [&](Check c, std::string what) { out.push_back({c, std::move(what)}); };

    for (const auto& v : f.host_violations) fail(classify_host_problem(v), "host: " + v.sentence());
    if (f.dots != 1 || f.texts != 3) {
        fail(Check::Structure, "the frame showed " + std::to_string(f.dots) + " dots and " +
                                   std::to_string(f.texts) + " texts");
        return out;
    }

    // Every text inside its buffer and its box.
    const struct {
        const char* name;
        const TextState& t;
    } boxes[] = {{"distance", f.distance}, {"ident", f.ident}, {"number", f.number}};
    for (const auto& b : boxes) {
        if (!b.t.guards_intact) fail(Check::Guard, std::string(b.name) + " buffer's guard bytes overwritten");
        if (b.t.text.size() > b.t.max_chars) {
            fail(Check::Length, std::string(b.name) + " text " + quoted(b.t.text) + " is longer than " +
                                    std::to_string(b.t.max_chars) + " characters");
        }
    }

    // The dot: finite, and never farther from rest than the circle's radius.
    const double sx = f.screen_x - q7ref::kRestX, sy = f.screen_y - q7ref::kRestY;
    if (!std::isfinite(f.dot_x) || !std::isfinite(f.dot_y) || !std::isfinite(sx) ||
        !std::isfinite(sy)) {
        fail(Check::Offset, "dot offset not finite: x " + show(f.dot_x) + ", y " + show(f.dot_y));
    } else if (std::hypot(f.dot_x, f.dot_y) > kOffsetLimit || std::hypot(sx, sy) > kOffsetLimit) {
        fail(Check::Offset, "dot " + std::to_string(std::hypot(sx, sy)) +
                                " px from rest (callback x " + show(f.dot_x) + ", y " + show(f.dot_y) + ")");
    }

    // Texts that a pilot could see at all.
    // A box whose callback had no buffer keeps what it showed before.
    for (const auto& b : boxes) {
        if (b.t.null_buffer && b.t.text != b.t.before) {
            fail(Check::Reference, std::string(b.name) + " changed from " + quoted(b.t.before) + " to " +
                                       quoted(b.t.text) + " while its text_buffer was null");
        }
    }
    // A box whose callback has had no buffer since the gauge was installed
    // still shows nothing, which is no readout but no fault either.
    auto never_drawn = [](const TextState& t) { return t.null_buffer && t.before.empty() && t.text.empty(); };
    const int row = ident_row(f.ident.text);
    const int number = number_value(f.number.text);
    if (row < 0 && !never_drawn(f.ident)) fail(Check::TextForm, "ident " + quoted(f.ident.text) + " names no waypoint");
    if (number < 0 && !never_drawn(f.number)) {
        fail(Check::TextForm, "number " + quoted(f.number.text) + " is not 1 to 20 in \"%2d\"");
    }
    if (row >= 0 && number >= 0 && number != row + 1 && !f.ident.null_buffer && !f.number.null_buffer) {
        fail(Check::TextForm, "ident " + quoted(f.ident.text) + " shown with number " + quoted(f.number.text));
    }
    if (!well_formed_distance(f.distance.text) && !never_drawn(f.distance)) {
        fail(Check::TextForm, "distance " + quoted(f.distance.text) + " is not a distance readout");
    }

    // Everything against the re-computation.
    const int text_row = q7ref::row_for_text(f.selection);
    const int dot_row = q7ref::row_for_dot(f.selection);
    const q7ref::Dot want = q7ref::dot_offsets(dot_row, f.latitude, f.longitude, f.heading);
    const bool dot_agrees = std::fabs(f.dot_x - want.x) <= kReferenceTolerance &&
                            std::fabs(f.dot_y - want.y) <= kReferenceTolerance &&
                            std::fabs(sx - want.x) <= kReferenceTolerance &&
                            std::fabs(sy + want.y) <= kReferenceTolerance;
    if (!dot_agrees) {
        fail(Check::Reference, "dot at (" + show(sx) + ", " + show(sy) + ") from rest, expected (" +
                                   show(want.x) + ", " + show(-want.y) + ") for row " +
                                   std::to_string(dot_row));
    }
    if (!f.ident.null_buffer && f.ident.text != q7ref::kWaypoints[text_row].ident) {
        fail(Check::Reference, "ident " + quoted(f.ident.text) + ", expected " +
                                   quoted(q7ref::kWaypoints[text_row].ident));
    }
    if (!f.number.null_buffer && f.number.text != q7ref::number_text(f.selection)) {
        fail(Check::Reference, "number " + quoted(f.number.text) + ", expected " +
                                   quoted(q7ref::number_text(f.selection)));
    }
    const q7ref::Offset o = q7ref::offset_to(text_row, f.latitude, f.longitude);
    const std::string want_distance = q7ref::distance_text_for(q7ref::single(o.distance));
    if (!f.distance.null_buffer && f.distance.text != want_distance &&
        !q7ref::near_format_boundary(o.distance)) {
        fail(Check::Reference, "distance " + quoted(f.distance.text) + ", expected " +
                                   quoted(want_distance) + " for " + show(o.distance) + " nm");
    }
    if (!same_value(f.ident.result, f.selection) || !same_value(f.distance.result, f.selection) ||
        !same_value(f.number.result, f.selection + 1.0)) {
        fail(Check::Reference, "text callbacks returned " + show(f.ident.result) + ", " +
                                   show(f.distance.result) + ", " + show(f.number.result) +
                                   " for selection " + show(f.selection));
    }

    // Each pointer callback refreshes latitude, longitude and heading once, in
    // that order; the text callbacks call nothing.
    const std::uint32_t order[] = {kSimLatitude, kSimLongitude, kSimHeading};
    bool services_ok = f.services.size() == 6;
    for (std::size_t i = 0; services_ok && i < 6; ++i) {
        services_ok = f.services[i].first == kServiceVarRefresh && f.services[i].second == order[i % 3];
    }
    if (!services_ok) {
        std::string seen;
        for (const auto& s : f.services) seen += " " + std::to_string(s.first);
        fail(Check::Services, "service calls during the frame:" + (seen.empty() ? " none" : seen));
    }
    return out;
}

double HostileValues::special() {
    const double sign = chance(0.5) ? -1.0 : 1.0;
    const std::uint64_t sign_bit = sign < 0 ? 0x8000000000000000ull : 0;
    switch (below(16)) {
        case 0: return sign * std::numeric_limits<double>::quiet_NaN();
        case 1:  // signalling NaN with a payload
            return from_bits(sign_bit | 0x7FF0000000000000ull | ((bits() & 0x0007FFFFFFFFFFFFull) | 1));
        case 2:  // any NaN
            return from_bits(sign_bit | 0x7FF0000000000000ull | ((bits() & 0x000FFFFFFFFFFFFFull) | 1));
        case 3: return sign * std::numeric_limits<double>::infinity();
        case 4: return sign * 1e308;
        case 5: return sign * std::numeric_limits<double>::max();
        case 6: return sign * std::numeric_limits<double>::min();
        case 7: return sign * std::numeric_limits<double>::denorm_min();
        case 8: return from_bits(sign_bit | ((bits() & 0x000FFFFFFFFFFFFFull) | 1));  // denormal
        case 9: return sign * 0.0;
        case 10: return from_bits(bits());
        case 11: return sign * std::pow(10.0, uniform(20, 308));
        case 12: return sign * std::pow(10.0, uniform(-323, -20));
        case 13: return sign * std::ldexp(uniform(1, 2), 120 + below(20));  // around float overflow
        case 14: return sign * std::ldexp(1.0, below(1024));
        default: return static_cast<double>(static_cast<std::int64_t>(bits()));
    }
}

double HostileValues::latitude(int row, bool hostile) {
    const double metres_per_degree = q7ref::kMetresPerDegreeLat;
    if (!hostile) {
        const std::int32_t raw = q7ref::kWaypoints[row].latitude;
        if (chance(0.05)) return raw;  // on the waypoint's own latitude
        if (chance(0.05)) return raw + uniform(-50, 50);
        return (q7ref::waypoint_lat_degrees(row) + uniform(-1.5, 1.5)) * metres_per_degree;
    }
    const double sign = chance(0.5) ? -1.0 : 1.0;
    switch (below(5)) {
        case 0: case 1: return special();
        case 2: case 3:  // beyond the poles, a hair to a million degrees
            return sign * (90.0 + std::pow(10.0, uniform(-9, 6))) * metres_per_degree;
        default: {
            const double notable[] = {90, 180, 270, 360, 142, 1e4};
            return sign * notable[below(6)] * metres_per_degree;
        }
    }
}

double HostileValues::longitude(int row, bool hostile) {
    const double per_degree = q7ref::kTurn48 / 360.0;
    const double ordinary = (q7ref::waypoint_lon_degrees(row) + uniform(-1.5, 1.5)) * per_degree;
    if (!hostile) {
        const double raw = q7ref::kWaypoints[row].longitude * 65536.0;
        double lon = ordinary;
        if (chance(0.05)) lon = raw;  // on the waypoint's own longitude
        else if (chance(0.05)) lon = raw + uniform(-4e8, 4e8);  // within some fifty metres
        if (chance(0.3)) lon += q7ref::kTurn48;  // the same place as a positive angle
        return lon;
    }
    const double sign = chance(0.5) ? -1.0 : 1.0;
    switch (below(10)) {
        case 0: case 1: case 2: case 3: return special();
        case 4: case 5: case 6: case 7: case 8:  // many turns away, either way round
            return ordinary + sign * std::floor(std::pow(10.0, uniform(0, 7))) * q7ref::kTurn48;
        default:
            return sign * std::pow(10.0, uniform(16, 30));
    }
}

double HostileValues::heading(bool hostile) {
    if (!hostile) return chance(0.8) ? uniform(0, 360) : uniform(-720, 720);
    const double sign = chance(0.5) ? -1.0 : 1.0;
    switch (below(5)) {
        case 0: case 1: return special();
        case 2: return sign * 1e9;
        case 3: return sign * std::pow(10.0, uniform(3, 15));
        default: return sign * uniform(360, 1e6);
    }
}

double HostileValues::selection_garbage() {
    const int r = below(q7ref::kRows);
    const double sign = chance(0.5) ? -1.0 : 1.0;
    switch (below(10)) {
        case 0: case 1: case 2: return special();
        case 3:  // a hair off a row: its single-precision form may still match it
            return r + sign * std::ldexp(1.0, -20 - below(33));
        case 4: return r + sign * 0.5;
        case 5: {
            const double outside[] = {20.0, -1.0, 21.0, -2.0, 1e6, -1e6, 40.0, 2147483648.0};
            return outside[below(8)];
        }
        case 6: return chance(0.5) ? -0.0 : -static_cast<double>(r);
        case 7: return from_bits(bits());
        case 8:
            return static_cast<double>(
                std::nextafter(static_cast<float>(r), sign * std::numeric_limits<float>::infinity()));
        default: return r * 65536.0 + 0.25;
    }
}

bool Report::coverage_complete() const {
    if (frames < kCoverageMinFrames) return true;
    for (auto c : coverage) {
        if (c == 0) return false;
    }
    return true;
}

std::uint64_t Report::failure_count() const {
    std::uint64_t n = 0;
    for (auto c : failures) n += c;
    return n;
}

namespace {

class Sweep {
public:
    // Runs `o.frames` frames from `o.seed`, numbering them from `first_frame`.
    Sweep(const Options& o, Report& r, std::uint64_t first_frame)
        : opt_(o), rep_(r), values_(o.seed), first_frame_(first_frame) {}

    void run() {
        if (!host_.load(opt_.module)) {
            rep_.load_error = host_.error();
            return;
        }
        if (opt_.before_install) opt_.before_install(host_);
        host_.install();
        if (opt_.after_install) opt_.after_install(host_);
        el_ = host_.instrument();
        record_host_problems("install");

        for (frame_ = 0; frame_ < opt_.frames; ++frame_) {
            steer_selection();
            one_frame();
            if (values_.chance(0.12)) one_click();
            if (values_.chance(0.01)) one_direct_handler_call();
            if (values_.chance(1.0 / 4000)) reinstall();
        }
        rep_.frames = frame_;
    }

private:
    double selection() const { return host_.machine().read<double>(el_.selection_slot()); }

    void report(Check c, const std::string& what, const std::string& context) {
        ++rep_.failures[static_cast<std::size_t>(c)];
        if (rep_.first_failures.size() < opt_.max_reports) {
            rep_.first_failures.push_back("frame " + std::to_string(first_frame_ + frame_) + " [" + check_name(c) +
                                          "] " + what + context);
        }
    }

    void record_host_problems(const std::string& context) {
        for (const auto& v : host_.violations()) {
            report(classify_host_problem(v), "host: " + v.sentence(), " (" + context + ")");
        }
        host_.clear_violations();
    }

    // Most of the time the selection is what the step operations leave; now
    // and then a misbehaving host leaves garbage in the slot for a while, and
    // later a whole number again.
    void steer_selection() {
        if (garbage_left_ == 0 && values_.chance(0.02)) {
            host_.machine().write<double>(el_.selection_slot(), values_.selection_garbage());
            garbage_left_ = 1 + values_.below(16);
        } else if (garbage_left_ > 0 && --garbage_left_ == 0) {
            host_.machine().write<double>(el_.selection_slot(), static_cast<double>(values_.below(q7ref::kRows)));
        }
        if (garbage_left_ > 0) ++rep_.garbage_frames;
    }

    void one_frame() {
        FrameState f;
        f.selection = selection();
        const int valid_row = q7ref::row_for_text(f.selection);
        const int near = values_.chance(0.5) ? valid_row : values_.below(q7ref::kRows);
        const bool hostile_lat = values_.chance(0.3), hostile_lon = values_.chance(0.3),
                   hostile_heading = values_.chance(0.3);
        f.latitude = values_.latitude(near, hostile_lat);
        f.longitude = values_.longitude(near, hostile_lon);
        f.heading = values_.heading(hostile_heading);
        if (hostile_lat || hostile_lon || hostile_heading) ++rep_.hostile_frames;
        count_families(f);
        host_.services().set_var(kSimLatitude, f.latitude);
        host_.services().set_var(kSimLongitude, f.longitude);
        host_.services().set_var(kSimHeading, f.heading);
        // Service results and the text callbacks' argument mean nothing to the module.
        host_.services().set_result(kServiceVarRefresh, static_cast<std::uint32_t>(values_.bits()));
        host_.services().set_result(36, static_cast<std::uint32_t>(values_.bits()));
        const unsigned table = static_cast<unsigned>(values_.below(2));
        host_.use_table(table);
        const double text_arg = values_.chance(0.7) ? 0.0 : values_.special();

        // Now and then a host calls a text callback before it has set the
        // box's buffer.
        const StringElementRef boxes_in_order[3] = {el_.distance, el_.ident, el_.number};
        TextState* states_in_order[3] = {&f.distance, &f.ident, &f.number};
        StringElementRef nulled;
        Addr nulled_buffer = 0;
        if (values_.chance(0.01)) {
            const int k = values_.below(3);
            nulled = boxes_in_order[k];
            nulled_buffer = nulled.text_buffer();
            states_in_order[k]->null_buffer = true;
            states_in_order[k]->before = host_.read_text(nulled.address());
            host_.machine().write<std::uint32_t>(nulled.text_buffer_field(), 0);
            ++rep_.null_buffer_calls;
        }

        host_.services().clear_calls();
        const FrameReadout out = host_.frame(text_arg);
        rep_.module_calls += 5;
        if (nulled) host_.machine().write<std::uint32_t>(nulled.text_buffer_field(), nulled_buffer);

        f.dots = static_cast<int>(out.dots.size());
        if (!out.dots.empty()) {
            const DotReadout& d = out.dots.front();
            f.dot_x = d.x;
            f.dot_y = d.y;
            f.screen_x = d.screen_x;
            f.screen_y = d.screen_y;
        }
        f.texts = static_cast<int>(out.texts.size());
        const std::pair<StringElementRef, TextState*> boxes[] = {
            {el_.distance, &f.distance}, {el_.ident, &f.ident}, {el_.number, &f.number}};
        for (auto [e, state] : boxes) {
            if (const TextReadout* t = out.text_for(e.address())) {
                state->text = t->text;
                state->result = t->result;
            }
            state->max_chars = e.max_chars();
            state->guards_intact = host_.text_guards_intact(e.address());
        }
        bool wrong_table = false;
        for (const auto& c : host_.services().calls()) {
            const std::uint32_t id = c.position == kServiceVarRefresh && !c.args.empty()
                                         ? host_.machine().try_read(c.args[0] + module_var::kId).value_or(0)
                                         : 0;
            f.services.emplace_back(c.position, id);
            wrong_table |= c.table != table;
        }
        f.host_violations = host_.violations();
        host_.clear_violations();

        std::vector<Problem> problems = check_frame(f);
        for (auto [e, state] : boxes) {
            // Each frame reports only the overruns it caused itself.
            if (!state->guards_intact) host_.rearm_guards(e.address());
        }
        if (wrong_table) problems.push_back({Check::Services, "a service call went through the old table"});
        if (!problems.empty()) {
            const std::string context = " | lat " + show(f.latitude) + ", lon " + show(f.longitude) +
                                        ", heading " + show(f.heading) + ", selection " +
                                        show(f.selection) + ", text argument " + show(text_arg);
            for (const auto& p : problems) report(p.check, p.what, context);
        }
    }

    void count_families(const FrameState& f) {
        auto seen = [&](Family fam) { ++rep_.coverage[static_cast<std::size_t>(fam)]; };
        for (double v : {f.latitude, f.longitude, f.heading}) {
            if (std::isnan(v)) seen(Family::NaN);
            if (std::isinf(v)) seen(Family::Infinity);
            if (std::isfinite(v) && std::fabs(v) >= 1e300) seen(Family::Huge);
            if (std::fpclassify(v) == FP_SUBNORMAL) seen(Family::Denormal);
            if (v == 0.0) seen(Family::Zero);
        }
        if (std::isfinite(f.latitude) && std::fabs(f.latitude) > q7ref::latitude_from_degrees(90.0)) {
            seen(Family::BeyondPoles);
        }
        if (f.longitude <= -2.0 * q7ref::kTurn48) seen(Family::TurnsWest);
        if (f.longitude >= 2.0 * q7ref::kTurn48) seen(Family::TurnsEast);
        if (std::isfinite(f.heading) && std::fabs(f.heading) >= 1e9) seen(Family::WildHeading);
        const bool matches_row = f.selection == 0.0 || (f.selection == std::floor(f.selection) &&
                                                        f.selection >= 1.0 && f.selection <= 19.0);
        if (!matches_row) seen(Family::NoRow);
    }

    // A click through the host's hit-testing: mostly on a button, anywhere on
    // or just off the gauge otherwise. The pair of buttons covers y 62..74, the
    // left one x 3..16, the right one x 20..33.
    void one_click() {
        int x, y;
        if (values_.chance(0.8)) {
            x = values_.chance(0.5) ? 3 + values_.below(14) : 20 + values_.below(14);
            y = 62 + values_.below(13);
        } else {
            x = values_.below(67) - 2;
            y = values_.below(81) - 2;
        }
        const bool row_band = y >= 62 && y <= 74;
        const bool left = row_band && x >= 3 && x <= 16;
        const bool right = row_band && x >= 20 && x <= 33;

        const double before = selection();
        host_.services().clear_calls();
        const bool hit = host_.click(x, y);
        ++rep_.clicks;
        if (hit) ++rep_.module_calls;
        const double after = selection();
        const std::string context = " | click at (" + std::to_string(x) + ", " + std::to_string(y) +
                                    "), selection " + show(before);
        record_host_problems("click at (" + std::to_string(x) + ", " + std::to_string(y) + ")");
        if (left || right) {
            const double want = stepped(before, right);
            if (!hit) report(Check::Click, "no handler ran", context);
            if (!same_value(after, want)) {
                report(Check::Click, "selection became " + show(after) + ", expected " + show(want), context);
            }
            check_click_service(context);
        } else {
            if (hit) report(Check::Click, "a handler ran outside both buttons", context);
            if (to_bits(after) != to_bits(before)) report(Check::Click, "selection changed", context);
            if (!host_.services().calls().empty()) report(Check::Services, "services called by a missed click", context);
        }
    }

    void check_click_service(const std::string& context) {
        const auto& calls = host_.services().calls();
        if (calls.size() != 1 || calls[0].position != 36 ||
            calls[0].args != std::vector<std::uint32_t>{0x10000, 0}) {
            report(Check::Services, "a click did not call service 36 once with 0x10000 and 0", context);
        }
    }

    // A host that calls a handler itself, with arguments of its own choosing.
    void one_direct_handler_call() {
        const Addr list = host_.services().registered_mouse_list();
        if (!list) {
            report(Check::Host, "no mouse list registered", "");
            return;
        }
        const bool next = values_.chance(0.5);
        const Addr handler = host_.machine().read(list + (next ? 3 : 2) * mouse_rect::kSize + mouse_rect::kHandler);
        const auto a = static_cast<std::uint32_t>(values_.bits()), b = static_cast<std::uint32_t>(values_.bits());
        const double before = selection();
        host_.services().clear_calls();
        const std::int32_t result = host_.call_handler(next ? "step_next_handler" : "step_previous_handler",
                                                       handler, a, b);
        ++rep_.handler_calls;
        ++rep_.module_calls;
        const std::string context = " | handler arguments " + std::to_string(a) + ", " + std::to_string(b) +
                                    ", selection " + show(before);
        record_host_problems("direct handler call");
        if (result != 0) report(Check::Click, "handler returned " + std::to_string(result), context);
        const double want = stepped(before, next);
        if (!same_value(selection(), want)) {
            report(Check::Click, "selection became " + show(selection()) + ", expected " + show(want), context);
        }
        check_click_service(context);
    }

    void reinstall() {
        host_.services().clear_calls();
        host_.uninstall();
        const auto removed = host_.services().call_positions();
        host_.services().clear_calls();
        host_.install();
        const auto installed = host_.services().call_positions();
        rep_.module_calls += 2;
        ++rep_.reinstalls;
        record_host_problems("reinstall");
        if (removed != std::vector<unsigned>{34, 31} || installed != std::vector<unsigned>{25, 32, 33}) {
            report(Check::Services, "uninstall and install called the wrong services", "");
        }
        if (!host_.services().registered_mouse_list()) report(Check::Host, "no mouse list after reinstall", "");
    }

    const Options& opt_;
    Report& rep_;
    HostileValues values_;
    GaugeHost host_;
    Instrument el_;
    std::uint64_t frame_ = 0;
    std::uint64_t first_frame_ = 0;
    int garbage_left_ = 0;
};

}  // namespace

namespace {

// The seed of chunk `c`: the run's own for the first, splitmix64 of it and
// the chunk's number for the others.
std::uint64_t chunk_seed(std::uint64_t seed, std::uint64_t c) {
    if (c == 0) return seed;
    std::uint64_t z = seed + c * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Adds a chunk's report to the run's, chunks in order.
void merge(Report& into, const Report& part, std::size_t max_reports) {
    into.frames += part.frames;
    into.hostile_frames += part.hostile_frames;
    into.garbage_frames += part.garbage_frames;
    into.clicks += part.clicks;
    into.handler_calls += part.handler_calls;
    into.reinstalls += part.reinstalls;
    into.null_buffer_calls += part.null_buffer_calls;
    into.module_calls += part.module_calls;
    for (std::size_t i = 0; i < kCoverageCount; ++i) into.coverage[i] += part.coverage[i];
    for (std::size_t i = 0; i < kCheckCount; ++i) into.failures[i] += part.failures[i];
    for (const auto& f : part.first_failures) {
        if (into.first_failures.size() < max_reports) into.first_failures.push_back(f);
    }
    if (into.load_error.empty()) into.load_error = part.load_error;
}

}  // namespace

Report run(const Options& options) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::uint64_t chunks = (options.frames + kChunkFrames - 1) / kChunkFrames;
    std::vector<Report> parts(chunks);
    std::atomic<std::uint64_t> next{0};
    auto work = [&] {
        for (std::uint64_t c; (c = next++) < chunks;) {
            Options o = options;
            o.frames = std::min(kChunkFrames, options.frames - c * kChunkFrames);
            o.seed = chunk_seed(options.seed, c);
            Sweep(o, parts[c], c * kChunkFrames).run();
        }
    };
    const unsigned jobs = static_cast<unsigned>(std::min<std::uint64_t>(
        chunks, options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency())));
    std::vector<std::thread> threads;
    for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work);
    work();
    for (auto& t : threads) t.join();
    Report rep;
    for (const Report& part : parts) merge(rep, part, options.max_reports);
    rep.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return rep;
}

std::string describe(const Report& r) {
    std::string s;
    char line[256];
    if (!r.load_error.empty()) return "cannot load the module: " + r.load_error + "\n";
    std::snprintf(line, sizeof line,
                  "frames %" PRIu64 " (hostile host values in %" PRIu64 ", garbage selection in %" PRIu64
                  ")\nclicks %" PRIu64 ", direct handler calls %" PRIu64 ", reinstalls %" PRIu64
                  ", text callbacks with a null buffer %" PRIu64 "\ncalls into the module %" PRIu64 ", all checked\ntime %.2f s (%.0f frames/s)\n",
                  r.frames, r.hostile_frames, r.garbage_frames, r.clicks, r.handler_calls, r.reinstalls,
                  r.null_buffer_calls,
                  r.module_calls, r.seconds, r.seconds > 0 ? r.frames / r.seconds : 0.0);
    s += line;
    s += "hostile values sent:";
    for (std::size_t i = 0; i < kCoverageCount; ++i) {
        std::snprintf(line, sizeof line, "%s %s %" PRIu64, i ? "," : "", family_name(static_cast<Family>(i)),
                      r.coverage[i]);
        s += line;
    }
    s += "\n";
    if (!r.coverage_complete()) s += "coverage incomplete: a family of hostile values was never sent\n";
    if (r.frames == 0) s += "no frames were run: nothing was checked\n";
    std::snprintf(line, sizeof line, "violations %" PRIu64 "\n", r.failure_count());
    s += line;
    for (std::size_t i = 0; i < kCheckCount; ++i) {
        if (!r.failures[i]) continue;
        std::snprintf(line, sizeof line, "  %-10s %" PRIu64 "\n", check_name(static_cast<Check>(i)), r.failures[i]);
        s += line;
    }
    for (const auto& f : r.first_failures) s += "  " + f + "\n";
    return s;
}

}  // namespace q7sweep
