// How a Windows function the module imports is written: a plain C++ function whose signature says
// everything the module's call needs. Its first parameter is the call's context, whose type gives
// the calling convention (Stdcall: the function removes its arguments; Cdecl and Varargs: the
// caller does) and whether it calls module code back (the ...Calling forms); the rest are the
// arguments, each taking one 32-bit word of the module's stack (two for a double or a 64-bit
// integer); the return type is what goes back in eax (edx:eax for 64 bits, st(0) for a double).
// A DLL's table lists each function once: its name and `&handler`.
#pragma once

#include "host/machine.h"
#include "process_state.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace q7host::win {

// A pointer into the module's address space. It knows what it points at, so
// that a handler reads and writes through it as the real function does: where
// the module's code could not, the access is an access violation in the
// module's call, not a host error.
template <typename T>
struct Ptr {
    Addr addr = 0;
    explicit operator bool() const { return addr != 0; }
    Ptr operator+(std::uint32_t n) const { return {static_cast<Addr>(addr + n * sizeof(T))}; }
    template <typename U>
    Ptr<U> as() const {
        return {addr};
    }
};
using Str = Ptr<char>;
using WStr = Ptr<char16_t>;
using Void = Ptr<void>;

// A Windows function met memory the module may not touch where the module
// pointed it. Thrown by the context's accessors; the binding turns it into
// the access violation.
struct GuestFault {
    Addr address;
    bool write;
};

class Api {
public:
    Api(StubCall& call, ProcessState& process) : call_(call), process(process), machine(call.machine()) {}

    // Memory as the module's code sees it: an access it could not make is a fault.
    void check(Addr a, std::size_t n, bool write) const {
        if (n && !machine.accessible(a, n, write ? prot::kWrite : prot::kRead)) {
            Addr at = a;
            while (machine.accessible(at, 1, write ? prot::kWrite : prot::kRead)) ++at;
            throw GuestFault{at, write};
        }
    }
    template <typename T>
    T read(Ptr<T> p, std::uint32_t index = 0) const {
        const Addr a = p.addr + index * static_cast<Addr>(sizeof(T));
        check(a, sizeof(T), false);
        return machine.read<T>(a);
    }
    template <typename T>
    void write(Ptr<T> p, const T& v, std::uint32_t index = 0) {
        const Addr a = p.addr + index * static_cast<Addr>(sizeof(T));
        check(a, sizeof(T), true);
        machine.write<T>(a, v);
    }
    std::vector<std::uint8_t> bytes(Addr a, std::size_t n) const {
        check(a, n, false);
        return machine.read_bytes(a, n);
    }
    void put_bytes(Addr a, const void* data, std::size_t n) {
        check(a, n, true);
        machine.write_bytes(a, data, n);
    }
    // A NUL-terminated text, read unit by unit as the real function reads it
    // (an unreadable unit before the NUL faults); at most `limit` units.
    std::string string(Str s, std::size_t limit = 1u << 20) const { return units<char>(s.addr, limit); }
    std::u16string wide(WStr s, std::size_t limit = 1u << 20) const { return units<char16_t>(s.addr, limit); }
    // Writes the text and its NUL.
    void put_string(Str s, std::string_view text) {
        put_bytes(s.addr, text.data(), text.size());
        write<char>(s + static_cast<std::uint32_t>(text.size()), '\0');
    }

    void set_last_error(std::uint32_t e) { process.last_error = e; }
    // The 32-bit word `index` of the call's arguments (for variadic functions).
    std::uint32_t word(unsigned index) const { return call_.arg(index); }
    StubCall& stub() { return call_; }
    // Ends the call as the module's fault, or as something this host does not model.
    void fail(ProblemKind kind, std::string detail) { call_.fail(kind, std::move(detail)); }

    template <typename U>
    std::basic_string<U> units(Addr at, std::size_t limit) const {
        std::basic_string<U> text;
        for (std::size_t i = 0; i < limit; ++i, at += sizeof(U)) {
            check(at, sizeof(U), false);
            const U c = machine.read<U>(at);
            if (!c) break;
            text += c;
        }
        return text;
    }

private:
    StubCall& call_;

public:
    ProcessState& process;
    Machine& machine;
};

