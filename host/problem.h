// A problem the host saw at its boundary with a module, as a value: what kind
// of rule broke, which routine broke it and the particulars. Programs and tests
// compare the kind; the sentence for people is made from the three in one place.
#pragma once

#include <ostream>
#include <string>

namespace q7host {

enum class ProblemKind {
    StackUnbalanced,     // a routine removed more or fewer argument bytes than it was given
    RegistersClobbered,  // ebx, esi, edi or ebp came back changed
    Crash,               // a fault: unmapped or protected memory, an illegal instruction
    NoReturn,            // the routine ran out of its instruction budget
    ForbiddenService,    // a service position a module must never call
    MissingFunction,     // an import the host does not provide
    StrayInterrupt,      // a software interrupt that is no host entry point
    BadPointer,          // the module handed the host an address it cannot use
    TextOverrun,         // a text callback wrote into the guard bytes after its buffer
    TextTooLong,         // a text longer than its box's max_chars
    MouseListMalformed,  // an entry of unknown kind in the mouse list
    EntryRefused,        // the entry routine refused a notification
};

struct Problem {
    ProblemKind kind;
    std::string routine;  // the routine the host was running, or empty
    std::string detail;   // the particulars, in the words of the sentence
    std::string sentence() const;
    bool operator==(const Problem&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Problem& p) {
    return out << p.sentence();
}

}  // namespace q7host
