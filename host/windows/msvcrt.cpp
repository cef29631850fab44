// msvcrt: the C runtime functions a module built the ordinary way calls (start-up and exit lists,
// the heap, errno, stdio on the standard streams, strings, memory, characters, the "C" locale,
// setjmp/longjmp), each as msvcrt.dll behaves, and the table that names them. All are cdecl.
#include "panel/hex.h"
#include "host/windows.h"
#include "printf_format.h"
#include "text_codes.h"
#include "windows_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace q7host::win {

Addr crt_malloc(Api& c, std::uint32_t n) {
    const Addr a = n > 0xFFFFFFE0u ? 0 : c.process.heap.allocate(n);
    if (!a) set_errno(c, kEnomem);
    return a;
}

namespace {

// --- start-up, exit and termination ----------------------------------------

// Calls each function of the table [begin, end) that is not null, in order.
void _initterm(CdeclCalling& c, Ptr<Addr> begin, Ptr<Addr> end) {
    for (Ptr<Addr> p = begin; p.addr < end.addr; p = p + 1) {
        const Addr f = c.read(p);
        if (f && !c.call_module(f, {}, Convention::kCdecl).completed) return;
    }
}
std::int32_t _initterm_e(CdeclCalling& c, Ptr<Addr> begin, Ptr<Addr> end) {
    for (Ptr<Addr> p = begin; p.addr < end.addr; p = p + 1) {
        const Addr f = c.read(p);
        if (!f) continue;
        const CallOutcome out = c.call_module(f, {}, Convention::kCdecl);
        if (!out.completed || out.eax) return static_cast<std::int32_t>(out.eax);
    }
    return 0;
}

Addr _onexit(Cdecl& c, Addr f) {
    c.process.exit_list.push_back(f);
    return f;
}
std::int32_t atexit(Cdecl& c, Addr f) {
    c.process.exit_list.push_back(f);
    return 0;
}
// A DLL's own exit list, kept in a table of the module's: *begin to *end,
// grown with realloc as msvcrt grows it.
Addr __dllonexit(Cdecl& c, Addr f, Ptr<Addr> begin_slot, Ptr<Addr> end_slot) {
    const Addr begin = c.read(begin_slot), end = c.read(end_slot);
    if (end < begin) return 0;
    const std::uint32_t used = end - begin, size = begin ? c.process.heap.size_of(begin) : 0;
    Addr table = begin;
    if (!begin || used + 4 > size) {
        const std::uint32_t grown = std::max<std::uint32_t>(used * 2, 32);
        if (begin && c.process.heap.resize(begin, grown)) {
            table = begin;
        } else {
            table = c.process.heap.allocate(grown);
            if (!table) return 0;
            if (used) c.machine.write_bytes(table, c.bytes(begin, used).data(), used);
            if (begin) c.process.heap.release(begin);
        }
    }
    c.machine.write<std::uint32_t>(table + used, f);
    c.write(begin_slot, table);
    c.write(end_slot, table + used + 4);
    return f;
}

void _lock(Cdecl&, std::int32_t) {}
void _unlock(Cdecl&, std::int32_t) {}
std::int32_t _set_error_mode(Cdecl&, std::int32_t) { return 0; }

// The ends of the process: the module's fault, named.
void exit_with(Api& c, const std::string& how) { c.fail(ProblemKind::Exited, how); }
void exit_(Cdecl& c, std::int32_t code) { exit_with(c, "exit(" + std::to_string(code) + ")"); }
void _exit(Cdecl& c, std::int32_t code) { exit_with(c, "_exit(" + std::to_string(code) + ")"); }
// --- signals ----------------------------------------------------------------

constexpr Addr kSigDfl = 0, kSigIgn = 1, kSigErr = 0xFFFFFFFF;
constexpr std::int32_t kSigAbrt = 22;
bool known_signal(std::int32_t sig) {
    switch (sig) {
        case 2:   // SIGINT
        case 4:   // SIGILL
        case 8:   // SIGFPE
        case 11:  // SIGSEGV
        case 15:  // SIGTERM
        case 21:  // SIGBREAK
        case 22:  // SIGABRT
        case 6:   // SIGABRT_COMPAT
            return true;
        default: return false;
    }
}
Addr signal_(Cdecl& c, std::int32_t sig, Addr handler) {
    if (!known_signal(sig) || handler == kSigErr) {
        set_errno(c, kEinval);
        return kSigErr;
    }
    if (sig == 6) sig = kSigAbrt;
    Addr& slot = c.process.signals[sig];
    const Addr previous = slot;
    slot = handler;
    return previous;
}
// Runs what signal() installed for `sig`: a function of the module's (put
// back to SIG_DFL first, as msvcrt does), or nothing for SIG_IGN.
enum class Handled { kDefault, kDone, kLeft };  // kLeft: the handler did not come back
Handled run_handler(CdeclCalling& c, std::int32_t sig) {
    Addr& slot = c.process.signals[sig];
    const Addr handler = slot;
    if (handler == kSigDfl) return Handled::kDefault;
    if (handler == kSigIgn) return Handled::kDone;
    slot = kSigDfl;
    const CallOutcome out = c.call_module(handler, {static_cast<std::uint32_t>(sig)}, Convention::kCdecl);
    return out.completed ? Handled::kDone : Handled::kLeft;
}
std::int32_t raise_(CdeclCalling& c, std::int32_t sig) {
    c.stub().need_outside();  // it resets the handler before calling it
    if (!known_signal(sig)) {
        set_errno(c, kEinval);
        return -1;
    }
    if (sig == 6) sig = kSigAbrt;
    // SIG_DFL ends the process (status 3).
    if (run_handler(c, sig) == Handled::kDefault) exit_with(c, "raise(" + std::to_string(sig) + ")");
    return 0;
}
// abort: the message, then SIGABRT's handler, then the end (status 3).
void abort_(CdeclCalling& c) {
    c.stub().need_outside();  // it prints before it calls the handler
    print(c.process,
          "\nThis application has requested the Runtime to terminate it in an unusual way.\n"
          "Please contact the application's support team for more information.\n");
    if (run_handler(c, kSigAbrt) != Handled::kLeft) exit_with(c, "abort()");
}
void _amsg_exit(Cdecl& c, std::int32_t code) {
    print(c.process, "\nruntime error R60" + std::to_string(code) + "\n");
    exit_with(c, "_amsg_exit(" + std::to_string(code) + ")");
}

// --- the heap -----------------------------------------------------------

Addr malloc_(Cdecl& c, std::uint32_t n) { return crt_malloc(c, n); }
Addr calloc_(Cdecl& c, std::uint32_t count, std::uint32_t size) {
    const std::uint64_t n = std::uint64_t{count} * size;
    if (n > 0xFFFFFFE0u) {
        set_errno(c, kEnomem);
        return 0;
    }
    const Addr a = malloc_(c, static_cast<std::uint32_t>(n));
    if (a && n) {
        const std::vector<std::uint8_t> zero(n, 0);
        c.machine.write_bytes(a, zero.data(), zero.size());
    }
    return a;
}
void free_(Cdecl& c, Addr a) {
    if (!a || c.process.heap.release(a)) return;
    // Windows's heap ends the process on a block it never handed out (or
    // handed out and took back): the module's fault.
    c.fail(ProblemKind::BadPointer, "free() " + hex(a, 8) + ", which is no block of the heap (a double free?)");
}
Addr realloc_(Cdecl& c, Addr a, std::uint32_t n) {
    if (!a) return malloc_(c, n);
    const std::uint32_t old = c.process.heap.size_of(a);
    if (!c.process.heap.owns(a)) {
        c.fail(ProblemKind::BadPointer, "realloc() " + hex(a, 8) + ", which is no block of the heap (freed already?)");
        return 0;
    }
    if (n == 0) {
        c.process.heap.release(a);
        return 0;
    }
    if (c.process.heap.resize(a, n)) return a;
    const Addr moved = malloc_(c, n);
    if (!moved) return 0;
    const auto bytes = c.machine.read_bytes(a, std::min(old, n));
    c.machine.write_bytes(moved, bytes.data(), bytes.size());
    c.process.heap.release(a);
    return moved;
}
std::uint32_t _msize(Cdecl& c, Addr a) {
    const std::uint32_t n = c.process.heap.size_of(a);
    if (!n && a) set_errno(c, kEinval);
    return n ? n : 0xFFFFFFFF;
}

// --- errno and the runtime's data ---------------------------------------------

Addr _errno(Cdecl& c) { return c.process.errno_slot; }
Addr __iob_func(Cdecl& c) { return c.process.iob; }
Addr ___mb_cur_max_func(Cdecl& c) { return c.machine.read(c.process.mb_cur_max); }
Addr __p__commode(Cdecl& c) { return c.process.commode; }
// The "C" locale's code page and handles: 0, as msvcrt has them before any setlocale.
std::uint32_t ___lc_codepage_func(Cdecl&) { return 0; }
std::uint32_t ___lc_collate_cp_func(Cdecl&) { return 0; }
Addr ___lc_handle_func(Cdecl& c) { return c.process.lc_handles; }
Addr __p__fmode(Cdecl& c) { return c.process.fmode; }

Addr strerror_(Cdecl& c, std::int32_t e) {
    static constexpr const char* kTexts[] = {"No error",
                                             "Operation not permitted",
                                             "No such file or directory",
                                             "No such process",
                                             "Interrupted function call",
                                             "Input/output error",
                                             "No such device or address",
                                             "Arg list too long",
                                             "Exec format error",
                                             "Bad file descriptor",
                                             "No child processes",
                                             "Resource temporarily unavailable",
                                             "Not enough space",
                                             "Permission denied",
                                             "Bad address",
                                             "Unknown error",
                                             "Resource device",
                                             "File exists",
                                             "Improper link",
                                             "No such device",
                                             "Not a directory",
                                             "Is a directory",
                                             "Invalid argument",
                                             "Too many open files in system",
                                             "Too many open files",
                                             "Inappropriate I/O control operation",
                                             "Unknown error",
                                             "File too large",
                                             "No space left on device",
                                             "Invalid seek",
                                             "Read-only file system",
                                             "Too many links",
                                             "Broken pipe",
                                             "Domain error",
                                             "Result too large",
                                             "Unknown error",
                                             "Resource deadlock avoided",
                                             "Unknown error",
                                             "Filename too long",
                                             "No locks available",
                                             "Function not implemented",
                                             "Directory not empty",
                                             "Illegal byte sequence"};
    const char* text = e >= 0 && e < static_cast<std::int32_t>(std::size(kTexts)) ? kTexts[e] : "Unknown error";
    c.machine.write_bytes(c.process.strerror_buffer, text, std::strlen(text) + 1);
    return c.process.strerror_buffer;
}

// --- the program's arguments and environment ----------------------------

// No arguments, no environment: msvcrt's lists, empty.
std::int32_t __getmainargs(Cdecl& c, Ptr<std::int32_t> argc, Ptr<Addr> argv, Ptr<Addr> env, std::int32_t, Addr) {
    c.write(argc, 0);
    c.write(argv, c.machine.read(c.process.argv));
    c.write(env, c.machine.read(c.process.environ));
    return 0;
}
std::int32_t __wgetmainargs(Cdecl& c, Ptr<std::int32_t> argc, Ptr<Addr> argv, Ptr<Addr> env, std::int32_t, Addr) {
    c.write(argc, 0);
    c.write(argv, c.machine.read(c.process.wargv));
    c.write(env, c.machine.read(c.process.wenviron));
    return 0;
}
Addr __p___argc(Cdecl& c) { return c.process.argc; }
Addr __p___argv(Cdecl& c) { return c.process.argv; }
Addr __p___wargv(Cdecl& c) { return c.process.wargv; }
Addr __p__environ(Cdecl& c) { return c.process.environ; }
Addr __p__wenviron(Cdecl& c) { return c.process.wenviron; }
Addr getenv_(Cdecl& c, Str name) {
    if (name) c.string(name, 32767);
    return 0;
}
Addr _wgetenv(Cdecl& c, WStr name) {
    if (name) c.wide(name, 32767);
    return 0;
}
std::uint32_t _getpid(Cdecl&) { return kProcessId; }

// --- time -------------------------------------------------------------------

// The process's clock (see ProcessState::clock) in seconds since 1970; its
// time zone is UTC, without daylight saving time.
constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;  // 1970 in 100-ns units since 1601
std::int64_t now(const Api& c) { return static_cast<std::int64_t>((c.process.clock - kUnixEpoch) / 10000000); }

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}
void civil_from_days(std::int64_t z, std::int64_t& y, std::int64_t& m, std::int64_t& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = yoe + era * 400 + (m <= 2);
}

