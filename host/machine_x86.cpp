// The instructions the machine looks at itself: the few every current
// Windows machine has that the emulator lacks (completed here), and how
// Windows names a processor exception (its code and the words for it).
#include "machine_engine.h"

#include <capstone/capstone.h>

#include <algorithm>

#include <array>
#include <bit>

namespace q7host {

using namespace machine_detail;

namespace {

// An instruction's bytes as far as they can be read, with its prefixes taken off.
struct Instruction {
    Addr at = 0;
    std::array<int, 16> bytes{};  // -1 where unreadable
    unsigned prefixes = 0;
    bool operand16 = false, address16 = false, lock = false, rep = false, repne = false;
    int segment = -1;  // UC_X86_REG_xS of an override, or -1

    int byte(unsigned i) const { return i < bytes.size() ? bytes[i] : -1; }
    int opcode(unsigned i) const { return byte(prefixes + i); }
};

Instruction fetch(const Machine& m, Addr at) {
    Instruction in;
    in.at = at;
    for (unsigned i = 0; i < in.bytes.size(); ++i) {
        const auto b = m.try_read<std::uint8_t>(at + i);
        in.bytes[i] = b ? *b : -1;
    }
    for (; in.prefixes < in.bytes.size(); ++in.prefixes) {
        switch (in.bytes[in.prefixes]) {
            case 0x66: in.operand16 = true; continue;
            case 0x67: in.address16 = true; continue;
            case 0xF0: in.lock = true; continue;
            case 0xF2: in.repne = true; continue;
            case 0xF3: in.rep = true; continue;
            case 0x26: in.segment = UC_X86_REG_ES; continue;
            case 0x2E: in.segment = UC_X86_REG_CS; continue;
            case 0x36: in.segment = UC_X86_REG_SS; continue;
            case 0x3E: in.segment = UC_X86_REG_DS; continue;
            case 0x64: in.segment = UC_X86_REG_FS; continue;
            case 0x65: in.segment = UC_X86_REG_GS; continue;
        }
        break;
    }
    return in;
}

std::uint32_t reg(uc_engine* uc, int r) {
    std::uint32_t v = 0;
    uc_reg_read(uc, r, &v);
    return v;
}

constexpr int kRegisters32[] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                                UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
constexpr int kRegisters8[] = {UC_X86_REG_AL, UC_X86_REG_CL, UC_X86_REG_DL, UC_X86_REG_BL,
                               UC_X86_REG_AH, UC_X86_REG_CH, UC_X86_REG_DH, UC_X86_REG_BH};

// The ModRM operand at byte `at` of the instruction: a register number or a
// memory address (32-bit addressing only), and where the instruction goes on.
struct Operand {
    bool valid = false, memory = false;
    unsigned reg = 0;  // the ModRM reg field
    unsigned rm = 0;   // the register operand when !memory
    Addr address = 0;
    unsigned end = 0;  // index of the byte after the operand
};

Operand modrm(uc_engine* uc, const Instruction& in, unsigned at) {
    Operand op;
    const int m = in.byte(at);
    if (m < 0 || in.address16) return op;
    const unsigned mod = static_cast<unsigned>(m) >> 6, rm = static_cast<unsigned>(m) & 7;
    op.reg = (static_cast<unsigned>(m) >> 3) & 7;
    unsigned next = at + 1;
    if (mod == 3) {
        op.rm = rm;
        op.end = next;
        op.valid = true;
        return op;
    }
    auto take = [&](unsigned n) -> std::optional<std::uint32_t> {
        std::uint32_t v = 0;
        for (unsigned k = 0; k < n; ++k) {
            const int b = in.byte(next + k);
            if (b < 0) return std::nullopt;
            v |= static_cast<std::uint32_t>(b) << (8 * k);
        }
        next += n;
        return v;
    };
    std::uint32_t address = 0;
    bool stack_based = false;
    if (rm == 4) {
        const int sib = in.byte(next++);
        if (sib < 0) return op;
        const unsigned scale = static_cast<unsigned>(sib) >> 6, index = (static_cast<unsigned>(sib) >> 3) & 7,
                       base = static_cast<unsigned>(sib) & 7;
        if (index != 4) address += reg(uc, kRegisters32[index]) << scale;
        if (base == 5 && mod == 0) {
            const auto d = take(4);
            if (!d) return op;
            address += *d;
        } else {
            address += reg(uc, kRegisters32[base]);
            stack_based = base == 4 || base == 5;
        }
    } else if (rm == 5 && mod == 0) {
        const auto d = take(4);
        if (!d) return op;
        address = *d;
    } else {
        address = reg(uc, kRegisters32[rm]);
        stack_based = rm == 5;
    }
    if (mod == 1) {
        const auto d = take(1);
        if (!d) return op;
        address += static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(*d)));
    } else if (mod == 2) {
        const auto d = take(4);
        if (!d) return op;
        address += *d;
    }
    // FS (and GS, should the module load it) selects the thread block; every
    // other segment is flat.
    const int segment = in.segment >= 0 ? in.segment : stack_based ? UC_X86_REG_SS : UC_X86_REG_DS;
    if ((segment == UC_X86_REG_FS || segment == UC_X86_REG_GS) && (reg(uc, segment) & 0xFFFF) == kThreadSegment) {
        address += kThreadBlock;
    }
    op.memory = true;
    op.address = address;
    op.end = next;
    op.valid = true;
    return op;
}

