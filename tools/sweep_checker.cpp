// The sweep's frame checker: each rule a frame must keep, against the model's readout rules and
// re-computation.
#include "tools/sweep_checker.h"

#include "model/readouts.h"
#include "tools/text_escape.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace q7sweep {

namespace {

using namespace q7host;

constexpr double kOffsetLimit = q7ref::kRadius * (1.0 + 1e-6);
constexpr double kReferenceTolerance = 1e-6;

std::uint64_t to_bits(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

std::string quoted(const std::string& s) { return '"' + q7tools::readable(s) + '"'; }

struct Box {
    const char* name;
    const TextReadout& readout;
    const BoxState& state;
    const std::string& text() const { return readout.text; }
    // A box whose callback has had no buffer since the gauge was installed
    // still shows nothing, which is no readout but no fault either.
    bool never_drawn() const { return state.null_buffer && state.before.empty() && readout.text.empty(); }
};

void check_boxes(const Box (&boxes)[3], std::vector<Finding>& out) {
    for (const Box& b : boxes) {
        if (!b.state.guards_intact)
            out.push_back({Rule::Guard, std::string(b.name) + " buffer's guard bytes overwritten"});
        if (b.text().size() > b.state.max_chars) {
            out.push_back({Rule::Length, std::string(b.name) + " text " + quoted(b.text()) + " is longer than " +
                                             std::to_string(b.state.max_chars) + " characters"});
        }
        // A box whose callback had no buffer keeps what it showed before.
        if (b.state.null_buffer && b.text() != b.state.before) {
            out.push_back({Rule::Reference, std::string(b.name) + " changed from " + quoted(b.state.before) + " to " +
                                                quoted(b.text()) + " while its text_buffer was null"});
        }
    }
}

// Texts that a pilot could see at all.
void check_text_forms(const Box& distance, const Box& ident, const Box& number, std::vector<Finding>& out) {
    const int row = q7ref::row_of_ident(ident.text());
    const int shown = q7ref::number_shown(number.text());
    if (row < 0 && !ident.never_drawn())
        out.push_back({Rule::TextForm, "ident " + quoted(ident.text()) + " names no waypoint"});
    if (shown < 0 && !number.never_drawn()) {
        out.push_back({Rule::TextForm, "number " + quoted(number.text()) + " is not 1 to 20 in \"%2d\""});
    }
    if (row >= 0 && shown >= 0 && shown != row + 1 && !ident.state.null_buffer && !number.state.null_buffer) {
        out.push_back(
            {Rule::TextForm, "ident " + quoted(ident.text()) + " shown with number " + quoted(number.text())});
    }
    if (!q7ref::is_distance_readout(distance.text()) && !distance.never_drawn()) {
        out.push_back({Rule::TextForm, "distance " + quoted(distance.text()) + " is not a distance readout"});
    }
}

// The dot: finite, never farther from rest than the circle's radius, and
// where the re-computation puts it.
void check_dot(const FrameState& f, std::vector<Finding>& out) {
    const DotReadout& d = f.readout.dot;
    const double sx = d.screen_x - q7ref::kRestX, sy = d.screen_y - q7ref::kRestY;
    if (!std::isfinite(d.x) || !std::isfinite(d.y) || !std::isfinite(sx) || !std::isfinite(sy)) {
        out.push_back({Rule::Offset, "dot offset not finite: x " + show(d.x) + ", y " + show(d.y)});
    } else if (std::hypot(d.x, d.y) > kOffsetLimit || std::hypot(sx, sy) > kOffsetLimit) {
        out.push_back({Rule::Offset, "dot " + std::to_string(std::hypot(sx, sy)) + " px from rest (callback x " +
                                         show(d.x) + ", y " + show(d.y) + ")"});
    }
    const int row = q7ref::row_for_dot(f.selection);
    const q7ref::Dot want = q7ref::dot_offsets(row, f.latitude, f.longitude, f.heading);
    if (!(std::fabs(d.x - want.x) <= kReferenceTolerance && std::fabs(d.y - want.y) <= kReferenceTolerance &&
          std::fabs(sx - want.x) <= kReferenceTolerance && std::fabs(sy + want.y) <= kReferenceTolerance)) {
        out.push_back({Rule::Reference, "dot at (" + show(sx) + ", " + show(sy) + ") from rest, expected (" +
                                            show(want.x) + ", " + show(-want.y) + ") for row " + std::to_string(row)});
    }
}

// The texts and the callbacks' results against the re-computation.
void check_texts(const FrameState& f, const Box& distance, const Box& ident, const Box& number,
                 std::vector<Finding>& out) {
    const int row = q7ref::row_for_text(f.selection);
    const std::string want_ident = q7ref::kWaypoints[row].ident;
    if (!ident.state.null_buffer && ident.text() != want_ident) {
        out.push_back({Rule::Reference, "ident " + quoted(ident.text()) + ", expected " + quoted(want_ident)});
    }
    const std::string want_number = q7ref::number_text(f.selection);
    if (!number.state.null_buffer && number.text() != want_number) {
        out.push_back({Rule::Reference, "number " + quoted(number.text()) + ", expected " + quoted(want_number)});
    }
    const double miles = q7ref::offset_to(row, f.latitude, f.longitude).distance;
    const std::string want_distance = q7ref::distance_text_for(q7ref::single(miles));
    if (!distance.state.null_buffer && distance.text() != want_distance && !q7ref::near_format_boundary(miles)) {
        out.push_back({Rule::Reference, "distance " + quoted(distance.text()) + ", expected " + quoted(want_distance) +
                                            " for " + show(miles) + " nm"});
    }
    if (!same_value(ident.readout.result, f.selection) || !same_value(distance.readout.result, f.selection) ||
        !same_value(number.readout.result, f.selection + 1.0)) {
        out.push_back({Rule::Reference, "text callbacks returned " + show(ident.readout.result) + ", " +
                                            show(distance.readout.result) + ", " + show(number.readout.result) +
                                            " for selection " + show(f.selection)});
    }
}

// Each pointer callback refreshes latitude, longitude and heading once, in
// that order, through the table ImportTable names; the text callbacks call
// nothing.
void check_services(const FrameState& f, std::vector<Finding>& out) {
    const std::uint32_t order[] = {kSimLatitude, kSimLongitude, kSimHeading};
    const auto& calls = f.readout.calls;
    bool in_order = calls.size() == 6;
    for (std::size_t i = 0; in_order && i < 6; ++i) {
        in_order = calls[i].position == kServiceVarRefresh && calls[i].variable == order[i % 3];
    }
    if (!in_order) {
        std::string seen;
        for (const auto& c : calls) seen += " " + std::to_string(c.position);
        out.push_back({Rule::Services, "service calls during the frame:" + (seen.empty() ? " none" : seen)});
    }
    for (const auto& c : calls) {
        if (c.table != f.table) {
            out.push_back({Rule::Services, "a service call went through the old table"});
            break;
        }
    }
}

}  // namespace

const char* rule_name(Rule r) {
    static const char* const names[kRuleCount] = {
        "stack",  "registers", "crash",     "host",     "guard", "length",
        "offset", "text-form", "reference", "services", "click", "structure",
    };
    return names[static_cast<std::size_t>(r)];
}

bool same_value(double a, double b) { return (std::isnan(a) && std::isnan(b)) || to_bits(a) == to_bits(b); }

std::string show(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g [%016" PRIx64 "]", v, to_bits(v));
    return buf;
}

Rule rule_broken_by(const Problem& p) {
    switch (p.kind) {
        case ProblemKind::StackUnbalanced: return Rule::Stack;
        case ProblemKind::RegistersClobbered: return Rule::Registers;
        case ProblemKind::Crash:
        case ProblemKind::NoReturn:
        case ProblemKind::StrayInterrupt:
        case ProblemKind::ForbiddenService:
        case ProblemKind::NotModelled:
        case ProblemKind::Deadlock:
        case ProblemKind::Exited: return Rule::Crash;
        case ProblemKind::TextOverrun: return Rule::Guard;
        case ProblemKind::TextTooLong: return Rule::Length;
        default: return Rule::Host;
    }
}

std::vector<Finding> check_frame(const FrameState& f) {
    std::vector<Finding> out;
    for (const auto& p : f.host_problems) out.push_back({rule_broken_by(p), "host: " + p.sentence()});
    const FrameReadout& r = f.readout;
    if (r.dots.size() != 1 || r.texts.size() != 3) {
        out.push_back({Rule::Structure, "the frame showed " + std::to_string(r.dots.size()) + " dots and " +
                                            std::to_string(r.texts.size()) + " texts"});
        return out;
    }
    const Box boxes[3] = {
        {"distance", r.distance, f.distance}, {"ident", r.ident, f.ident}, {"number", r.number, f.number}};
    check_boxes(boxes, out);
    check_dot(f, out);
    check_text_forms(boxes[0], boxes[1], boxes[2], out);
    check_texts(f, boxes[0], boxes[1], boxes[2], out);
    check_services(f, out);
    return out;
}

}  // namespace q7sweep
