// Exceptions in module code as Windows dispatches them: the exception record and the CONTEXT laid
// out on the module's stack as the kernel lays them out, the vectored handlers first, then the frame
// chain at fs:[0] with the checks ntdll makes on each record, the dispositions a handler may give,
// and the functions a module raises, unwinds and registers handlers with.
#include "exceptions.h"

#include "panel/hex.h"
#include "host/thread_block.h"

#include <algorithm>

namespace q7host::win {

namespace {

constexpr std::uint32_t kContinueExecution = 0, kContinueSearch = 1, kNestedException = 2;
constexpr std::uint32_t kNoncontinuable = 1, kUnwinding = 2, kExitUnwind = 4, kStackInvalid = 8;
constexpr std::int32_t kVectoredContinueExecution = -1;

using teb::kEndOfChain;
constexpr std::uint32_t kTebExceptionList = teb::kExceptionList, kTebStackBase = teb::kStackBase,
                        kTebStackLimit = teb::kStackLimit;

}  // namespace

// An x86 CONTEXT (CONTEXT_FULL with the floating-point and extended
// registers) from registers, and back.
void write_context(Machine& m, Addr at, const Registers& r) {
    std::vector<std::uint8_t> zero(kContextSize, 0);
    m.write_bytes(at, zero.data(), zero.size());
    m.write<std::uint32_t>(at + context::kFlags, context::kAll);
    m.write<std::uint32_t>(at + context::kFloatControl, r.fpu_control | 0xFFFF0000u);
    m.write<std::uint32_t>(at + context::kFloatStatus, r.fpu_status | 0xFFFF0000u);
    m.write<std::uint32_t>(at + context::kFloatTags, 0xFFFFFFFFu);
    const std::uint32_t segments[] = {r.gs, r.fs, r.es, r.ds};
    m.write_bytes(at + context::kSegGs, segments, sizeof segments);
    const std::uint32_t integer[] = {r.edi, r.esi, r.ebx, r.edx,    r.ecx, r.eax,
                                     r.ebp, r.eip, r.cs,  r.eflags, r.esp, r.ss};
    m.write_bytes(at + context::kEdi, integer, sizeof integer);
    m.write<std::uint16_t>(at + context::kExtended, r.fpu_control);
    m.write<std::uint16_t>(at + context::kExtended + 2, r.fpu_status);
    m.write<std::uint32_t>(at + context::kExtended + 24, r.mxcsr);
    m.write<std::uint32_t>(at + context::kExtended + 28, 0xFFBF);  // MXCSR_MASK
}

Registers read_context(const Machine& m, Addr at, Registers r) {
    std::uint32_t integer[12];
    m.read_bytes(at + context::kEdi, integer, sizeof integer);
    r.edi = integer[0];
    r.esi = integer[1];
    r.ebx = integer[2];
    r.edx = integer[3];
    r.ecx = integer[4];
    r.eax = integer[5];
    r.ebp = integer[6];
    r.eip = integer[7];
    r.eflags = integer[9];
    r.esp = integer[10];
    r.fpu_control = static_cast<std::uint16_t>(m.read(at + context::kFloatControl));
    r.fpu_status = static_cast<std::uint16_t>(m.read(at + context::kFloatStatus));
    r.mxcsr = m.read(at + context::kExtended + 24);
    return r;
}

namespace {

Addr teb() { return Machine::thread().environment_block; }

// Whether ntdll accepts a frame record: on the thread's stack, aligned, its
// handler code that may run (not on the stack, in executable memory).
bool valid_frame(const Machine& m, Addr frame) {
    const Addr low = m.read(teb() + kTebStackLimit), high = m.read(teb() + kTebStackBase);
    if (frame < low || std::uint64_t{frame} + 8 > high || (frame & 3)) return false;
    const auto handler = m.try_read(frame + 4);
    if (!handler || (*handler >= low && *handler < high)) return false;
    return m.accessible(*handler, 1, prot::kExec);
}

struct Records {
    Addr record, context, pointers, below;
};

// The exception record and the context below the stack pointer at the
// exception, and the EXCEPTION_POINTERS a vectored handler gets.
Records lay_out(Machine& m, const Exception& e, const Registers& r, std::uint32_t extra_flags) {
    Records at{};
    at.context = (r.esp - kContextSize) & ~3u;
    at.record = at.context - kRecordSize;
    at.pointers = at.record - 8;
    at.below = at.pointers - 16;
    write_context(m, at.context, r);
    std::vector<std::uint8_t> zero(kRecordSize, 0);
    m.write_bytes(at.record, zero.data(), zero.size());
    m.write<std::uint32_t>(at.record, e.code);
    m.write<std::uint32_t>(at.record + 4, e.flags | extra_flags);
    m.write<std::uint32_t>(at.record + 8, e.record);
    m.write<std::uint32_t>(at.record + 12, e.address);
    const std::size_t n = std::min<std::size_t>(e.info.size(), kMaxParameters);
    m.write<std::uint32_t>(at.record + 16, static_cast<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) m.write<std::uint32_t>(at.record + 20 + 4 * static_cast<Addr>(i), e.info[i]);
    m.write<std::uint32_t>(at.pointers, at.record);
    m.write<std::uint32_t>(at.pointers + 4, at.context);
    return at;
}

// A handler's answer that Windows turns into an exception of its own, raised
// from below the first's records and chained to them; when it too goes
// unhandled, it is the one that ends the process.
Dispatch raise_again(Machine& m, ProcessState& s, Exception& e, Registers& r, const Records& at, Registers from,
                     std::uint32_t code, std::string what) {
    Exception again{
        .code = code, .flags = kNoncontinuable, .address = e.address, .what = std::move(what), .record = at.record};
    from.esp = at.below;
    if (dispatch_exception(m, s, again, from) == Dispatch::kResume) {
        r = from;
        return Dispatch::kResume;
    }
    e = std::move(again);
    return Dispatch::kUnhandled;
}

}  // namespace

Dispatch dispatch_exception(Machine& m, ProcessState& s, Exception& e, Registers& r) {
    const Records at = lay_out(m, e, r, 0);
    auto resume = [&] {
        r = read_context(m, at.context, r);
        return Dispatch::kResume;
    };
    // The vectored handlers, in the order they stand (a copy: a handler may
    // remove itself).
    const std::vector<ProcessState::Vectored> vectored = s.vectored;
    for (const auto& v : vectored) {
        const CallOutcome out = m.call("vectored exception handler", v.handler, {at.pointers}, {.stack = at.below});
        if (!out.completed) return Dispatch::kUnhandled;
        if (static_cast<std::int32_t>(out.eax) == kVectoredContinueExecution) return resume();
    }
    // The frame chain.
    Addr frame = m.read(teb() + kTebExceptionList);
    const Addr dispatcher_context = at.below - 4;
    while (frame != kEndOfChain && frame != Machine::thread().last_frame) {
        if (!valid_frame(m, frame)) {
            m.write<std::uint32_t>(at.record + 4, m.read(at.record + 4) | kStackInvalid);
            return Dispatch::kUnhandled;
        }
        const Addr handler = m.read(frame + 4);
        const CallOutcome out = m.call("exception handler", handler, {at.record, frame, at.context, dispatcher_context},
                                       {.convention = Convention::kCallerRestores, .stack = at.below - 8});
        if (!out.completed) return Dispatch::kUnhandled;
        const std::uint32_t flags = m.read(at.record + 4);
        switch (out.eax) {
            case kContinueExecution:
                if (!(flags & kNoncontinuable)) return resume();
                // A handler may not continue what cannot be continued.
                return raise_again(
                    m, s, e, r, at, read_context(m, at.context, r), kStatusNoncontinuable,
                    "an exception continued that cannot be (raised by 0x" + hex(e.code, 8).substr(2) + ")");
            case kContinueSearch: break;
            case kNestedException: m.write<std::uint32_t>(at.record + 4, flags | 0x10); break;
            default:
                return raise_again(
                    m, s, e, r, at, r, kStatusInvalidDisposition,
                    "an exception handler's answer that is none Windows knows (" + std::to_string(out.eax) + ")");
        }
        frame = m.read(frame);
    }
    return Dispatch::kUnhandled;
}

// KERNEL32's functions for exceptions.

void RaiseException(StdcallCalling& c, std::uint32_t code, std::uint32_t flags, std::uint32_t count,
                    Ptr<std::uint32_t> args) {
    Exception e{.code = code, .flags = flags & kNoncontinuable, .what = "an exception the module raised"};
    e.address = c.stub().registers().eip;  // inside RaiseException, as Windows names it
    const std::uint32_t n = std::min<std::uint32_t>(count, kMaxParameters);
    for (std::uint32_t i = 0; i < n && args; ++i) e.info.push_back(c.read(args, i));
    c.stub().raise(std::move(e), 16);
}

// Calls the handlers of the frames above `target` (all of them for 0) with
// the unwinding flags, taking each off the chain, then returns to the caller
// with the CONTEXT the handlers were given, `value` in its Eax, as Windows's
// RtlUnwind does on x86 (which ignores its TargetIp).
void RtlUnwind(StdcallCalling& c, Addr target, Addr, Ptr<std::uint32_t> record, std::uint32_t value) {
    Machine& m = c.machine;
    Registers r = c.stub().registers();
    r.eip = m.read(c.stub().stack_pointer());
    r.esp = c.stub().stack_pointer() + 4 + 16;
    r.eax = value;
    // Without a record of the module's, the unwind's own names the caller's return address.
    Exception e{.code = kStatusUnwind, .address = r.eip, .what = "an unwind"};
    if (record) {
        e.code = c.read(record, 0);
        e.flags = c.read(record, 1);
        e.record = c.read(record, 2);
        e.address = c.read(record, 3);
        const std::uint32_t n = std::min<std::uint32_t>(c.read(record, 4), kMaxParameters);
        for (std::uint32_t i = 0; i < n; ++i) e.info.push_back(c.read(record, 5 + i));
    }
    Registers below = r;
    below.esp = c.stub().stack_pointer() - 16;
    const Records at = lay_out(m, e, below, kUnwinding | (target ? 0 : kExitUnwind));
    write_context(m, at.context, r);
    Addr frame = m.read(teb() + kTebExceptionList);
    while (frame != kEndOfChain && frame != target && frame != Machine::thread().last_frame) {
        if (!valid_frame(m, frame)) break;
        const CallOutcome out =
            c.call_module(m.read(frame + 4), {at.record, frame, at.context, at.below - 4}, Convention::kCallerRestores);
        if (!out.completed) return;
        frame = m.read(frame);
        m.write<std::uint32_t>(teb() + kTebExceptionList, frame);
    }
    // The module goes on with the CONTEXT as the handlers left it (its Eax
    // the return value they may have changed).
    c.stub().resume_with(read_context(m, at.context, r));
}

Addr AddVectoredExceptionHandler(Stdcall& c, std::uint32_t first, Addr handler) {
    // The handle is a block of the process's heap, as Windows's is.
    const Addr handle = c.process.heap.allocate(16);
    if (!handle) return 0;
    c.machine.write<std::uint32_t>(handle, handler);
    auto& list = c.process.vectored;
    const ProcessState::Vectored v{handle, handler};
    if (first) {
        list.insert(list.begin(), v);
    } else {
        list.push_back(v);
    }
    return handle;
}

std::uint32_t RemoveVectoredExceptionHandler(Stdcall& c, Addr handle) {
    auto& list = c.process.vectored;
    const auto it = std::find_if(list.begin(), list.end(), [&](const auto& v) { return v.handle == handle; });
    if (it == list.end()) return 0;
    list.erase(it);
    c.process.heap.release(handle);
    return 1;
}

}  // namespace q7host::win
