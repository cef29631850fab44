// The Windows process a module runs in, as far as the module can reach it: the system DLLs it
// imports from (KERNEL32, USER32, msvcrt, ADVAPI32, each function the real one's behaviour), import
// binding with Windows's verdicts, the dispatch of exceptions to the handlers the module
// registered, and the process's state (heap, handles, TLS slots, exit lists, what it printed),
// which takes part in the machine's checkpoint and rewind. It knows the machine, nothing of gauges.
#pragma once

#include "host/machine.h"
#include "panel/calling.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace q7host {

namespace win {
struct ProcessState;
}

// What an import binds to: a host function or the DLL's data, or the
// loader's refusal with Windows's error code (126: the DLL is not found; 127:
// the DLL does not export the name) and the reason in words.
struct ImportBinding {
    Addr address = 0;
    std::uint32_t error = 0;
    std::string why;
};

// The Windows error codes the loader gives.
inline constexpr std::uint32_t kErrorModuleNotFound = 126, kErrorProcNotFound = 127;

class WindowsProcess : public Machine::Checkpointed {
public:
    // Maps the process's heap and the C runtime's data into the machine and
    // becomes its exception dispatcher.
    explicit WindowsProcess(Machine& machine);
    ~WindowsProcess();
    WindowsProcess(const WindowsProcess&) = delete;
    WindowsProcess& operator=(const WindowsProcess&) = delete;

    // Binds an import as Windows's loader does: a DLL Windows has and a name
    // it exports bind (a function this host does not model binds to a stub
    // that says so when called); any other is refused.
    ImportBinding bind(std::string_view dll, std::string_view function, std::uint32_t ordinal = 0);
    // Whether Windows has a DLL of this name (".dll" optional, any case).
    static bool system_dll(std::string_view dll);

    // The module loaded into the process, for GetModuleHandle, GetProcAddress
    // and LoadLibrary: its base, its file name and its exports.
    struct Module {
        Addr base = 0;
        std::string name;
        std::function<Addr(std::string_view name, std::uint32_t ordinal)> export_address;
    };
    void set_module(Module m);
    // The module is gone: what it registered (vectored handlers, the exit
    // list) goes with it, and the host functions bound for it are released
    // by the machine.
    void forget_module();
    // Runs the C runtime's process exit list (atexit, _onexit), last
    // registered first, as the process's end runs it after the module's detach.
    void run_exit_list();

    // What the module wrote to its standard output and error, in order (at
    // most kOutputLimit bytes), and whether more was cut.
    static constexpr std::size_t kOutputLimit = calling::kKeptOutput;
    const std::string& output() const;
    bool output_truncated() const;

    win::ProcessState& state() { return *state_; }
    // For the host's own KERNEL32: the module's exports, the handles of the
    // system DLLs (0 for a DLL Windows does not have) and back.
    Addr module_export(std::string_view name, std::uint32_t ordinal) const;
    Addr dll_handle(std::string_view dll);
    std::string dll_of_handle(Addr handle) const;

    void keep() override;
    void restore() override;

private:
    Addr stub_for(const std::string& dll, const std::string& function);
    Machine& machine_;
    std::unique_ptr<win::ProcessState> state_, kept_;
    std::map<std::string, Addr> stubs_;  // "dll!function" -> its stub, while the module is loaded
    Module module_;
    Machine::Mark bound_mark_{};
};

}  // namespace q7host
