// Running the two sides: a program under a time limit with its output
// collected, the Windows viewer's batches (one wine process for many cases,
// started again after the case it did not answer), and the stand-in that
// answers batches through the reference viewer, with planted differences,
// for checking the differential itself.
#pragma once

#include "windiff.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace q7windiff {

struct Run {
    int status = -1;  // the exit status; -1 when a signal or the time limit ended it
    int signal = 0;
    bool timed_out = false;
    std::string out;            // standard output not handed to on_line
    std::string err;            // standard error, its first 64 KiB
    std::string ended() const;  // "status 3", "signal 9", "no answer within the time limit (killed)"
};

// Runs `argv` with no input, in a process group of its own, standard error
// into `err_file`. Each line of standard output goes to `on_line` as it comes
// (or, without one, into Run::out). The group is killed when the first line
// takes longer than `first` or a later one longer than `next`. The run ends
// when the program has exited: whatever it started and left running (a wine
// server) may keep the output open, and is not waited for.
Run run_child(const std::vector<std::string>& argv, const std::string& err_file, std::chrono::milliseconds first,
              std::chrono::milliseconds next, const std::function<void(const std::string&)>& on_line = {});

struct BatchSide {
    std::vector<std::string> command;  // what runs the program, up to the program's own arguments
    std::string work;                  // for the batch files and the program's errors
    std::string name = "batch";        // the batch files' names start with it
    std::size_t batch_size = 40;
    std::chrono::milliseconds first{std::chrono::seconds(180)}, next{std::chrono::seconds(30)};
    // Asked after several runs in a row answered nothing: empty while the
    // lane still comes up, else why it does not.
    std::function<std::string()> lane_down;
};

struct BatchResult {
    std::vector<Verdict> verdicts;  // one per line; Died for a line the program did not answer
    int processes = 0;
    std::string broke_down;  // the lane stopped coming up: why (the verdicts from there on are missing)
};

// Runs the lines, `batch_size` to one process: each line is one case's
// argument list, each answer one line of JSON. A process that ends or stops
// answering leaves its unanswered case Died and the next process starts with
// the case after it; one that stopped its batch on purpose (kBatchStopped)
// is started again at its first unanswered case. `modules` are the cases' module paths as the lines spell
// them.
BatchResult run_batches(const std::vector<std::string>& lines, const std::vector<std::string>& modules,
                        const BatchSide& side);

// The stand-in: answers each line of `batch_file` as the Windows viewer's
// --batch does, by running `viewer` (paths on drive Z: turned back into
// Unix paths). `plants` maps a text to a planted difference for the lines
// holding it: status, document, warnings, picture, routine, fault, die or
// hang.
int serve_batch(const std::string& viewer, const std::string& batch_file,
                const std::map<std::string, std::string>& plants);

}  // namespace q7windiff