// The last second each width of time_t covers: 2038-01-18 23:59:59 (msvcrt
// keeps a day's margin) and 3000-12-31 23:59:59.
constexpr std::int64_t kLast32 = 0x7FFFD27F, kLast64 = 32535215999;

// Fills the shared struct tm with `t` (seconds since 1970, UTC); NULL and
// EINVAL for a time before 1970 or past the last.
Addr broken_down(Api& c, std::int64_t t, std::int64_t last) {
    if (t < 0 || t > last) {
        set_errno(c, kEinval);
        return 0;
    }
    const std::int64_t days = t / 86400, in_day = t % 86400;
    std::int64_t y = 0, m = 0, d = 0;
    civil_from_days(days, y, m, d);
    const std::int32_t tm[9] = {static_cast<std::int32_t>(in_day % 60),
                                static_cast<std::int32_t>(in_day / 60 % 60),
                                static_cast<std::int32_t>(in_day / 3600),
                                static_cast<std::int32_t>(d),
                                static_cast<std::int32_t>(m - 1),
                                static_cast<std::int32_t>(y - 1900),
                                static_cast<std::int32_t>((days + 4) % 7),  // 1970-01-01 was a Thursday
                                static_cast<std::int32_t>(days - days_from_civil(y, 1, 1)),
                                0};
    c.machine.write_bytes(c.process.tm, tm, sizeof tm);
    return c.process.tm;
}
Addr gmtime_(Cdecl& c, Ptr<std::int32_t> t) {
    if (!t) {
        set_errno(c, kEinval);
        return 0;
    }
    return broken_down(c, c.read(t), kLast32);
}
Addr _gmtime64(Cdecl& c, Ptr<std::int64_t> t) {
    if (!t) {
        set_errno(c, kEinval);
        return 0;
    }
    return broken_down(c, c.read(t), kLast64);
}

