// A run of quorlan7-view.exe: one argument list, with the options, the
// statuses, the picture and the --json document of quorlan7-view; and
// --batch, many argument lists in one process.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace q7win {

// Where a run's results go: printed as quorlan7-view prints them, or, in a
// batch, kept for its line (the document whether or not --json was given,
// and a picture only where --png names one).
struct RunOutput {
    bool batch = false;
    bool has_document = false;
    nlohmann::json document;
};

// Runs the arguments after the program's name; returns the exit status.
int run_arguments(const std::vector<std::string>& args, RunOutput& out);

// Runs each line of `file` as an argument list (separated by spaces), each
// with its own LoadLibrary and FreeLibrary, and prints one line of compact
// JSON per line: {"args":LINE,"status":N,"document":{...}}, or "error" with
// the error line's words where the run failed. Blank lines are skipped. A
// line after which the process cannot safely load another module
// (WinGauge::why_no_more_loads: the loader taken back in the middle of its
// work, a module or a refused file left in the way) ends the batch after its
// own line. Returns 0 once every line ran, 4 (kBatchStopped) when the batch
// ended early, 2 when the file cannot be read.
int run_batch(const std::string& file);

}  // namespace q7win
