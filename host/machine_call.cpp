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

void StubCall::return_int(std::uint32_t value) { machine_.engine_->set_reg(UC_X86_REG_EAX, value); }

void StubCall::return_double(double value) { machine_.write<double>(kStubResult, value); }

void StubCall::fail(ProblemKind kind, std::string detail) {
    machine_.stop_call({kind, machine_.current_, std::move(detail)});
}

void StubCall::access_violation(Addr address, bool write) {
    const Addr stub = machine_.engine_->reg(UC_X86_REG_EIP);
    machine_.fault({stub, std::string("an access violation ") + (write ? "writing " : "reading ") + hex(address, 8),
                    status::kAccessViolation});
}

void Machine::stop_call(Problem p) {
    report(std::move(p));
    call_failed_ = true;
    uc_emu_stop(engine_->uc);
}

void Machine::fault(const Fault& f) { stop_call({ProblemKind::Crash, current_, f.detail()}); }

CallOutcome Machine::call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, Returns returns) {
    Engine& e = *engine_;
    CallOutcome out;
    if (e.broken) {
        out.completed = false;
        return out;
    }
    const Addr esp0 = kStackTop;
    Addr sp = esp0 - 4 * static_cast<Addr>(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) write<std::uint32_t>(sp + 4 * static_cast<Addr>(i), words[i]);
    sp -= 4;
    const bool dbl = returns == Returns::kDouble;
    write<std::uint32_t>(sp, kReturnTrap);
    check(uc_context_restore(e.uc, e.call_state), "restoring the registers of a call");
    e.set_reg(UC_X86_REG_ESP, sp);

    const char* outer = current_;
    current_ = name;
    call_failed_ = false;
    e.invalid_seen = false;
    e.pending = nullptr;
    e.executed = 0;
    e.over_budget = false;
    e.returned = false;
    FILE* const quiet = quiet_stream();
    FILE* const loud = stderr;
    sigjmp_buf* const outer_target = t_abort_target;
    sigjmp_buf jump;
    uc_err err = UC_ERR_OK;
    if (sigsetjmp(jump, 0) == 0) {
        t_abort_target = &jump;
        if (quiet) stderr = quiet;
        // An instruction the host completes stops the emulator; the call
        // runs on from the next one, within the same budget.
        Addr from = routine;
        do {
            e.resume = false;
            err = uc_emu_start(e.uc, from, kStopAddress, 0, 0);
            from = e.reg(UC_X86_REG_EIP);
        } while (e.resume && err == UC_ERR_OK && !call_failed_ && !e.over_budget && !e.returned);
        stderr = loud;
        t_abort_target = outer_target;
    } else {
        stderr = loud;
        t_abort_target = outer_target;
        current_ = outer;
        e.broken = true;
        report({ProblemKind::Crash, name, "an instruction the emulator cannot run (it stopped for good)"});
        out.completed = false;
        return out;
    }
    current_ = outer;
    if (e.pending) std::rethrow_exception(std::exchange(e.pending, nullptr));

    const std::uint32_t eip = e.reg(UC_X86_REG_EIP), esp = e.reg(UC_X86_REG_ESP);
    if (call_failed_) {
        out.completed = false;
        return out;
    }
    if (err == UC_ERR_OK && !e.returned) {
        out.completed = false;
        if (e.over_budget) {
            report({ProblemKind::NoReturn, name, std::to_string(budget_) + " instructions"});
        } else {
            // Only a jump to the stop address itself ends a run this way: a
            // page nothing is mapped at, which Windows would not run either.
            report({ProblemKind::Crash, name,
                    Fault{eip, "an access violation running " + hex(eip, 8), status::kAccessViolation}.detail()});
        }
        return out;
    }
    if (err != UC_ERR_OK) {
        out.completed = false;
        report({ProblemKind::Crash, name, memory_fault(err, eip).detail()});
        return out;
    }
    // Returning runs one more x87 instruction on Windows (the caller's store
    // of the result, at the latest): an exception left pending faults there.
    if (const auto pending = pending_x87_exception(e.uc)) {
        out.completed = false;
        report({ProblemKind::Crash, name, pending->detail()});
        return out;
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
    out.stack_delta = static_cast<std::int32_t>(esp - esp0);
    for (std::size_t i = 0; i < std::size(kSavedRegisters); ++i) {
        out.registers_preserved = out.registers_preserved && values[i + 1] == kSavedRegisters[i].marker;
    }
    if (dbl) out.st0 = returned_double(e.uc);
    if (out.stack_delta != 0) {
        const int pushed = static_cast<int>(words.size()) * 4;
        report({ProblemKind::StackUnbalanced, name,
                "the host pushed " + std::to_string(pushed) + " bytes of arguments and it removed " +
                    std::to_string(pushed + out.stack_delta)});
    }
    if (!out.registers_preserved) report({ProblemKind::RegistersClobbered, name, ""});
    return out;
}

// The emulator stopped at memory the module may not touch: an access
// violation, reading, writing or running the address.
Fault Machine::memory_fault(int err, Addr eip) const {
    const Engine& e = *engine_;
    const char* access = "reading";
    switch (err) {
        case UC_ERR_WRITE_UNMAPPED:
        case UC_ERR_WRITE_PROT: access = "writing"; break;
        case UC_ERR_FETCH_UNMAPPED:
        case UC_ERR_FETCH_PROT: access = "running"; break;
        case UC_ERR_READ_UNMAPPED:
        case UC_ERR_READ_PROT: break;
        default:
            return {eip, std::string("an emulator error: ") + uc_strerror(static_cast<uc_err>(err)),
                    status::kAccessViolation};
    }
    const Addr target = e.invalid_seen ? static_cast<Addr>(e.invalid_address) : eip;
    return {eip, std::string("an access violation ") + access + " " + hex(target, 8), status::kAccessViolation};
}

}  // namespace q7host