// mktime: the fields of the module's struct tm, each may be out of its
// range, as a time; the struct normalized in place. -1 outside the range.
std::int64_t to_time(Api& c, Ptr<std::int32_t> tm, std::int64_t last) {
    std::int32_t f[9];
    for (std::uint32_t i = 0; i < 9; ++i) f[i] = c.read(tm, i);
    const std::int64_t months = std::int64_t{f[4]};
    const std::int64_t year = 1900 + std::int64_t{f[5]} + (months >= 0 ? months / 12 : (months - 11) / 12);
    const std::int64_t month = ((months % 12) + 12) % 12;
    const std::int64_t t = (days_from_civil(year, month + 1, 1) + f[3] - 1) * 86400 + std::int64_t{f[2]} * 3600 +
                           std::int64_t{f[1]} * 60 + f[0];
    if (t < 0 || t > last || !broken_down(c, t, last)) {
        set_errno(c, kEinval);
        return -1;
    }
    c.put_bytes(tm.addr, c.machine.read_bytes(c.process.tm, 36).data(), 36);
    return t;
}
std::int32_t mktime_(Cdecl& c, Ptr<std::int32_t> tm) { return static_cast<std::int32_t>(to_time(c, tm, kLast32)); }
std::int64_t _mktime64(Cdecl& c, Ptr<std::int32_t> tm) { return to_time(c, tm, kLast64); }

