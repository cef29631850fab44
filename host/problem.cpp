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
        case ProblemKind::StrayInterrupt: return routine + " raised interrupt " + detail;
        case ProblemKind::BadPointer: return routine + " passed " + detail;
        case ProblemKind::TextOverrun:
            return routine + " wrote past the end of its text buffer (max_chars " + detail + ")";
        case ProblemKind::TextTooLong: return routine + " wrote " + detail;
        case ProblemKind::MouseListMalformed: return "the mouse list has an entry of unknown kind";
        case ProblemKind::RecordNotWritable:
            return (routine.empty() ? "" : routine + ": ") + "the host cannot write " + detail +
                   ": the module placed it in memory that is not writable";
        case ProblemKind::NotModelled:
            return (routine.empty() ? "" : routine + ": ") + "the module called " + detail +
                   ", which this host does not model";
        case ProblemKind::Deadlock:
            return routine + " waits forever for " + detail + " that no thread of this process can signal";
        case ProblemKind::Exited: return routine + " ended the process: " + detail;
    }
    return routine + ": " + detail;
}

std::string Warning::sentence() const {
    switch (kind) {
        case WarningKind::LoaderRoutineStack:
            return subject + " left the stack unbalanced (" + detail + "); the loader restored it";
        case WarningKind::LoaderRoutineRegisters:
            return subject + " did not preserve ebx, esi, edi and ebp; the loader restored them";
        case WarningKind::TlsCallbackCrashed:
            return subject + " crashed at " + detail + "; the loader caught it and went on";
        case WarningKind::ExportDirectoryPastImage: return "the export directory " + detail;
        case WarningKind::DirectoriesIgnored: return "the optional header " + detail;
        case WarningKind::PictureMissing:
            return "bitmap " + subject + " cannot be found (" + detail + "); it is not drawn";
        case WarningKind::PictureUndecodable:
            return "bitmap " + subject + " cannot be decoded (" + detail + "); it is not drawn";
    }
    return subject + ": " + detail;
}

}  // namespace q7host
