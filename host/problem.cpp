#include "host/problem.h"

namespace q7host {

std::string Problem::sentence() const {
    switch (kind) {
        case ProblemKind::StackUnbalanced: return routine + " left the stack unbalanced: " + detail;
        case ProblemKind::RegistersClobbered: return routine + " did not preserve ebx, esi, edi and ebp";
        case ProblemKind::Crash: return routine + " crashed at " + detail;
        case ProblemKind::NoReturn: return routine + " did not return within " + detail + " instructions";
        case ProblemKind::ForbiddenService:
            return routine + ": the module called service " + detail + ", which it must never call";
        case ProblemKind::MissingFunction:
            return routine + " called " + detail + ", which this host does not provide";
        case ProblemKind::StrayInterrupt: return routine + " raised interrupt " + detail;
        case ProblemKind::BadPointer: return routine + " passed " + detail;
        case ProblemKind::TextOverrun:
            return routine + " wrote past the end of its text buffer (max_chars " + detail + ")";
        case ProblemKind::TextTooLong: return routine + " wrote " + detail;
        case ProblemKind::MouseListMalformed: return "the mouse list has an entry of unknown kind";
        case ProblemKind::EntryRefused: return "the entry routine refused to " + detail;
    }
    return routine + ": " + detail;
}

}  // namespace q7host
