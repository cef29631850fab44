// The sweep's frame checker: judges one frame of the gauge from its inputs and everything the host
// saw while it ran: nothing wrong at the boundary, guard bytes intact, every text within its box,
// the dot finite and on or inside its circle, the services called as the callbacks should, and
// everything shown equal to the model's re-computation.
#pragma once

#include "host/gauge_host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace q7sweep {

// What a frame or a click can get wrong. The host's boundary problems are
// split by their kind, so that a report says which machine-level rule broke.
enum class Rule {
    Stack,      // a call left the stack unbalanced
    Registers,  // a call did not preserve ebx, esi, edi, ebp
    Crash,      // a call faulted, trapped or never returned
    Host,       // any other boundary problem the host reported
    Guard,      // a guard byte after a text buffer was overwritten
    Length,     // a text longer than its box's max_chars
    Offset,     // the dot not finite, or farther than its radius from rest
    TextForm,   // a text that is not a possible readout
    Reference,  // a value that differs from the independent re-computation
    Services,   // host services called other than the callbacks should
    Click,      // a click that stepped the selection wrongly
    Structure,  // the frame did not show one dot and three texts
};
inline constexpr std::size_t kRuleCount = 12;
const char* rule_name(Rule r);

// One broken rule, said for people.
struct Finding {
    Rule rule;
    std::string what;
};

// What the host knew of a text box beyond its readout.
struct BoxState {
    std::uint32_t max_chars = 0;  // from the element record
    bool guards_intact = true;
    // The host called the callback with text_buffer null: nothing may be
    // written, so the host's buffer must still hold `before`.
    bool null_buffer = false;
    std::string before;
};

// One frame: its inputs, what the host's frame read out (texts, dot and the
// service calls made) and what the host saw besides.
struct FrameState {
    double latitude = 0.0, longitude = 0.0, heading = 0.0;  // host units
    double selection = 0.0;                                 // the selection slot before the frame
    unsigned table = 0;                                     // the service table ImportTable pointed at
    q7host::FrameReadout readout;
    BoxState distance, ident, number;
    std::vector<q7host::Problem> host_problems;
};

// Judges one frame; empty when everything holds.
std::vector<Finding> check_frame(const FrameState& f);

// The rule a host's boundary problem breaks.
Rule rule_broken_by(const q7host::Problem& problem);

// Equal as the host would see it: the same bits, or both NaN (a NaN may come
// back quietened through the x87 return register).
bool same_value(double a, double b);
// A double in full and by its bits, for findings.
std::string show(double v);

}  // namespace q7sweep
