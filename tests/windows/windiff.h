// The Windows lane's differential: the reference host's viewer and the
// Windows viewer (quorlan7-view.exe, under wine) on the same cases, each run
// judged by what it did: showed the gauge (its --json document and its
// picture), refused the module file, or found the module misbehaving in a
// routine; and the two verdicts compared.
#pragma once

#include "host/image.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace q7windiff {

// One case: the viewer options both sides get. The module file and the
// picture are named apart, since each side spells paths its own way.
struct Case {
    std::string label;
    std::vector<std::string> options;  // without --module, --png and --json
    std::string module;                // a module file; empty: the viewer's own default
    int scale = 1;                     // the picture's --scale; 0: no picture
};

// What runs the 32-bit code under wine: the kernel itself, or QEMU's
// user-mode emulator, which does not raise every hardware fault as Windows
// does.
enum class Lane { Kernel, Qemu };

enum class Outcome {
    Shows,       // status 0 and a document
    Refused,     // status 2
    Misbehaves,  // status 1
    Died,        // the Windows program ended or stopped answering at this case
    Other,       // anything else: another status, a signal, output that is no verdict
};

struct Verdict {
    Outcome outcome = Outcome::Other;
    int status = -1;
    nlohmann::json document;  // Shows: the --json document without its "png" (each side names its own file)
    std::string message;      // the error line, or what ended the run
    std::string routine;      // Misbehaves: the routine the message names, or empty
    std::string fault;        // a Windows exception code the message names ("0xC0000005"), or empty
    std::string picture;      // Shows: the picture file the run was asked to write (set by the caller)
};

// The verdict of a run from its exit status and output (`module_path` is
// the case's module as that side spelt it; it is taken out of the message
// before a routine is looked for, so that a file's name never reads as one).
Verdict reference_verdict(int status, const std::string& out, const std::string& err, const std::string& module_path);
Verdict windows_verdict(const nlohmann::json& line, const std::string& module_path);
// The routine and fault a message names.
std::string routine_in(const std::string& message);
std::string fault_in(const std::string& message);

// A difference between the two verdicts on a case. An artefact is a known
// difference of the lane (QEMU's faults, wine's own code) rather than of the
// hosts; the README lists each.
struct Finding {
    std::string kind;  // status, document, warnings, picture, routine, fault, died, answer, reference
    std::string detail;
    bool artefact = false;
};

std::optional<Finding> compare(const Verdict& reference, const Verdict& windows, Lane lane);

// The service calls' arguments that are addresses in the module differ by
// where each host loaded it: Windows moves a DYNAMIC_BASE image as it likes,
// the reference host keeps its preferred base where it is free. When every
// argument that differs does so by one distance, a multiple of 64 KiB (the
// granularity an image is placed at), the Windows document's are put back
// to the reference's.
void unmove(const nlohmann::json& reference, nlohmann::json& windows);

// Pixels of two pictures: empty when equal, else how they differ.
std::string picture_difference(const std::string& reference_png, const std::string& windows_png);

// Paths as the Windows program sees them: wine's drive Z: is the root folder.
std::string windows_path(const std::string& unix_path);
std::string unix_path(const std::string& windows_path);

std::string describe(const Verdict& v);

}  // namespace q7windiff
