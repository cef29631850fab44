// The processor and thread as a 32-bit Windows process finds them: what
// cpuid answers, the descriptor table the segment registers select from, the
// thread and process environment blocks and the shared user-data page.
#include "machine_engine.h"
#include "host/thread_block.h"

#include <array>

namespace q7host {

using namespace machine_detail;

bool machine_detail::answer_cpuid(uc_engine* uc) {
    std::uint32_t leaf = 0, a = 0, b = 0, c = 0, d = 0;
    uc_reg_read(uc, UC_X86_REG_EAX, &leaf);
    switch (leaf) {
        case 1:
            // A Haswell's signature; the features the emulator runs, with
            // popcnt, movbe and rdrand, which the host completes. No xsave
            // (nor AVX): the emulator has none.
            a = 0x000306C3;
            b = 0x00000800;
            // SSE3, SSSE3, CX16, SSE4.1, SSE4.2, MOVBE, POPCNT, AES, RDRAND.
            c = 1u << 0 | 1u << 9 | 1u << 13 | 1u << 19 | 1u << 20 | 1u << 22 | 1u << 23 | 1u << 25 | 1u << 30;
            d = 0x078BFBFF;  // FPU ... CMOV PAT PSE36 CLFSH MMX FXSR SSE SSE2
            break;
        case 0x80000001:
            c = 0x00000121;  // LAHF in 32-bit code, LZCNT, PREFETCHW
            d = 0x28100800;  // SYSCALL, NX, RDTSCP, long mode
            break;
        default: return false;
    }
    uc_reg_write(uc, UC_X86_REG_EAX, &a);
    uc_reg_write(uc, UC_X86_REG_EBX, &b);
    uc_reg_write(uc, UC_X86_REG_ECX, &c);
    uc_reg_write(uc, UC_X86_REG_EDX, &d);
    return true;
}

namespace {

// A flat 4 GiB segment descriptor (or one of `limit` bytes), 32-bit, present,
// with its accessed bit set so that loading it never writes the table.
std::uint64_t descriptor(std::uint32_t base, std::uint32_t limit, unsigned type, unsigned dpl, bool pages) {
    std::uint64_t d = limit & 0xFFFF;
    d |= std::uint64_t{base & 0xFFFFFF} << 16;
    d |= std::uint64_t{type | 0x1 | 0x10 | (dpl << 5) | 0x80} << 40;
    d |= std::uint64_t{(limit >> 16) & 0xF} << 48;
    d |= std::uint64_t{pages ? 0xCu : 0x4u} << 52;
    d |= std::uint64_t{base >> 24} << 56;
    return d;
}

}  // namespace

void machine_detail::write_system_pages(Machine& m) {
    // The descriptor table of a 32-bit thread on 64-bit Windows: user code
    // 0x23, user data 0x2B, the thread block 0x53; the ring-0 pair only takes
    // the machine to ring 3.
    std::array<std::uint64_t, 16> gdt{};
    gdt[kKernelCode / 8] = descriptor(0, 0xFFFFF, 0xA, 0, true);
    gdt[kKernelData / 8] = descriptor(0, 0xFFFFF, 0x2, 0, true);
    gdt[kUserCode / 8] = descriptor(0, 0xFFFFF, 0xA, 3, true);
    gdt[kUserData / 8] = descriptor(0, 0xFFFFF, 0x2, 3, true);
    gdt[kThreadSegment / 8] = descriptor(kThreadBlock, 0xFFF, 0x2, 3, false);
    m.write_bytes(kDescriptorTable, gdt.data(), sizeof gdt);

    // The thread environment block: its NT_TIB (the exception list ending in
    // a last frame above every call, the stack's base and limit, the version
    // every thread that is no fiber has, its own address), then the client
    // id, the process block and the stack's reserved bottom.
    const std::uint32_t tib[] = {kFinalFrame, kStackBase + kStackSize, kStackBase, 0, 0x1E00, 0, kThreadBlock};
    m.write_bytes(kThreadBlock, tib, sizeof tib);
    m.write<std::uint32_t>(kThreadBlock + teb::kUniqueProcess, 0x1F04);
    m.write<std::uint32_t>(kThreadBlock + teb::kUniqueThread, 0x1F08);
    m.write<std::uint32_t>(kThreadBlock + teb::kProcessEnvironmentBlock, kProcessBlock);
    m.write<std::uint32_t>(kThreadBlock + teb::kDeallocationStack, kStackBase);
    const std::uint32_t final_frame[] = {0xFFFFFFFF, kFinalHandler};
    m.write_bytes(kFinalFrame, final_frame, sizeof final_frame);

    // The process environment block: not being debugged, two processors,
    // Windows 10.0.19045 on the NT platform.
    m.write<std::uint32_t>(kProcessBlock + 0x64, 2);
    m.write<std::uint32_t>(kProcessBlock + 0xA4, 10);
    m.write<std::uint32_t>(kProcessBlock + 0xA8, 0);
    m.write<std::uint16_t>(kProcessBlock + 0xAC, 19045);
    m.write<std::uint32_t>(kProcessBlock + 0xB0, 2);

    // The shared user-data page (KUSER_SHARED_DATA), as the fields a module
    // reads: the tick multiplier, the machine types, the system root, the
    // product and version, the processor features IsProcessorFeaturePresent
    // reports for the emulated processor.
    const Addr u = kSharedUserData;
    m.write<std::uint32_t>(u + 0x004, 0x0FA00000);  // TickCountMultiplier
    m.write<std::uint16_t>(u + 0x02C, 0x8664);      // ImageNumberLow
    m.write<std::uint16_t>(u + 0x02E, 0x8664);      // ImageNumberHigh
    const char16_t root[] = u"C:\\Windows";
    m.write_bytes(u + 0x030, root, sizeof root);  // NtSystemRoot
    m.write<std::uint32_t>(u + 0x260, 19045);     // NtBuildNumber
    m.write<std::uint32_t>(u + 0x264, 1);         // NtProductType: a workstation
    m.write<std::uint8_t>(u + 0x268, 1);          // ProductTypeIsValid
    m.write<std::uint16_t>(u + 0x26A, 9);         // NativeProcessorArchitecture: AMD64
    m.write<std::uint32_t>(u + 0x26C, 10);        // NtMajorVersion
    m.write<std::uint32_t>(u + 0x270, 0);         // NtMinorVersion
    // PF_COMPARE_EXCHANGE_DOUBLE, MMX, XMMI, RDTSC, PAE, XMMI64, NX, SSE3,
    // COMPARE_EXCHANGE128, FASTFAIL, RDRAND, RDTSCP, SSSE3, SSE4_1, SSE4_2.
    for (const unsigned feature : {2u, 3u, 6u, 8u, 9u, 10u, 12u, 13u, 14u, 23u, 28u, 32u, 36u, 37u, 38u}) {
        m.write<std::uint8_t>(u + 0x274 + feature, 1);
    }
}

}  // namespace q7host
