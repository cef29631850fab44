// Inside the machine: the host's part of the address space, the emulator
// behind Machine and its hooks. Only machine.cpp and machine_call.cpp include
// this; nothing outside the machine sees Unicorn.
#pragma once

#include "host/machine.h"

#include <unicorn/unicorn.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

namespace q7host {

namespace machine_detail {

// The host's part of the address space. Module code may run the stubs and
// placed code but not write them, read the constants, and read and write the
// heap and the stack.
constexpr Addr kHostBase = 0x60000000;
constexpr Addr kStubArea = kHostBase;            // trampolines, then the stubs
constexpr Addr kReturnInt = kStubArea;           // hlt: where a call returns to
constexpr Addr kReturnDouble = kStubArea + 0x10; // fstp qword [kResult]; hlt
constexpr Addr kReturnDoubleEnd = kReturnDouble + 6;
// The stubs start on the next page: each call makes the emulator drop what it
// translated round its stop address, and stubs on the trampolines' page would
// be translated afresh at every call.
constexpr Addr kFirstStub = kStubArea + 0x1000;
constexpr std::uint32_t kStubSize = 16;
constexpr Addr kCodeArea = kHostBase + 0x10000;
constexpr Addr kConstantArea = kHostBase + 0x20000;
constexpr Addr kHeap = kHostBase + 0x30000;
constexpr Addr kResult = kHeap;                  // a double a routine returned
constexpr Addr kStubResult = kHeap + 8;          // a double a stub hands back
constexpr Addr kHostEnd = kHostBase + 0x100000;
constexpr Addr kStackBase = 0x6F000000;
constexpr std::uint32_t kStackSize = 0x00100000;
constexpr Addr kStackTop = kStackBase + kStackSize - 0x1000;
constexpr std::uint8_t kStubVector = 0x2E;

// The registers a routine must preserve, each loaded with a marker before a call.
struct SavedRegister {
    int reg;
    std::uint32_t marker;
};
constexpr SavedRegister kSavedRegisters[] = {{UC_X86_REG_EBX, 0x5EB00001},
                                             {UC_X86_REG_ESI, 0x5EB00002},
                                             {UC_X86_REG_EDI, 0x5EB00003},
                                             {UC_X86_REG_EBP, 0x5EB00004}};

inline std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

inline void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw EmulatorError(std::string("emulator: ") + what + ": " + uc_strerror(err));
}

inline std::uint32_t uc_prot(unsigned p) {
    return (p & prot::kRead ? UC_PROT_READ : 0) | (p & prot::kWrite ? UC_PROT_WRITE : 0) |
           (p & prot::kExec ? UC_PROT_EXEC : 0);
}

inline std::uint32_t page_up(std::uint64_t n) {
    return static_cast<std::uint32_t>((n + Machine::kPage - 1) & ~std::uint64_t{Machine::kPage - 1});
}

}  // namespace machine_detail

struct Machine::Engine {
    static void on_interrupt(uc_engine*, std::uint32_t vector, void* user);
    static bool on_invalid_memory(uc_engine*, int type, std::uint64_t address, int size, std::int64_t value,
                                  void* user);
    static void on_counted_instruction(uc_engine*, std::uint64_t address, std::uint32_t size, void* user);

    uc_engine* uc = nullptr;
    bool invalid_seen = false;
    std::uint64_t invalid_address = 0;
    uc_hook counter = 0;
    bool counter_attached = false;
    std::exception_ptr pending;  // a host exception raised inside a hook
    bool broken = false;  // the emulator aborted inside a call: never touched again

    void usable() const {
        if (broken) throw EmulatorError("emulator: stopped at an instruction it cannot run");
    }
    std::uint32_t reg(int r) const {
        std::uint32_t v = 0;
        machine_detail::check(uc_reg_read(uc, r, &v), "reading a register");
        return v;
    }
    void set_reg(int r, std::uint32_t v) { machine_detail::check(uc_reg_write(uc, r, &v), "writing a register"); }
};

}  // namespace q7host