std::int32_t time_(Cdecl& c, Ptr<std::int32_t> out) {
    const auto t = static_cast<std::int32_t>(now(c));
    if (out) c.write(out, t);
    return t;
}
std::int64_t _time64(Cdecl& c, Ptr<std::int64_t> out) {
    const std::int64_t t = now(c);
    if (out) c.write(out, t);
    return t;
}
double difftime_(Cdecl&, std::int32_t a, std::int32_t b) { return static_cast<double>(a) - b; }
double _difftime64(Cdecl&, std::int64_t a, std::int64_t b) { return static_cast<double>(a - b); }
// Milliseconds since the process started.
std::int32_t clock_(Cdecl& c) { return static_cast<std::int32_t>((c.process.clock - kProcessStart) / 10000); }

// --- stdio on the standard streams --------------------------------------

constexpr std::uint32_t kFileSize = 32;

// The stream a FILE pointer names: 1 standard output, 2 standard error, 0
// standard input; -1 for a FILE this process did not open (the module's own
// or garbage), which msvcrt would use as it stands.
int stream_of(const Api& c, Addr file) {
    if (file < c.process.iob || file >= c.process.iob + 3 * kFileSize || (file - c.process.iob) % kFileSize) {
        return -1;
    }
    return static_cast<int>((file - c.process.iob) / kFileSize);
}