// The instructions Windows reports as privileged when user code runs them.
bool privileged(const Instruction& in) {
    const int op = in.opcode(0);
    if (op == 0xFA || op == 0xFB || op == 0xF4 || (op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF) ||
        (op >= 0x6C && op <= 0x6F)) {
        return true;  // cli, sti, hlt, in, out, ins, outs
    }
    if (op != 0x0F) return false;
    const int op2 = in.opcode(1), m = in.opcode(2);
    const unsigned reg = m < 0 ? 8 : (static_cast<unsigned>(m) >> 3) & 7;
    switch (op2) {
        case 0x06:
        case 0x08:
        case 0x09:
        case 0x30:
        case 0x32:
        case 0x35:  // clts invd wbinvd wrmsr rdmsr sysexit
        case 0x20:
        case 0x21:
        case 0x22:
        case 0x23: return true;                  // mov to or from CR and DR
        case 0x00: return reg == 2 || reg == 3;  // lldt, ltr
        case 0x01: return m == 0xD1 || (m >= 0 && m < 0xC0 && (reg == 2 || reg == 3 || reg == 7)) || reg == 6;
        default: return false;  // (xsetbv; lgdt, lidt, invlpg; lmsw)
    }
}

std::uint32_t random_word(Machine::Engine& e) {
    std::uint64_t z = (e.random_state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return static_cast<std::uint32_t>(z ^ (z >> 31));
}

constexpr std::uint32_t kArithmeticFlags = 0x8D5;  // CF PF AF ZF SF OF

void set_flags(Machine::Engine& e, std::uint32_t set) {
    e.set_reg(UC_X86_REG_EFLAGS, (e.reg(UC_X86_REG_EFLAGS) & ~kArithmeticFlags) | set);
}

std::uint32_t read_register(uc_engine* uc, unsigned r, bool word) {
    const std::uint32_t v = reg(uc, kRegisters32[r]);
    return word ? v & 0xFFFF : v;
}

void write_register(Machine::Engine& e, unsigned r, std::uint32_t v, bool word) {
    const int id = kRegisters32[r];
    e.set_reg(id, word ? (e.reg(id) & 0xFFFF0000) | (v & 0xFFFF) : v);
}

std::uint32_t swap_bytes(std::uint32_t v, bool word) {
    return word ? static_cast<std::uint32_t>(((v & 0xFF) << 8) | ((v >> 8) & 0xFF)) : __builtin_bswap32(v);
}

}  // namespace

Fault machine_detail::classify_exception(Machine& m, uc_engine* uc, std::uint32_t vector, Addr eip) {
    switch (vector) {
        case 0: {
            // div or idiv: Windows looks at the divisor to tell a division by
            // zero from a quotient too large for its register.
            const Instruction in = fetch(m, eip);
            const int op = in.opcode(0);
            bool zero = true;
            if (op == 0xF6 || op == 0xF7) {
                const Operand o = modrm(uc, in, in.prefixes + 1);
                const unsigned size = op == 0xF6 ? 1 : in.operand16 ? 2 : 4;
                if (o.valid && o.memory) {
                    std::uint32_t v = 0;
                    if (m.accessible(o.address, size, prot::kRead)) m.read_bytes(o.address, &v, size);
                    zero = v == 0;
                } else if (o.valid) {
                    zero = (size == 1 ? reg(uc, kRegisters8[o.rm]) & 0xFF : read_register(uc, o.rm, size == 2)) == 0;
                }
            }
            return zero ? Fault{eip, exception_words(status::kIntegerDivideByZero), status::kIntegerDivideByZero}
                        : Fault{eip, exception_words(status::kIntegerOverflow), status::kIntegerOverflow};
        }
        case 1: return {eip, exception_words(status::kSingleStep), status::kSingleStep};
        case 5: return {eip, exception_words(status::kArrayBoundsExceeded), status::kArrayBoundsExceeded};
        case 13: {
            const Instruction in = fetch(m, eip);
            if (in.prefixes >= 15)
                return {eip, exception_words(status::kIllegalInstruction), status::kIllegalInstruction};
            if (privileged(in))
                return {eip, exception_words(status::kPrivilegedInstruction), status::kPrivilegedInstruction};
            return {eip, exception_words(status::kAccessViolation), status::kAccessViolation};
        }
        case 16: {
            if (auto f = pending_x87_exception(uc)) {
                f->at = eip;
                return *f;
            }
            return {eip, exception_words(status::kFloatInvalidOperation), status::kFloatInvalidOperation};
        }
        case 19: return {eip, exception_words(status::kFloatMultipleTraps), status::kFloatMultipleTraps};
        default: return {eip, exception_words(status::kAccessViolation), status::kAccessViolation};
    }
}

