// The checked call into module code: the arguments and the return trap on
// the stack, the registers every call starts from, the run within the
// instruction budget (kept safe from the emulator's own aborts), and what the
// routine broke once it is over; and the side of a stub call that reads the
// module's arguments and hands back a result or a fault.
#include "machine_engine.h"

#include <csetjmp>
#include <csignal>

#include <cfenv>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

namespace q7host {

using namespace machine_detail;

namespace {

// The emulator ends the process (abort) on a few instructions it cannot
// translate, a far jump or call through a register among them, and prints a
// line first. While module code runs, SIGABRT jumps back into the call
// instead and the emulator's own output goes nowhere; the engine that
// aborted is not used again. Outside a call an abort is passed on to whoever
// handled it before.
thread_local sigjmp_buf* t_abort_target = nullptr;
struct sigaction g_previous_abort;

void on_abort(int sig) {
    if (t_abort_target) siglongjmp(*t_abort_target, 1);
    sigaction(SIGABRT, &g_previous_abort, nullptr);
    std::raise(sig);
}

FILE* quiet_stream() {
    static FILE* const quiet = [] {
        struct sigaction sa {};
        sa.sa_handler = on_abort;
        sa.sa_flags = SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGABRT, &sa, &g_previous_abort);
        return std::fopen("/dev/null", "w");
    }();
    return quiet;
}

// The double a routine left in st(0), as the caller's "fstp qword" stores
// it: rounded as the control word says, and the x87's default NaN when the
// stack is empty.
double returned_double(uc_engine* uc) {
    std::uint16_t sw = 0, cw = 0, tags = 0;
    uc_reg_read(uc, UC_X86_REG_FPSW, &sw);
    uc_reg_read(uc, UC_X86_REG_FPCW, &cw);
    uc_reg_read(uc, UC_X86_REG_FPTAG, &tags);
    if (((tags >> (2 * ((sw >> 11) & 7))) & 3) == 3) return -std::numeric_limits<double>::quiet_NaN();
    std::uint8_t st0[10] = {};
    uc_reg_read(uc, UC_X86_REG_ST0, st0);
    long double value = 0;
    std::memcpy(&value, st0, sizeof st0);
    static constexpr int kRounding[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    const int rounding = kRounding[(cw >> 10) & 3];
    if (rounding == FE_TONEAREST) return static_cast<double>(value);
    std::fesetround(rounding);
    const volatile double rounded = static_cast<double>(value);
    std::fesetround(FE_TONEAREST);
    return rounded;
}

}  // namespace

std::uint32_t StubCall::arg(unsigned index) const { return machine_.read(esp_ + 4 + 4 * index); }

double StubCall::arg_double(unsigned first_word) const { return machine_.read<double>(esp_ + 4 + 4 * first_word); }

void StubCall::return_int(std::uint32_t value) { eax_ = value; }

void StubCall::return_int64(std::uint64_t value) {
    eax_ = static_cast<std::uint32_t>(value);
    edx_ = static_cast<std::uint32_t>(value >> 32);
}

void StubCall::return_double(double value) { machine_.write<double>(kStubResult, value); }

void StubCall::fail(ProblemKind kind, std::string detail) {
    machine_.stop_call({kind, machine_.current_, std::move(detail)});
}

void StubCall::access_violation(Addr address, bool write) {
    const Addr stub = machine_.engine_->reg(UC_X86_REG_EIP);
    machine_.fault({stub,
                    std::string("an access violation ") + (write ? "writing " : "reading ") + hex(address, 8),
                    status::kAccessViolation,
                    {write ? 1u : 0u, address}});
}

Registers StubCall::registers() const { return machine_.registers(); }

void StubCall::raise(Exception e, unsigned pop_bytes) {
    Registers r = registers();
    r.eip = machine_.read(esp_);
    r.esp = esp_ + 4 + pop_bytes;
    machine_.raised_ = Machine::Raised{std::move(e), r};
    uc_emu_stop(machine_.engine_->uc);
}

CallOutcome StubCall::call_module(Addr routine, const std::vector<std::uint32_t>& words, CallOptions options) {
    if (!outside_) throw RunOutside{};
    if (!options.stack) options.stack = esp_ - 16;
    return machine_.call(machine_.current_, routine, words, options);
}

void StubCall::resume_with(const Registers& r) {
    if (!outside_) throw RunOutside{};
    resume_ = r;
}

void Machine::stop_call(Problem p) {
    report(std::move(p));
    call_failed_ = true;
    uc_emu_stop(engine_->uc);
}

void Machine::fault(const Fault& f) {
    raised_ = Raised{f.exception(), registers()};
    uc_emu_stop(engine_->uc);
}

Exception Fault::exception() const {
    Exception e{.code = code, .address = at, .info = info, .what = what};
    if (code == status::kAccessViolation && e.info.empty()) e.info = {0, 0xFFFFFFFF};
    return e;
}

namespace {

constexpr int kRegisterIds[] = {UC_X86_REG_EDI,    UC_X86_REG_ESI, UC_X86_REG_EBX,  UC_X86_REG_EDX,
                                UC_X86_REG_ECX,    UC_X86_REG_EAX, UC_X86_REG_EBP,  UC_X86_REG_EIP,
                                UC_X86_REG_EFLAGS, UC_X86_REG_ESP, UC_X86_REG_MXCSR};
constexpr int kSegmentIds[] = {UC_X86_REG_CS, UC_X86_REG_SS,   UC_X86_REG_DS,   UC_X86_REG_ES,   UC_X86_REG_FS,
                               UC_X86_REG_GS, UC_X86_REG_FPCW, UC_X86_REG_FPSW, UC_X86_REG_FPTAG};

}  // namespace

Registers Machine::registers() const {
    Registers r;
    std::uint32_t* words[] = {&r.edi, &r.esi, &r.ebx,    &r.edx, &r.ecx,  &r.eax,
                              &r.ebp, &r.eip, &r.eflags, &r.esp, &r.mxcsr};
    std::uint16_t* halves[] = {&r.cs, &r.ss, &r.ds, &r.es, &r.fs, &r.gs, &r.fpu_control, &r.fpu_status, &r.fpu_tags};
    for (std::size_t i = 0; i < std::size(kRegisterIds); ++i) *words[i] = engine_->reg(kRegisterIds[i]);
    for (std::size_t i = 0; i < std::size(kSegmentIds); ++i) {
        std::uint16_t v = 0;
        uc_reg_read(engine_->uc, kSegmentIds[i], &v);
        *halves[i] = v;
    }
    return r;
}

// Resuming with registers a handler may have changed: the general registers,
// eip and esp as they are; of the flags only those user code may set, with
// interrupts on and no single-stepping (which this host does not trace); the
// x87 and SSE control as given. Segments stay what the thread has.
void Machine::set_registers(const Registers& r) {
    Engine& e = *engine_;
    const std::uint32_t words[] = {
        r.edi, r.esi, r.ebx, r.edx, r.ecx, r.eax, r.ebp, r.eip, (r.eflags & 0xCD5) | 0x202, r.esp, r.mxcsr & 0xFFFF};
    for (std::size_t i = 0; i < std::size(kRegisterIds); ++i) e.set_reg(kRegisterIds[i], words[i]);
    e.set_reg16(UC_X86_REG_FPCW, r.fpu_control);
    e.set_reg16(UC_X86_REG_FPSW, r.fpu_status);
}

bool Machine::dispatch(Exception& ex, const Registers& at) {
    // A handler that faults in turn is dispatched too; a module whose
    // handlers fault without end is given up on at this depth.
    constexpr unsigned kMaxDispatchDepth = 16;
    if (!dispatcher_ || depth_ > kMaxDispatchDepth || engine_->broken) return false;
    Registers r = at;
    try {
        if (dispatcher_(ex, r) != Dispatch::kResume || call_failed_) return false;
    } catch (const MemoryFault&) {
        return false;  // no room on the stack for the exception's records
    }
    set_registers(r);
    return true;
}

void Machine::run_deferred_stub() {
    Engine& e = *engine_;
    const std::uint32_t index = e.deferred;
    const Addr at = kFirstStub + index * kStubSize;
    StubCall call(*this, e.reg(UC_X86_REG_ESP));
    call.outside_ = true;
    try {
        stubs_[index](call);
    } catch (const MemoryFault& f) {
        stop_call({ProblemKind::BadPointer, current_,
                   std::string("the host an address it cannot use: ") + hex(f.address, 8)});
    } catch (...) {
        e.pending = std::current_exception();
        call_failed_ = true;
    }
    if (call_failed_ || raised_ || e.broken || e.escaped) return;
    if (call.resume_) {
        set_registers(*call.resume_);
        return;
    }
    if (call.eax_) e.set_reg(UC_X86_REG_EAX, *call.eax_);
    if (call.edx_) e.set_reg(UC_X86_REG_EDX, *call.edx_);
    e.set_reg(UC_X86_REG_EIP, at + 1);  // past the nop, to the stub's return
}

CallOutcome Machine::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, Returns returns) {
    return call(name, routine, words, CallOptions{.returns = returns});
}