std::int32_t put(Api& c, Addr file, std::string_view text) {
    const int s = stream_of(c, file);
    if (s < 0) {
        c.check(file, kFileSize, true);  // a FILE the module made: msvcrt reads and writes it
        set_errno(c, kEbadf);
        return -1;
    }
    if (s == 0) {
        set_errno(c, kEbadf);
        return -1;
    }
    print(c.process, text);
    return static_cast<std::int32_t>(text.size());
}

std::uint32_t fwrite_(Cdecl& c, Void data, std::uint32_t size, std::uint32_t count, Addr file) {
    const std::uint64_t n = std::uint64_t{size} * count;
    if (!n) return 0;
    const auto bytes = c.bytes(data.addr, static_cast<std::size_t>(std::min<std::uint64_t>(n, 1u << 24)));
    if (put(c, file, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}) < 0) return 0;
    return count;
}
std::int32_t fputs_(Cdecl& c, Str s, Addr file) { return put(c, file, c.string(s)) < 0 ? -1 : 0; }
std::int32_t fputc_(Cdecl& c, std::int32_t ch, Addr file) {
    const char b = static_cast<char>(ch);
    return put(c, file, {&b, 1}) < 0 ? -1 : ch & 0xFF;
}
std::int32_t puts_(Cdecl& c, Str s) { return put(c, c.process.iob + kFileSize, c.string(s) + "\n") < 0 ? -1 : 0; }
std::int32_t putchar_(Cdecl& c, std::int32_t ch) { return fputc_(c, ch, c.process.iob + kFileSize); }
std::int32_t fflush_(Cdecl& c, Addr file) {
    if (file && stream_of(c, file) < 0) c.check(file, kFileSize, true);
    return 0;
}

std::int32_t vfprintf_(Cdecl& c, Addr file, Str format, Ptr<std::uint32_t> args) {
    std::uint32_t i = 0;
    const std::string text = format_printf(c, c.string(format), [&] { return c.read(args, i++); });
    return put(c, file, text);
}
std::int32_t fprintf_(Varargs& c, Addr file, Str format) {
    const std::string text = format_printf(c, c.string(format), [&] { return c.next(); });
    return put(c, file, text);
}
std::int32_t printf_(Varargs& c, Str format) {
    const std::string text = format_printf(c, c.string(format), [&] { return c.next(); });
    return put(c, c.process.iob + kFileSize, text);
}
std::int32_t vprintf_(Cdecl& c, Str format, Ptr<std::uint32_t> args) {
    return vfprintf_(c, c.process.iob + kFileSize, format, args);
}
std::int32_t sprintf_(Varargs& c, Str out, Str format) {
    const std::string text = format_printf(c, c.string(format), [&] { return c.next(); });
    c.put_string(out, text);
    return static_cast<std::int32_t>(text.size());
}
std::int32_t vsprintf_(Cdecl& c, Str out, Str format, Ptr<std::uint32_t> args) {
    std::uint32_t i = 0;
    const std::string text = format_printf(c, c.string(format), [&] { return c.read(args, i++); });
    c.put_string(out, text);
    return static_cast<std::int32_t>(text.size());
}
// _snprintf and _vsnprintf: at most `room` characters, no NUL when the text
// fills them, -1 when it does not fit.
std::int32_t bounded(Api& c, Str out, std::uint32_t room, const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), room);
    c.put_bytes(out.addr, text.data(), n);
    if (text.size() < room) c.write(out + static_cast<std::uint32_t>(text.size()), '\0');
    return text.size() > room ? -1 : static_cast<std::int32_t>(text.size());
}
std::int32_t _snprintf(Varargs& c, Str out, std::uint32_t room, Str format) {
    return bounded(c, out, room, format_printf(c, c.string(format), [&] { return c.next(); }));
}
std::int32_t _vsnprintf(Cdecl& c, Str out, std::uint32_t room, Str format, Ptr<std::uint32_t> args) {
    std::uint32_t i = 0;
    return bounded(c, out, room, format_printf(c, c.string(format), [&] { return c.read(args, i++); }));
}