Fault machine_detail::classify_invalid(Machine& m, uc_engine*, Addr eip) {
    const Instruction in = fetch(m, eip);
    // xsetbv is privileged; the emulator, which has no xsave, rejects it as unknown.
    if (in.opcode(0) == 0x0F && in.opcode(1) == 0x01 && in.opcode(2) == 0xD1) {
        return {eip, exception_words(status::kPrivilegedInstruction), status::kPrivilegedInstruction};
    }
    return {eip, exception_words(status::kIllegalInstruction), status::kIllegalInstruction};
}

std::optional<Fault> machine_detail::pending_x87_exception(uc_engine* uc) {
    // An exception flag set while its mask is clear is pending, whichever
    // came first: a processor also faults when fldcw unmasks a flag already
    // set (the emulator leaves the summary bit alone then).
    std::uint16_t sw = 0, cw = 0;
    uc_reg_read(uc, UC_X86_REG_FPSW, &sw);
    if (!(sw & 0x3F)) return std::nullopt;
    uc_reg_read(uc, UC_X86_REG_FPCW, &cw);
    const unsigned raised = sw & ~cw & 0x3F;
    if (!raised) return std::nullopt;
    std::uint64_t fip = 0;
    uc_reg_read(uc, UC_X86_REG_FIP, &fip);
    const Addr at = static_cast<Addr>(fip);
    if (raised & 0x01) {
        return sw & 0x40 ? Fault{at, exception_words(status::kFloatStackCheck), status::kFloatStackCheck}
                         : Fault{at, exception_words(status::kFloatInvalidOperation), status::kFloatInvalidOperation};
    }
    if (raised & 0x02) return Fault{at, exception_words(status::kFloatDenormalOperand), status::kFloatDenormalOperand};
    if (raised & 0x04) return Fault{at, exception_words(status::kFloatDivideByZero), status::kFloatDivideByZero};
    if (raised & 0x08) return Fault{at, exception_words(status::kFloatOverflow), status::kFloatOverflow};
    if (raised & 0x10) return Fault{at, exception_words(status::kFloatUnderflow), status::kFloatUnderflow};
    return Fault{at, exception_words(status::kFloatInexactResult), status::kFloatInexactResult};
}

bool machine_detail::complete_instruction(Machine& m, Machine::Engine& e, Addr eip, std::optional<Fault>& fault) {
    const Instruction in = fetch(m, eip);
    if (in.lock || in.opcode(0) != 0x0F) return false;
    const bool word = in.operand16;
    const unsigned size = word ? 2 : 4;
    auto load = [&](const Operand& o, std::uint32_t& v) {
        if (!o.memory) {
            v = read_register(e.uc, o.rm, word);
            return true;
        }
        if (!m.accessible(o.address, size, prot::kRead)) {
            fault = Fault{eip, "an access violation reading " + hex(o.address, 8), status::kAccessViolation};
            return false;
        }
        v = 0;
        m.read_bytes(o.address, &v, size);
        return true;
    };
    const int op1 = in.opcode(1), op2 = in.opcode(2);
    unsigned end = 0;
    if (op1 == 0xB8 && in.rep && !in.repne) {  // popcnt r, r/m
        const Operand o = modrm(e.uc, in, in.prefixes + 2);
        std::uint32_t v = 0;
        if (!o.valid) return false;
        if (!load(o, v)) return true;
        const auto count = static_cast<std::uint32_t>(std::popcount(v));
        write_register(e, o.reg, count, word);
        set_flags(e, v == 0 ? 0x40 : 0);
        end = o.end;
    } else if (op1 == 0x38 && (op2 == 0xF0 || op2 == 0xF1) && !in.rep && !in.repne) {  // movbe
        const Operand o = modrm(e.uc, in, in.prefixes + 3);
        if (!o.valid || !o.memory) return false;
        if (op2 == 0xF0) {
            std::uint32_t v = 0;
            if (!load(o, v)) return true;
            write_register(e, o.reg, swap_bytes(v, word), word);
        } else {
            if (!m.accessible(o.address, size, prot::kWrite)) {
                fault = Fault{eip, "an access violation writing " + hex(o.address, 8), status::kAccessViolation};
                return true;
            }
            const std::uint32_t v = swap_bytes(read_register(e.uc, o.reg, word), word);
            m.write_bytes(o.address, &v, size);
        }
        end = o.end;
    } else if (op1 == 0xC7 && !in.rep && !in.repne) {  // rdrand r
        const Operand o = modrm(e.uc, in, in.prefixes + 2);
        if (!o.valid || o.memory || o.reg != 6) return false;
        write_register(e, o.rm, random_word(e), word);
        set_flags(e, 0x01);
        end = o.end;
    } else if (op1 == 0x01 && op2 == 0xD0 && !in.operand16 && !in.rep && !in.repne) {  // xgetbv
        if (e.reg(UC_X86_REG_ECX) != 0) {
            fault = Fault{eip, exception_words(status::kAccessViolation), status::kAccessViolation};
            return true;
        }
        e.set_reg(UC_X86_REG_EAX, 3);  // XCR0: the x87 and SSE state
        e.set_reg(UC_X86_REG_EDX, 0);
        end = in.prefixes + 3;
    } else {
        return false;
    }
    e.set_reg(UC_X86_REG_EIP, eip + end);
    return true;
}

}  // namespace q7host

