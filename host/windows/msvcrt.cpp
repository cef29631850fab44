// msvcrt: the C runtime functions a module built the ordinary way calls (start-up and exit lists,
// the heap, errno, stdio on the standard streams, strings, memory, characters, the "C" locale,
// setjmp/longjmp), each as msvcrt.dll behaves, and the table that names them. All are cdecl.
#include "host/hex.h"
#include "host/windows.h"
#include "printf_format.h"
#include "text_codes.h"
#include "windows_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace q7host::win {

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
void __setusermatherr(Cdecl&, Addr) {}
std::int32_t _set_error_mode(Cdecl&, std::int32_t) { return 0; }

// The ends of the process: the module's fault, named.
void exit_with(Api& c, const std::string& how) { c.fail(ProblemKind::Exited, how); }
void exit_(Cdecl& c, std::int32_t code) { exit_with(c, "exit(" + std::to_string(code) + ")"); }
void _exit(Cdecl& c, std::int32_t code) { exit_with(c, "_exit(" + std::to_string(code) + ")"); }
void abort_(Cdecl& c) {
    print(c.process,
          "\nThis application has requested the Runtime to terminate it in an unusual way.\n"
          "Please contact the application's support team for more information.\n");
    exit_with(c, "abort()");
}
void _amsg_exit(Cdecl& c, std::int32_t code) {
    print(c.process, "\nruntime error R60" + std::to_string(code) + "\n");
    exit_with(c, "_amsg_exit(" + std::to_string(code) + ")");
}

// --- the heap -----------------------------------------------------------

Addr malloc_(Cdecl& c, std::uint32_t n) {
    const Addr a = n > 0xFFFFFFE0u ? 0 : c.process.heap.allocate(n);
    if (!a) set_errno(c, kEnomem);
    return a;
}
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
Addr _strdup(Cdecl& c, Str s) {
    if (!s) return 0;
    const std::string text = c.string(s);
    const Addr a = malloc_(c, static_cast<std::uint32_t>(text.size() + 1));
    if (a) c.machine.write_bytes(a, text.c_str(), text.size() + 1);
    return a;
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

// --- strings and memory -----------------------------------------------------

std::uint32_t strlen_(Cdecl& c, Str s) { return static_cast<std::uint32_t>(c.string(s).size()); }
std::uint32_t wcslen_(Cdecl& c, WStr s) { return static_cast<std::uint32_t>(c.wide(s).size()); }
std::int32_t sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }
std::int32_t strcmp_(Cdecl& c, Str a, Str b) {
    for (std::uint32_t i = 0;; ++i) {
        const auto x = static_cast<unsigned char>(c.read(a, i)), y = static_cast<unsigned char>(c.read(b, i));
        if (x != y || !x) return sign(x - y);
    }
}
std::int32_t strncmp_(Cdecl& c, Str a, Str b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(c.read(a, i)), y = static_cast<unsigned char>(c.read(b, i));
        if (x != y || !x) return sign(x - y);
    }
    return 0;
}
Addr strchr_(Cdecl& c, Str s, std::int32_t ch) {
    for (std::uint32_t i = 0;; ++i) {
        const char x = c.read(s, i);
        if (x == static_cast<char>(ch)) return s.addr + i;
        if (!x) return 0;
    }
}
Addr strrchr_(Cdecl& c, Str s, std::int32_t ch) {
    Addr last = 0;
    for (std::uint32_t i = 0;; ++i) {
        const char x = c.read(s, i);
        if (x == static_cast<char>(ch)) last = s.addr + i;
        if (!x) return last;
    }
}
Addr strcpy_(Cdecl& c, Str to, Str from) {
    c.put_string(to, c.string(from));
    return to.addr;
}
Addr strcat_(Cdecl& c, Str to, Str from) {
    const std::string head = c.string(to);
    c.put_string(to + static_cast<std::uint32_t>(head.size()), c.string(from));
    return to.addr;
}
Addr strncpy_(Cdecl& c, Str to, Str from, std::uint32_t n) {
    std::string text = c.string(from, n);
    text.resize(n, '\0');
    c.put_bytes(to.addr, text.data(), n);
    return to.addr;
}
Addr memcpy_(Cdecl& c, Void to, Void from, std::uint32_t n) {
    if (n) c.put_bytes(to.addr, c.bytes(from.addr, n).data(), n);
    return to.addr;
}
Addr memset_(Cdecl& c, Void to, std::int32_t v, std::uint32_t n) {
    const std::vector<std::uint8_t> fill(n, static_cast<std::uint8_t>(v));
    if (n) c.put_bytes(to.addr, fill.data(), n);
    return to.addr;
}
std::int32_t memcmp_(Cdecl& c, Void a, Void b, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        const auto x = c.read(a.as<std::uint8_t>(), i), y = c.read(b.as<std::uint8_t>(), i);
        if (x != y) return sign(x - y);
    }
    return 0;
}
Addr memchr_(Cdecl& c, Void s, std::int32_t v, std::uint32_t n) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (c.read(s.as<std::uint8_t>(), i) == static_cast<std::uint8_t>(v)) return s.addr + i;
    }
    return 0;
}
std::int32_t atoi_(Cdecl& c, Str s) {
    const std::string text = c.string(s, 4096);
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10 + static_cast<std::uint32_t>(text[i] - '0');
    return static_cast<std::int32_t>(negative ? 0 - v : v);
}
Addr _ultoa(Cdecl& c, std::uint32_t v, Str out, std::int32_t radix) {
    if (radix < 2 || radix > 36) {
        set_errno(c, kEinval);
        c.put_string(out, "");
        return out.addr;
    }
    std::string digits;
    do {
        const std::uint32_t d = v % static_cast<std::uint32_t>(radix);
        digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10));
        v /= static_cast<std::uint32_t>(radix);
    } while (v);
    c.put_string(out, digits);
    return out.addr;
}