CallOutcome Machine::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, CallOptions o) {
    Engine& e = *engine_;
    CallOutcome out;
    if (e.broken) {
        out.completed = false;
        return out;
    }
    // A nested call keeps the live call's registers and the state of its
    // run, and puts them back when it is over.
    const bool nested = depth_ > 0;
    if (depth_ + 1 >= kMaxCallDepth) {
        stop_call({ProblemKind::Crash, current_,
                   "calls nested deeper than this host follows (" + std::to_string(kMaxCallDepth) + ")"});
        out.completed = false;
        return out;
    }
    uc_context* live = nullptr;
    Addr top = o.stack ? o.stack : kStackTop;
    if (nested) {
        check(uc_context_alloc(e.uc, &live), "keeping the registers of the live call");
        check(uc_context_save(e.uc, live), "keeping the registers of the live call");
        if (!o.stack) top = (e.reg(UC_X86_REG_ESP) - 16) & ~3u;
    }
    return run_call(nested ? current_ : name, routine, words, o, top, live, nested);
}
CallOutcome Machine::run_call(const char* name, Addr routine, const std::vector<std::uint32_t>& words,
                              const CallOptions& o, Addr top, void* live_context, bool nested) {
    Engine& e = *engine_;
    CallOutcome out;
    uc_context* const live = static_cast<uc_context*>(live_context);
    struct RunState {
        bool invalid_seen, resume, returned;
        std::uint32_t deferred;
        bool deferred_pending;
    } run{e.invalid_seen, e.resume, e.returned, e.deferred, e.deferred_pending};
    struct Release {
        uc_context* c;
        ~Release() {
            if (c) uc_context_free(c);
        }
    } release{live};
    const Addr esp0 = top & ~3u;
    const Addr args = esp0 - 4 * static_cast<Addr>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) write<std::uint32_t>(args + 4 * static_cast<Addr>(i), words[i]);
    const Addr sp = args - 4;
    const bool dbl = o.returns == Returns::kDouble;
    write<std::uint32_t>(sp, kReturnTrap + depth_);
    check(uc_context_restore(e.uc, e.call_state), "restoring the registers of a call");
    e.set_reg(UC_X86_REG_ESP, sp);

    const char* outer = current_;
    current_ = name;
    call_failed_ = false;
    raised_.reset();
    e.invalid_seen = false;
    e.deferred_pending = false;
    if (!nested) {
        e.pending = nullptr;
        e.executed = 0;
        e.over_budget = false;
        e.budget_reported = false;
        e.escaped = false;
    }
    e.returned = false;
    ++depth_;
    FILE* const quiet = quiet_stream();
    FILE* const loud = stderr;
    sigjmp_buf* const outer_target = t_abort_target;
    sigjmp_buf jump;
    uc_err err = UC_ERR_OK;
    bool reported = false;
    if (sigsetjmp(jump, 0) == 0) {
        t_abort_target = &jump;
        if (quiet) stderr = quiet;
        // The run stops where the host has work to do: an instruction it
        // completes, a host function that calls module code, an exception
        // to hand to the module's handlers. Then it runs on from eip,
        // within the same budget.
        Addr from = routine;
        for (;;) {
            e.resume = false;
            e.deferred_pending = false;
            e.invalid_seen = false;
            err = uc_emu_start(e.uc, from, kStopAddress, 0, 0);
            if (e.pending || call_failed_ || e.over_budget || e.returned || e.broken) break;
            if (err == UC_ERR_OK && e.deferred_pending && !raised_) {
                stderr = loud;
                run_deferred_stub();
                if (quiet) stderr = quiet;
                t_abort_target = &jump;
                if (e.escaped) break;
                if (e.pending || call_failed_ || e.over_budget || e.broken) break;
                if (!raised_) {
                    from = e.reg(UC_X86_REG_EIP);
                    continue;
                }
            }
            if (err == UC_ERR_OK && e.resume && !raised_) {
                from = e.reg(UC_X86_REG_EIP);
                continue;
            }
            if (err != UC_ERR_OK && !raised_) {
                Registers at = registers();
                if (e.invalid_seen) {
                    at.eip = faulting_instruction(*this, e.uc, at.eip, static_cast<Addr>(e.invalid_address));
                }
                const Fault f = memory_fault(err, at.eip);
                raised_ = Raised{f.exception(), at};
            }
            if (!raised_) break;
            Raised r = std::move(*raised_);
            raised_.reset();
            stderr = loud;
            const bool resumed = dispatch(r.exception, r.registers);
            if (quiet) stderr = quiet;
            t_abort_target = &jump;
            if (e.escaped) break;
            if (resumed && !e.pending && !call_failed_ && !e.over_budget && !e.broken) {
                err = UC_ERR_OK;
                from = e.reg(UC_X86_REG_EIP);
                continue;
            }
            if (!call_failed_ && !e.pending && !e.broken && !e.over_budget) {
                report({ProblemKind::Crash, name,
                        Fault{r.exception.address, r.exception.what, r.exception.code}.detail()});
                call_failed_ = true;
            }
            reported = true;
            break;
        }
        stderr = loud;
        t_abort_target = outer_target;
    } else {
        stderr = loud;
        t_abort_target = outer_target;
        current_ = outer;
        --depth_;
        e.broken = true;
        report({ProblemKind::Crash, name, "an instruction the emulator cannot run (it stopped for good)"});
        out.completed = false;
        if (nested) call_failed_ = true;
        return out;
    }
    --depth_;
    current_ = outer;
    (void)reported;
    // Module code jumped out of this call into the frames of an outer one
    // and returned there: this call is over, its caller (a host function or
    // a dispatcher) learns so and gives up; the call it escaped to has returned.
    if (e.escaped) {
        if (e.escaped_to < depth_) {
            out.escaped = true;
            return out;
        }
        e.escaped = false;
        e.returned = true;
    }
    auto finish = [&](CallOutcome result) {
        if (nested && !e.broken && !e.escaped) {
            check(uc_context_restore(e.uc, live), "restoring the registers of the live call");
            e.invalid_seen = run.invalid_seen;
            e.resume = run.resume;
            e.returned = run.returned;
            e.deferred = run.deferred;
            e.deferred_pending = run.deferred_pending;
            // A nested call that did not return ends the live one too: its
            // problem is already reported.
            call_failed_ = !result.completed;
        }
        return result;
    };
    if (e.pending) {
        if (!nested) std::rethrow_exception(std::exchange(e.pending, nullptr));
        out.completed = false;
        return finish(out);
    }

    const std::uint32_t eip = e.reg(UC_X86_REG_EIP), esp = e.reg(UC_X86_REG_ESP);
    if (call_failed_) {
        out.completed = false;
        return finish(out);
    }
    if (!e.returned) {
        out.completed = false;
        if (e.over_budget) {
            if (!e.budget_reported) report({ProblemKind::NoReturn, name, std::to_string(budget_) + " instructions"});
            e.budget_reported = true;
        } else {
            // Only a jump to the stop address itself ends a run this way: a
            // page nothing is mapped at, which Windows would not run either.
            report({ProblemKind::Crash, name,
                    Fault{eip, "an access violation running " + hex(eip, 8), status::kAccessViolation}.detail()});
        }
        return finish(out);
    }
    // Returning runs one more x87 instruction on Windows (the caller's store
    // of the result, at the latest): an exception left pending faults there.
    if (const auto pending = pending_x87_exception(e.uc)) {
        out.completed = false;
        report({ProblemKind::Crash, name, pending->detail()});
        return finish(out);
    }
    int regs[1 + std::size(kSavedRegisters)] = {UC_X86_REG_EAX};
    std::uint32_t values[std::size(regs)] = {};
    void* into[std::size(regs)];
    for (std::size_t i = 0; i < std::size(regs); ++i) {
        if (i) regs[i] = kSavedRegisters[i - 1].reg;
        into[i] = &values[i];
    }
    check(uc_reg_read_batch(e.uc, regs, into, static_cast<int>(std::size(regs))), "reading the registers");
    out.eax = values[0];
    const Addr expected = o.convention == Convention::kCdecl ? sp + 4 : esp0;
    out.stack_delta = o.convention == Convention::kCallerRestores ? 0 : static_cast<std::int32_t>(esp - expected);
    for (std::size_t i = 0; i < std::size(kSavedRegisters); ++i) {
        out.registers_preserved = out.registers_preserved && values[i + 1] == kSavedRegisters[i].marker;
    }
    if (dbl) out.st0 = returned_double(e.uc);
    if (out.stack_delta != 0) {
        const int pushed = static_cast<int>(words.size()) * 4;
        const int expected_removed = o.convention == Convention::kCdecl ? 0 : pushed;
        report({ProblemKind::StackUnbalanced, name,
                "the host pushed " + std::to_string(pushed) + " bytes of arguments and it removed " +
                    std::to_string(expected_removed + out.stack_delta) +
                    (o.convention == Convention::kCdecl ? " (the caller removes them)" : "")});
    }
    if (!out.registers_preserved) report({ProblemKind::RegistersClobbered, name, ""});
    return finish(out);
}

