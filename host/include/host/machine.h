// The emulated i386 that module code runs on: address space and page protection, host memory and
// stubs inside it, the checked call with its instruction budget, and the instruction counter.
// It knows nothing of gauges, PE files or panel services.
#pragma once

#include "panel/problem.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// What runs for every block of module code the emulator executes, a few
// lines of plain arithmetic on the host's own tables: a fuzzer steering by
// coverage learns nothing there, and tracing or sanitizing it would make a
// module that loops to its budget cost many times as much.
#if defined(__clang__)
#define Q7_NOT_TRACED __attribute__((no_sanitize("coverage", "address", "undefined")))
#else
#define Q7_NOT_TRACED
#endif

namespace q7host {

namespace prot {
inline constexpr unsigned kNone = 0, kRead = 1, kWrite = 2, kExec = 4;
inline constexpr unsigned kReadWrite = kRead | kWrite, kReadExec = kRead | kExec;
}  // namespace prot

// The emulator itself failed (it could not be opened, refused a mapping or a
// hook): nothing a module did, so it is not a Problem.
struct EmulatorError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How a routine hands back its result: in eax, or on the x87 stack.
enum class Returns { kInt, kDouble };

// What one call into module code did at the machine level.
struct CallOutcome {
    std::uint32_t eax = 0;
    double st0 = 0.0;
    std::int32_t stack_delta = 0;  // 0 when the routine removed exactly its arguments
    bool registers_preserved = true;
    bool completed = true;  // false when the routine trapped, crashed or did not return
};

class Machine;
namespace machine_detail {
struct Fault;
}

// A call from module code into a host stub, as the stub's handler sees it.
class StubCall {
public:
    StubCall(Machine& m, Addr esp) : machine_(m), esp_(esp) {}
    // The i-th 32-bit word after the return address.
    std::uint32_t arg(unsigned index) const;
    double arg_double(unsigned first_word) const;
    void return_int(std::uint32_t value);
    void return_double(double value);  // only for a stub made with Returns::kDouble
    // Records the problem against the routine being run and ends the call.
    void fail(ProblemKind kind, std::string detail);
    // Ends the call as the access violation a Windows function meets when it
    // reads or writes where the module pointed it and may not go: a crash in
    // the module's call, at the host function.
    void access_violation(Addr address, bool write);
    Machine& machine() { return machine_; }

private:
    Machine& machine_;
    Addr esp_;
};

using StubHandler = std::function<void(StubCall&)>;

class Machine {
public:
    Machine();  // throws EmulatorError
    ~Machine();
    // True once the emulator has stopped at an instruction it cannot run:
    // every later call fails and every memory access throws EmulatorError.
    bool stopped() const;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The address space. Mapping and protection work on whole 4 KiB pages and
    // give what x86 pages give: a page that may be written or run may be read,
    // and only a page with no access is unreadable. Unmapping a page, or the
    // host writing one that may run, drops the code translated from it.
    // Every mapping is host memory the emulator maps directly, so the host
    // reads and writes it without going through the emulator.
    static constexpr std::uint32_t kPage = 0x1000;
    // `n` bytes rounded up to whole pages.
    static constexpr std::uint32_t page_up(std::uint64_t n) {
        return static_cast<std::uint32_t>((n + kPage - 1) & ~std::uint64_t{kPage - 1});
    }
    void map(Addr at, std::uint32_t size, unsigned protection);  // throws EmulatorError
    // Maps `bytes` (whole pages) at `at` in one piece, page i with
    // `page_protection[i]`, as a loader maps an image.
    void map_image(Addr at, const std::vector<std::uint8_t>& bytes, const std::vector<std::uint8_t>& page_protection);
    // Unmaps an image mapped with map_image. The machine keeps its pages
    // aside, out of everyone's reach, for an image of the same layout loaded
    // at the same address next, which then costs what differs from this one:
    // only the code of the pages whose bytes change is translated afresh.
    void unmap_image(Addr at);
    void protect(Addr at, std::uint32_t size, unsigned protection);
    void unmap(Addr at, std::uint32_t size);
    // Whether [at, at+size) lies in the host's own areas (stubs, code, data,
    // stack, the thread's system pages, the shared user-data page).
    static bool in_host_area(Addr at, std::uint64_t size);
    // Whether every byte of [a, a+n) is mapped writable and not executable.
    bool writable_data(Addr a, std::size_t n) const;
    // Whether module code may access every byte of [a, a+n) as `protection` asks.
    bool accessible(Addr a, std::size_t n, unsigned protection) const;

    // What Windows gives the thread module code runs on: its environment block
    // (at FS:0), its process block and the stack its block describes.
    struct Thread {
        Addr environment_block, process_block, stack_base, stack_limit, shared_user_data;
    };
    static Thread thread();

    // The host's view of memory: it may read and write any mapped page
    // whatever its protection; an unmapped byte throws MemoryFault.
    void read_bytes(Addr a, void* out, std::size_t n) const;
    std::vector<std::uint8_t> read_bytes(Addr a, std::size_t n) const;
    void write_bytes(Addr a, const void* data, std::size_t n);
    template <typename T = std::uint32_t>
    T read(Addr a) const {
        T v{};
        read_bytes(a, &v, sizeof v);
        return v;
    }
    template <typename T>
    void write(Addr a, const T& v) {
        write_bytes(a, &v, sizeof v);
    }
    // The same where the module may have pointed anywhere: nothing when the
    // memory is not mapped, or when the module's code has stopped the emulator.
    template <typename T = std::uint32_t>
    std::optional<T> try_read(Addr a) const {
        try {
            return read<T>(a);
        } catch (const MemoryFault&) {
            return std::nullopt;
        } catch (const EmulatorError&) {
            if (!stopped()) throw;
            return std::nullopt;
        }
    }
    // Up to `max` bytes, or to the first NUL.
    std::string read_cstring(Addr a, std::size_t max = 256) const;
    // Whether the host can read every byte of [a, a+n): all of it mapped.
    bool readable(Addr a, std::size_t n) const { return accessible(a, n, prot::kNone); }