namespace q7host {

// After a fault on memory the emulator names the start of the faulting
// instruction's block, with the registers as they were at the faulting
// instruction itself. That instruction is the first of the block whose
// memory operand, worked out from those registers, covers the address.
Addr machine_detail::faulting_instruction(const Machine& m, uc_engine* uc, Addr block, Addr address) {
    csh cs = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &cs) != CS_ERR_OK) return block;
    cs_option(cs, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn* insn = cs_malloc(cs);
    Addr found = block;
    std::uint8_t bytes[256] = {};
    std::size_t n = 0;
    while (n < sizeof bytes && m.accessible(block + static_cast<Addr>(n), 1, prot::kRead)) ++n;
    if (n) m.read_bytes(block, bytes, n);
    const std::uint8_t* code = bytes;
    std::size_t left = n;
    std::uint64_t at = block;
    auto value = [uc](x86_reg r) -> std::uint32_t {
        static const std::pair<x86_reg, int> kRegs[] = {{X86_REG_EAX, UC_X86_REG_EAX}, {X86_REG_EBX, UC_X86_REG_EBX},
                                                        {X86_REG_ECX, UC_X86_REG_ECX}, {X86_REG_EDX, UC_X86_REG_EDX},
                                                        {X86_REG_ESI, UC_X86_REG_ESI}, {X86_REG_EDI, UC_X86_REG_EDI},
                                                        {X86_REG_EBP, UC_X86_REG_EBP}, {X86_REG_ESP, UC_X86_REG_ESP}};
        for (const auto& [c, u] : kRegs) {
            if (c == r) {
                std::uint32_t v = 0;
                uc_reg_read(uc, u, &v);
                return v;
            }
        }
        return 0;
    };
    const std::uint32_t esp = value(X86_REG_ESP), esi = value(X86_REG_ESI), edi = value(X86_REG_EDI);
    for (int k = 0; k < 64 && cs_disasm_iter(cs, &code, &left, &at, insn); ++k) {
        const Addr here = static_cast<Addr>(insn->address);
        bool covers = false;
        const cs_x86& x = insn->detail->x86;
        for (unsigned i = 0; i < x.op_count && !covers; ++i) {
            if (x.operands[i].type != X86_OP_MEM) continue;
            const x86_op_mem& mem = x.operands[i].mem;
            std::uint32_t ea = static_cast<std::uint32_t>(mem.disp) + value(mem.base) +
                               value(mem.index) * static_cast<std::uint32_t>(mem.scale);
            if (mem.segment == X86_REG_FS) ea += kThreadBlock;
            covers = address - ea < std::max<std::uint32_t>(x.operands[i].size, 1);
        }
        // The stack and string instructions' own memory.
        if (!covers) {
            switch (insn->id) {
                case X86_INS_PUSH:
                case X86_INS_CALL:
                case X86_INS_PUSHAL:
                case X86_INS_PUSHFD: covers = esp - address <= 32 && address < esp; break;
                case X86_INS_POP:
                case X86_INS_RET:
                case X86_INS_POPAL:
                case X86_INS_POPFD: covers = address - esp < 32; break;
                case X86_INS_MOVSB:
                case X86_INS_MOVSW:
                case X86_INS_MOVSD:
                case X86_INS_CMPSB:
                case X86_INS_CMPSD:
                case X86_INS_LODSB:
                case X86_INS_LODSD:
                case X86_INS_STOSB:
                case X86_INS_STOSW:
                case X86_INS_STOSD:
                case X86_INS_SCASB:
                case X86_INS_SCASD: covers = address - esi < 4 || address - edi < 4; break;
                default: break;
            }
        }
        if (covers) {
            found = here;
            break;
        }
    }
    cs_free(insn, 1);
    cs_close(&cs);
    return found;
}

}  // namespace q7host