// The emulator stopped at memory the module may not touch: an access
// violation, reading, writing or running the address.
Fault Machine::memory_fault(int err, Addr eip) {
    const Engine& e = *engine_;
    const char* access = "reading";
    std::uint32_t kind = 0;
    switch (err) {
        case UC_ERR_WRITE_UNMAPPED:
        case UC_ERR_WRITE_PROT:
            access = "writing";
            kind = 1;
            break;
        case UC_ERR_FETCH_UNMAPPED:
        case UC_ERR_FETCH_PROT:
            access = "running";
            kind = 8;
            break;
        case UC_ERR_READ_UNMAPPED:
        case UC_ERR_READ_PROT: break;
        default:
            return {eip, std::string("an emulator error: ") + uc_strerror(static_cast<uc_err>(err)),
                    status::kAccessViolation};
    }
    const Addr target = e.invalid_seen ? static_cast<Addr>(e.invalid_address) : eip;
    // The first touch of the stack's guard page is a stack overflow; the
    // page is then the stack's last, for the handlers to run on.
    if (guard_armed_ && target - kStackGuardPage < kPage && kind != 8) {
        guard_armed_ = false;
        protect(kStackGuardPage, kPage, prot::kReadWrite);
        return {eip,
                "a stack overflow " + std::string(access) + " " + hex(target, 8),
                status::kStackOverflow,
                {kind, target}};
    }
    return {eip,
            std::string("an access violation ") + access + " " + hex(target, 8),
            status::kAccessViolation,
            {kind, target}};
}

}  // namespace q7host