    // Host memory in the emulated address space, handed out in order. Data
    // that module code may read and write; constant data it may only read;
    // code it may only run. A mark taken now and released later gives back
    // everything allocated in between, stubs included.
    Addr allocate(std::size_t n, std::uint8_t fill = 0);
    Addr allocate_constant(std::size_t n);
    Addr place_code(const std::vector<std::uint8_t>& code);
    struct Mark {
        Addr heap, constants, code, stubs;
    };
    Mark mark() const;
    void release(const Mark& m);

    // A host function that module code can call: a few bytes of code that
    // trap into `handler` and then return, removing `pop_bytes` of arguments.
    Addr add_stub(StubHandler handler, unsigned pop_bytes, Returns returns);

    // The checked call: pushes the words (first at the lowest address) and a
    // return address, marks the registers the routine must preserve, runs it
    // within the instruction budget and reports what broke.
    // About 6,000 times what one callback of the gauge executes, and a
    // fraction of a second on the emulator even in a loop of service calls.
    static constexpr std::uint64_t kInstructionBudget = 2'000'000;
    // A smaller budget for a caller that only needs the host to survive a
    // module, not its verdict on slow code (the fuzz target); a rewind puts
    // the default back.
    void set_instruction_budget(std::uint64_t n) { budget_ = n; }
    std::uint64_t instruction_budget() const { return budget_; }
    CallOutcome call(const char* name, Addr routine, const std::vector<std::uint32_t>& words, Returns returns);
    const char* current_routine() const { return current_; }

    // Keeps the machine's state as it is now (registers, host memory, what
    // is allocated, stubs, problems) and puts it back later, so that one
    // machine serves input after input as if each had a machine of its own.
    // Mappings made after the checkpoint must be gone before the rewind.
    void checkpoint();
    void rewind();

    // Problems seen at the boundary, in order.
    void report(Problem p) { problems_.push_back(std::move(p)); }
    const std::vector<Problem>& problems() const { return problems_; }
    void clear_problems() { problems_.clear(); }

    // Counts the instructions executed in [begin, end) while counting is on:
    // the instructions of every translated block that starts there and runs.
    void set_counted_range(Addr begin, Addr end);
    void count_instructions(bool on);
    bool counting_instructions() const { return counting_; }
    std::uint64_t instructions() const { return instructions_; }
    void reset_instructions() { instructions_ = 0; }

    struct Engine;  // the emulator behind this class; only the machine's own sources see it

private:
    friend class StubCall;
    friend struct Engine;
    void stop_call(Problem p);
    void fault(const machine_detail::Fault& f);
    machine_detail::Fault memory_fault(int emulator_error, Addr eip) const;
    void forget_translations(Addr begin, std::uint64_t end);
    void forget_code_in(Addr a, std::size_t n);
    void enter_user_mode();

    // A mapping: host memory the emulator maps directly, with each page's
    // protection and whether the emulator may hold code translated from it.
    struct Area {
        Addr base = 0;
        std::uint32_t size = 0;
        std::uint8_t* bytes = nullptr;  // page-aligned, freed with the area
        std::vector<std::uint8_t> protection;
        std::vector<std::uint8_t> ran;
        Area(Addr at, std::uint32_t n);
        ~Area();
        Area(const Area&) = delete;
        Area& operator=(const Area&) = delete;
        bool parked = false;  // an unmapped image kept aside: reached by nothing
        bool holds(Addr a) const { return !parked && a - base < size; }
        // Makes the whole pages of [from, to) zero again, giving their memory back.
        void zero(Addr from, Addr to);
    };
    Area* area_at(Addr a) const;
    Area& add_area(Addr at, std::uint32_t size, const std::vector<std::uint8_t>& page_protection);
    void remove_area(std::vector<std::unique_ptr<Area>>::iterator it);
    void drop_parked_areas();
    // Copies between the host and guest memory, area by area; false at the
    // first unmapped byte (its address in `stop`).
    bool copy_out(Addr a, void* out, std::size_t n, Addr& stop) const;
    bool copy_in(Addr a, const void* data, std::size_t n, Addr& stop);
    void note_code(Addr at, std::uint32_t size);

    std::unique_ptr<Engine> engine_;
    std::vector<std::unique_ptr<Area>> areas_;
    mutable Area* last_area_ = nullptr;
    struct Saved;
    std::unique_ptr<Saved> saved_;  // what checkpoint() kept
    std::vector<Problem> problems_;
    std::vector<StubHandler> stubs_;  // index = (address - first stub) / stub size
    Mark next_;
    const char* current_ = "";
    bool call_failed_ = false;
    Addr counted_begin_ = 0, counted_end_ = 0;
    bool counting_ = false;
    std::uint64_t budget_ = kInstructionBudget;
    std::uint64_t instructions_ = 0;
};

}  // namespace q7host
