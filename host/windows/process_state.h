// What a Windows process keeps for the module between its calls: the last error, the C runtime's
// heap, handles, thread-local storage slots, the exception handlers and exit lists it registered,
// what it printed. A plain value: the process keeps a copy at the machine's checkpoint and puts it
// back at a rewind, so a kept host starts each input as a new one.
#pragma once

#include "host/machine.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace q7host {
class WindowsProcess;
}

namespace q7host::win {

// The C runtime's heap: blocks handed out from one bounded range of the
// address space, 8-byte aligned, first fit by address so that runs repeat
// exactly. What the module was handed and what is free are kept here, out of
// the module's reach, so that no write of its can corrupt them.
class Heap {
public:
    static constexpr std::uint32_t kAlignment = 8;
    void reset(Addr base, std::uint32_t size);
    // A block of at least `n` bytes (a distinct one for 0), or 0 when the heap has no room.
    Addr allocate(std::uint32_t n);
    // The size the block at `a` was handed out with; 0 when `a` is no block's start.
    std::uint32_t size_of(Addr a) const;
    bool owns(Addr a) const { return used_.count(a) != 0; }
    bool release(Addr a);
    // Grows or shrinks a block where it lies; false when it cannot.
    bool resize(Addr a, std::uint32_t n);
    std::uint32_t in_use() const { return in_use_; }

private:
    std::map<Addr, std::uint32_t> used_;  // start, size as asked
    std::map<Addr, std::uint32_t> free_;  // start, size (multiples of the alignment)
    std::uint32_t in_use_ = 0;
};

// A kernel object a handle names.
struct KernelObject {
    enum class Kind { kEvent, kSemaphore, kProcess, kThread } kind = Kind::kEvent;
    bool manual_reset = false;
    bool signaled = false;
    std::int32_t count = 0, maximum = 0;
    std::uint32_t references = 1;
};

struct ProcessState {
    WindowsProcess* owner = nullptr;  // the process these are the state of
    std::uint32_t last_error = 0;

    // The C runtime's data the module may import or be handed a pointer to.
    Addr iob = 0;         // _iob: stdin, stdout, stderr and the rest, 32 bytes each
    Addr errno_slot = 0;  // what _errno returns
    Addr mb_cur_max = 0;  // __mb_cur_max
    Addr lconv = 0;       // localeconv's record
    Addr c_locale = 0;    // the text "C"
    Addr strerror_buffer = 0;
    Addr commode = 0, fmode = 0;
    Addr lc_handles = 0;  // the locale's six category handles (all 0 in "C")
    Addr ctype = 0;       // _ctype: the "C" locale's 257 character classes (EOF first)
    Addr pctype = 0;      // _pctype: a pointer to _ctype's entry for 0
    Addr wctype = 0;      // the wide characters' classes of 0..255, with EOF first
    Addr pwctype = 0;     // _pwctype: a pointer to their entry for 0
    Addr tm = 0;          // the struct tm gmtime, localtime and mktime share
    Addr argc = 0, argv = 0, environ = 0, wargv = 0, wenviron = 0;  // the program's (empty) arguments
    Heap heap;

    // Handles of kernel objects, by value.
    std::map<std::uint32_t, KernelObject> handles;
    std::uint32_t next_handle = 0x100;

    // TlsAlloc's slots: in use or not (values live in the thread block).
    std::vector<bool> tls_slots = std::vector<bool>(64 + 1024, false);
    Addr tls_expansion = 0;  // the thread's expansion slots, made at the first use of one

    // The vectored exception handlers, first to be called first: each the
    // address of its registration (the handle AddVectoredExceptionHandler
    // returns) and the handler.
    struct Vectored {
        Addr handle, handler;
    };
    std::vector<Vectored> vectored;
    // The C runtime's process exit list (atexit, _onexit), in registration order.
    std::vector<Addr> exit_list;

    // What the module wrote to its standard output and error, in order, up to a bound.
    std::string output;
    bool output_truncated = false;

    // The process's clock, in 100-nanosecond units since 1601: it moves only
    // when the module sleeps or waits, so runs repeat exactly.
    std::uint64_t clock = 0;
    std::uint32_t random_state = 0x2545F491;
    std::uint32_t rand_seed = 1;  // msvcrt's rand, until srand
    Addr strtok_next = 0;         // where strtok goes on, or 0
    Addr matherr = 0;             // the module's _matherr (__setusermatherr), or 0
    // The handlers signal() installed, by signal number (SIG_DFL 0, SIG_IGN 1, or a function).
    std::map<std::int32_t, Addr> signals;

    // DLLs LoadLibrary handed out, by lower-case name, with their references.
    std::map<std::string, std::uint32_t> libraries;
    // The module loaded into the process, and the handles of the system DLLs
    // it asked for, by lower-case name.
    Addr module_base = 0;
    std::string module_name;
    std::map<std::string, Addr> dll_handles;
};

}  // namespace q7host::win
