// What the host saw at its boundary with a module, as values: a problem (a rule
// broke: what kind, which routine broke it, the particulars) and a warning (the
// module is odd but a Windows host would load and run it). Programs and tests
// compare the kind; the sentence for people is made in one place for each.
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

}  // namespace q7host