// Low-level files: the three standard ones; no other can be opened.
std::int32_t _write(Cdecl& c, std::int32_t fd, Void data, std::uint32_t n) {
    if (fd != 1 && fd != 2) {
        set_errno(c, kEbadf);
        return -1;
    }
    const auto bytes = c.bytes(data.addr, std::min<std::uint32_t>(n, 1u << 24));
    print(c.process, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    return static_cast<std::int32_t>(n);
}
std::int32_t _read(Cdecl& c, std::int32_t fd, Void, std::uint32_t) {
    if (fd != 0) {
        set_errno(c, kEbadf);
        return -1;
    }
    return 0;  // the host gives the module no input
}
std::int32_t _close(Cdecl& c, std::int32_t fd) {
    if (fd < 0 || fd > 2) {
        set_errno(c, kEbadf);
        return -1;
    }
    return 0;
}
std::int32_t _open(Varargs& c, Str path, std::int32_t) {
    c.string(path, 260);
    set_errno(c, 2);  // ENOENT: the process has no files to open
    return -1;
}

// --- the "C" locale -----------------------------------------------------

Addr setlocale_(Cdecl& c, std::int32_t category, Str name) {
    if (category < 0 || category > 5) return 0;
    if (!name) return c.process.c_locale;
    const std::string wanted = c.string(name, 256);
    return wanted == "C" ? c.process.c_locale : 0;  // this process has the "C" locale only
}
Addr localeconv_(Cdecl& c) { return c.process.lconv; }

// --- setjmp and longjmp ---------------------------------------------------

// msvcrt's _JUMP_BUFFER: Ebp, Ebx, Edi, Esi, Esp, Eip, Registration,
// TryLevel, Cookie, UnwindFunc, UnwindData[6].
std::int32_t _setjmp3(Varargs& c, Ptr<std::uint32_t> buffer, std::uint32_t) {
    const StubCall& call = c.stub();
    const Registers r = call.registers();
    const std::uint32_t saved[8] = {r.ebp,
                                    r.ebx,
                                    r.edi,
                                    r.esi,
                                    call.stack_pointer() + 4,
                                    c.machine.read(call.stack_pointer()),
                                    c.machine.read(Machine::thread().environment_block),
                                    0xFFFFFFFF};
    c.put_bytes(buffer.addr, saved, sizeof saved);
    c.write(buffer, 0x56433230u, 8);  // "VC20": the buffer's signature
    return 0;
}
void longjmp_(CdeclCalling& c, Ptr<std::uint32_t> buffer, std::int32_t value) {
    std::uint32_t saved[8];
    const auto bytes = c.bytes(buffer.addr, sizeof saved);
    std::memcpy(saved, bytes.data(), sizeof saved);
    Registers r = c.stub().registers();
    r.ebp = saved[0];
    r.ebx = saved[1];
    r.edi = saved[2];
    r.esi = saved[3];
    r.esp = saved[4];
    r.eip = saved[5];
    r.eax = value ? static_cast<std::uint32_t>(value) : 1;
    // The frames registered since setjmp are left behind, as the local
    // unwind leaves them.
    c.machine.write<std::uint32_t>(Machine::thread().environment_block, saved[6]);
    c.stub().resume_with(r);
}

}  // namespace

std::uint32_t strftime_(Cdecl& c, Str out, std::uint32_t n, Str format, Ptr<std::int32_t> tm);
std::uint32_t wcsftime_(Cdecl& c, WStr out, std::uint32_t n, WStr format, Ptr<std::int32_t> tm);