// --- mathematics --------------------------------------------------------

double cos_(Cdecl&, double x) { return std::cos(x); }
double sin_(Cdecl&, double x) { return std::sin(x); }

// --- the "C" locale -----------------------------------------------------

Addr setlocale_(Cdecl& c, std::int32_t category, Str name) {
    if (category < 0 || category > 5) return 0;
    if (!name) return c.process.c_locale;
    const std::string wanted = c.string(name, 256);
    return wanted == "C" ? c.process.c_locale : 0;  // this process has the "C" locale only
}
Addr localeconv_(Cdecl& c) { return c.process.lconv; }
std::int32_t strcoll_(Cdecl& c, Str a, Str b) { return strcmp_(c, a, b); }
std::uint32_t strxfrm_(Cdecl& c, Str out, Str in, std::uint32_t n) {
    const std::string text = c.string(in);
    if (text.size() < n) c.put_string(out, text);
    return static_cast<std::uint32_t>(text.size());
}
std::int32_t wcscoll_(Cdecl& c, WStr a, WStr b) {
    const std::u16string x = c.wide(a), y = c.wide(b);
    return x < y ? -1 : x > y ? 1 : 0;
}
std::uint32_t wcsxfrm_(Cdecl& c, WStr out, WStr in, std::uint32_t n) {
    const std::u16string text = c.wide(in);
    if (text.size() < n) {
        c.put_bytes(out.addr, text.c_str(), (text.size() + 1) * 2);
    }
    return static_cast<std::uint32_t>(text.size());
}
std::uint32_t towlower_(Cdecl&, std::uint32_t ch) {
    const auto u = static_cast<std::uint16_t>(ch);
    return u >= 'A' && u <= 'Z' ? u + 32u : u;
}
std::uint32_t towupper_(Cdecl&, std::uint32_t ch) {
    const auto u = static_cast<std::uint16_t>(ch);
    return u >= 'a' && u <= 'z' ? u - 32u : u;
}
// The "C" locale's classes of the first 256 characters (msvcrt's _ctype
// bits: upper 1, lower 2, digit 4, space 8, punct 0x10, control 0x20,
// blank 0x40, hex 0x80, alpha 0x103).
std::uint32_t char_class(std::uint32_t ch) {
    if (ch > 0xFF) return 0;
    std::uint32_t m = 0;
    if (ch >= 'A' && ch <= 'Z') m |= 0x101;
    if (ch >= 'a' && ch <= 'z') m |= 0x102;
    if (ch >= '0' && ch <= '9') m |= 0x4;
    if ((ch >= 9 && ch <= 13) || ch == ' ') m |= 0x8;
    if (ch >= 0x21 && ch <= 0x7E && !(m & 0x107)) m |= 0x10;
    if (ch < 0x20 || ch == 0x7F) m |= 0x20;
    if (ch == ' ' || ch == '\t') m |= 0x40;
    if ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F')) m |= 0x80;
    return m;
}
std::int32_t iswctype_(Cdecl&, std::uint32_t ch, std::uint32_t mask) {
    return static_cast<std::int32_t>(char_class(static_cast<std::uint16_t>(ch)) & mask);
}

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
    fn<&__dllonexit>("__dllonexit"),
    fn<&__iob_func>("__iob_func"),
    data("__mb_cur_max", &ProcessState::mb_cur_max),
    fn<&__p__commode>("__p__commode"),
    fn<&__p__fmode>("__p__fmode"),
    fn<&__setusermatherr>("__setusermatherr"),
    fn<&_amsg_exit>("_amsg_exit"),
    fn<&_close>("_close"),
    fn<&_errno>("_errno"),
    fn<&_exit>("_exit"),
    fn<&_initterm>("_initterm"),
    fn<&_initterm_e>("_initterm_e"),
    data("_iob", &ProcessState::iob),
    fn<&_lock>("_lock"),
    fn<&_msize>("_msize"),
    fn<&_onexit>("_onexit"),
    fn<&_open>("_open"),
    fn<&_read>("_read"),
    fn<&_set_error_mode>("_set_error_mode"),
    fn<&_setjmp3>("_setjmp3"),
    fn<&_snprintf>("_snprintf"),
    fn<&_strdup>("_strdup"),
    fn<&_ultoa>("_ultoa"),
    fn<&_unlock>("_unlock"),
    fn<&_vsnprintf>("_vsnprintf"),
    fn<&_write>("_write"),
    fn<&abort_>("abort"),
    fn<&atexit>("atexit"),
    fn<&atoi_>("atoi"),
    fn<&calloc_>("calloc"),
    fn<&cos_>("cos"),
    fn<&exit_>("exit"),
    fn<&fflush_>("fflush"),
    fn<&fprintf_>("fprintf"),
    fn<&fputc_>("fputc"),
    fn<&fputs_>("fputs"),
    fn<&free_>("free"),
    fn<&fwrite_>("fwrite"),
    fn<&iswctype_>("iswctype"),
    fn<&localeconv_>("localeconv"),
    fn<&longjmp_>("longjmp"),
    fn<&malloc_>("malloc"),
    fn<&memchr_>("memchr"),
    fn<&memcmp_>("memcmp"),
    fn<&memcpy_>("memcpy"),
    fn<&memcpy_>("memmove"),
    fn<&memset_>("memset"),
    fn<&printf_>("printf"),
    fn<&putchar_>("putchar"),
    fn<&puts_>("puts"),
    fn<&realloc_>("realloc"),
    fn<&setlocale_>("setlocale"),
    fn<&sin_>("sin"),
    fn<&sprintf_>("sprintf"),
    fn<&strcat_>("strcat"),
    fn<&strchr_>("strchr"),
    fn<&strcmp_>("strcmp"),
    fn<&strcoll_>("strcoll"),
    fn<&strcpy_>("strcpy"),
    fn<&strerror_>("strerror"),
    fn<&strftime_>("strftime"),
    fn<&strlen_>("strlen"),
    fn<&strncmp_>("strncmp"),
    fn<&strncpy_>("strncpy"),
    fn<&strrchr_>("strrchr"),
    fn<&strxfrm_>("strxfrm"),
    fn<&towlower_>("towlower"),
    fn<&towupper_>("towupper"),
    fn<&vfprintf_>("vfprintf"),
    fn<&vprintf_>("vprintf"),
    fn<&vsprintf_>("vsprintf"),
    fn<&wcscoll_>("wcscoll"),
    fn<&wcsftime_>("wcsftime"),
    fn<&wcslen_>("wcslen"),
    fn<&wcsxfrm_>("wcsxfrm"),
};

}  // namespace

const DllTable kMsvcrt{"msvcrt.dll", std::begin(kExports), std::end(kExports)};

}  // namespace q7host::win