// The contexts: which convention, and whether the function calls module code.
template <Convention C, bool Calls>
struct Context : Api {
    using Api::Api;
    static constexpr Convention kConvention = C;
    static constexpr bool kCallsModule = Calls;
    // Calls module code from the function (only in the ...Calling forms).
    CallOutcome call_module(Addr routine, const std::vector<std::uint32_t>& words, Convention convention,
                            Returns returns = Returns::kInt) requires Calls {
        return stub().call_module(routine, words, {.returns = returns, .convention = convention});
    }
};
using Stdcall = Context<Convention::kStdcall, false>;
using Cdecl = Context<Convention::kCdecl, false>;
using StdcallCalling = Context<Convention::kStdcall, true>;
using CdeclCalling = Context<Convention::kCdecl, true>;
// A cdecl function with a variable argument list after its named ones: the
// handler reads the rest with next().
struct Varargs : Cdecl {
    Varargs(StubCall& call, ProcessState& process, unsigned first) : Cdecl(call, process), next_(first) {}
    std::uint32_t next() { return word(next_++); }
    std::uint64_t next64() {
        const std::uint64_t low = next();
        return low | std::uint64_t{next()} << 32;
    }
    double next_double() {
        const std::uint64_t bits = next64();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    unsigned position() const { return next_; }

private:
    unsigned next_;
};

namespace detail {

template <typename T>
inline constexpr unsigned kWords = sizeof(T) > 4 ? 2 : 1;

template <typename T>
T take(const StubCall& call, unsigned& word) {
    if constexpr (sizeof(T) > 4) {
        const std::uint64_t bits = call.arg(word) | std::uint64_t{call.arg(word + 1)} << 32;
        word += 2;
        T v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    } else if constexpr (std::is_same_v<T, float>) {
        const std::uint32_t bits = call.arg(word++);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    } else if constexpr (requires { T{}.addr; }) {
        return T{call.arg(word++)};
    } else {
        return static_cast<T>(call.arg(word++));
    }
}

template <typename R>
void give(StubCall& call, R r) {
    if constexpr (std::is_floating_point_v<R>) {
        call.return_double(static_cast<double>(r));
    } else if constexpr (sizeof(R) > 4) {
        call.return_int64(static_cast<std::uint64_t>(r));
    } else if constexpr (requires { r.addr; }) {
        call.return_int(r.addr);
    } else {
        call.return_int(static_cast<std::uint32_t>(r));
    }
}

}  // namespace detail

// What the host binds for one function.
struct Binding {
    void (*run)(StubCall&, ProcessState&);
    unsigned pop_bytes;
    Returns returns;
};

template <auto F>
struct Bind;

template <typename R, typename Ctx, typename... A, R (*F)(Ctx&, A...)>
struct Bind<F> {
    static constexpr unsigned kWords = (detail::kWords<A> + ... + 0);
    static void run(StubCall& call, ProcessState& process) {
        try {
            unsigned word = 0;
            std::tuple<A...> args{detail::take<A>(call, word)...};
            auto ctx = [&] {
                if constexpr (std::is_same_v<Ctx, Varargs>) {
                    return Varargs(call, process, kWords);
                } else {
                    return Ctx(call, process);
                }
            }();
            if constexpr (std::is_void_v<R>) {
                std::apply([&](auto&&... a) { F(ctx, a...); }, args);
            } else {
                detail::give(call, std::apply([&](auto&&... a) { return F(ctx, a...); }, args));
            }
        } catch (const GuestFault& f) {
            call.access_violation(f.address, f.write);
        }
    }
    static constexpr Binding binding() {
        return {.run = &run,
                .pop_bytes = Ctx::kConvention == Convention::kStdcall ? 4 * kWords : 0,
                .returns = std::is_floating_point_v<R> ? Returns::kDouble : Returns::kInt};
    }
};

// One row of a DLL's table: the exported name and its binding, or data the
// DLL exports (the import slot receives the data's address).
struct Export {
    const char* name;
    Binding binding;
    Addr ProcessState::*data = nullptr;
};

template <auto F>
constexpr Export fn(const char* name) {
    return {name, Bind<F>::binding()};
}
constexpr Export data(const char* name, Addr ProcessState::*where) { return {name, {}, where}; }

struct DllTable {
    const char* name;  // lower case, with .dll
    const Export* begin;
    const Export* end;
    const DllTable* more = nullptr;  // the rest of the DLL's functions, written in another source
};
// The DLLs the host models, each in its own source; msvcrt's character,
// string and conversion functions and its mathematics in sources of their own.
extern const DllTable kKernel32, kMsvcrt, kUser32, kAdvapi32, kMsvcrtText, kMsvcrtMath;

}  // namespace q7host::win