namespace {

constexpr Export kExports[] = {
    fn<&___lc_codepage_func>("___lc_codepage_func"),
    fn<&___lc_collate_cp_func>("___lc_collate_cp_func"),
    fn<&___lc_handle_func>("___lc_handle_func"),
    fn<&___mb_cur_max_func>("___mb_cur_max_func"),
    data("__argc", &ProcessState::argc),
    data("__argv", &ProcessState::argv),
    fn<&__dllonexit>("__dllonexit"),
    fn<&__getmainargs>("__getmainargs"),
    fn<&__iob_func>("__iob_func"),
    data("__mb_cur_max", &ProcessState::mb_cur_max),
    fn<&__p___argc>("__p___argc"),
    fn<&__p___argv>("__p___argv"),
    fn<&__p___wargv>("__p___wargv"),
    fn<&__p__commode>("__p__commode"),
    fn<&__p__environ>("__p__environ"),
    fn<&__p__fmode>("__p__fmode"),
    fn<&__p__wenviron>("__p__wenviron"),
    data("__wargv", &ProcessState::wargv),
    fn<&__wgetmainargs>("__wgetmainargs"),
    fn<&_amsg_exit>("_amsg_exit"),
    fn<&_close>("_close"),
    fn<&difftime_>("_difftime32"),
    fn<&_difftime64>("_difftime64"),
    data("_environ", &ProcessState::environ),
    fn<&_errno>("_errno"),
    fn<&_exit>("_exit"),
    fn<&_getpid>("_getpid"),
    fn<&gmtime_>("_gmtime32"),
    fn<&_gmtime64>("_gmtime64"),
    fn<&_initterm>("_initterm"),
    fn<&_initterm_e>("_initterm_e"),
    data("_iob", &ProcessState::iob),
    fn<&gmtime_>("_localtime32"),
    fn<&_gmtime64>("_localtime64"),
    fn<&_lock>("_lock"),
    fn<&mktime_>("_mkgmtime"),
    fn<&mktime_>("_mkgmtime32"),
    fn<&_mktime64>("_mkgmtime64"),
    fn<&mktime_>("_mktime32"),
    fn<&_mktime64>("_mktime64"),
    fn<&_msize>("_msize"),
    fn<&_onexit>("_onexit"),
    fn<&_open>("_open"),
    fn<&_read>("_read"),
    fn<&_set_error_mode>("_set_error_mode"),
    fn<&_setjmp3>("_setjmp3"),
    fn<&_snprintf>("_snprintf"),
    fn<&time_>("_time32"),
    fn<&_time64>("_time64"),
    fn<&_unlock>("_unlock"),
    fn<&_vsnprintf>("_vsnprintf"),
    data("_wenviron", &ProcessState::wenviron),
    fn<&_wgetenv>("_wgetenv"),
    fn<&_write>("_write"),
    fn<&abort_>("abort"),
    fn<&atexit>("atexit"),
    fn<&calloc_>("calloc"),
    fn<&clock_>("clock"),
    fn<&difftime_>("difftime"),
    fn<&exit_>("exit"),
    fn<&fflush_>("fflush"),
    fn<&fprintf_>("fprintf"),
    fn<&fputc_>("fputc"),
    fn<&fputs_>("fputs"),
    fn<&free_>("free"),
    fn<&fwrite_>("fwrite"),
    fn<&getenv_>("getenv"),
    fn<&gmtime_>("gmtime"),
    fn<&localeconv_>("localeconv"),
    fn<&gmtime_>("localtime"),
    fn<&longjmp_>("longjmp"),
    fn<&malloc_>("malloc"),
    fn<&mktime_>("mktime"),
    fn<&printf_>("printf"),
    fn<&putchar_>("putchar"),
    fn<&puts_>("puts"),
    fn<&raise_>("raise"),
    fn<&realloc_>("realloc"),
    fn<&setlocale_>("setlocale"),
    fn<&signal_>("signal"),
    fn<&sprintf_>("sprintf"),
    fn<&strerror_>("strerror"),
    fn<&strftime_>("strftime"),
    fn<&time_>("time"),
    fn<&vfprintf_>("vfprintf"),
    fn<&vprintf_>("vprintf"),
    fn<&vsprintf_>("vsprintf"),
    fn<&wcsftime_>("wcsftime"),
};

}  // namespace

const DllTable kMsvcrt{"msvcrt.dll", std::begin(kExports), std::end(kExports), &kMsvcrtText};

}  // namespace q7host::win
