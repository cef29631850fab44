// What a host saw at its boundary with a module, as values: a problem (a rule
// broke: what kind, which routine broke it, the particulars) and a warning (the
// module is odd but a Windows host would load and run it). Programs and tests
// compare the kind; the sentence for people is made in one place for each, the
// same for every host. Also the two ways a host's own access to module memory
// fails.
#pragma once

#include "panel/hex.h"

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>

namespace q7host {

using Addr = std::uint32_t;  // an address in the module's 32-bit address space

// The host touched memory it cannot (not mapped, or not readable there).
struct MemoryFault : std::runtime_error {
    MemoryFault(Addr at, const char* access)
        : std::runtime_error(std::string("the host cannot ") + access + " " + hex(at, 8)), address(at) {}
    Addr address;
};

// A write the host must make into a record the module placed in memory a
// Windows process cannot write: there the host would crash, so it is the
// module's fault and nothing is written. `detail` names the record.
struct RecordNotWritable : std::runtime_error {
    explicit RecordNotWritable(const std::string& what) : std::runtime_error(what), detail(what) {}
    std::string detail;
};

enum class ProblemKind {
    StackUnbalanced,     // a routine removed more or fewer argument bytes than it was given
    RegistersClobbered,  // ebx, esi, edi or ebp came back changed
    Crash,               // a fault: unmapped or protected memory, an illegal instruction
    NoReturn,            // the routine ran past its budget (of instructions, or of time); the detail says which
    ForbiddenService,    // a service position a module must never call
    StrayInterrupt,      // a software interrupt that is no host entry point
    BadPointer,          // the module handed the host an address it cannot use
    TextOverrun,         // a text callback wrote into the guard bytes after its buffer
    TextTooLong,         // a text longer than its box's max_chars
    MouseListMalformed,  // an entry of unknown kind in the mouse list
    RecordNotWritable,   // a record the host must write lies in memory a Windows process cannot write
    NotModelled,         // the module called a Windows function this host does not model: the host's limit
    Deadlock,            // the module waited forever on something no thread of the process can signal
    Exited,              // the module ended the process (exit, abort, a C runtime error)
};

struct Problem {
    ProblemKind kind;
    std::string routine;  // the routine the host was running, or empty
    std::string detail;   // the particulars, in the words of the sentence
    std::string sentence() const;
    bool operator==(const Problem&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Problem& p) { return out << p.sentence(); }

enum class WarningKind {
    LoaderRoutineStack,        // the entry routine or a TLS callback left the stack unbalanced; the loader restored it
    LoaderRoutineRegisters,    // ... or changed ebx, esi, edi or ebp; the loader restored them
    TlsCallbackCrashed,        // a TLS callback met an exception nothing took; the loader caught it and went on
    ExportDirectoryPastImage,  // the export directory's size runs past the image
    DirectoriesIgnored,        // more than 16 data directories; Windows uses the first 16
    PictureMissing,            // a bitmap an element names cannot be found; the element is not drawn
    PictureUndecodable,        // a bitmap that is found but cannot be decoded; the element is not drawn
};

struct Warning {
    WarningKind kind;
    std::string subject;  // the routine, directory or bitmap it is about
    std::string detail;   // the particulars, in the words of the sentence
    std::string sentence() const;
    bool operator==(const Warning&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Warning& w) { return out << w.sentence(); }

inline std::string Problem::sentence() const {
    switch (kind) {
        case ProblemKind::StackUnbalanced: return routine + " left the stack unbalanced: " + detail;
        case ProblemKind::RegistersClobbered: return routine + " did not preserve ebx, esi, edi and ebp";
        case ProblemKind::Crash: return routine + " crashed at " + detail;
        case ProblemKind::NoReturn: return routine + " did not return within " + detail;
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

inline std::string Warning::sentence() const {
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
