// quorlan7-windiff: the reference host's viewer and the Windows viewer
// (quorlan7-view.exe under wine, in the Windows lane set up by
// scripts/setup-windows.sh) on the same cases, compared.
//
//   quorlan7-windiff [--scenes] [--corpus DIR] [--random N --seed S] --runner scripts/windows-run.sh
//
// The cases: the module in a handful of scenes (the --json documents and
// every pixel of the pictures), the files of a corpus and random byte
// mutants of the module (the same verdict: shows the same, refused, or the
// module misbehaves in the same routine). The Windows viewer runs many cases
// in one process (--batch), since wine starts slowly under QEMU.
//
// Exit status: 0 the hosts agree (but for the lane's known artefacts), 1 they
// disagree, 77 the lane could not start (the reason is printed), 2 bad use.
// --stand-in puts this program, answering batches through the reference
// viewer, where the Windows viewer would be; with --plant it answers some
// cases wrongly, which checks that the differential sees it.
#include "windiff_run.h"

#include "fuzz/mutants.h"
#include "tools/guarded_main.h"
#include "version/program_version.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace q7windiff;

namespace {

std::string beside_me(const std::string& name) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? name : (self.parent_path() / name).string();
}

// The module in scenes that between them show every waypoint readout kind,
// the dot in each quadrant, both buttons, a click in the gap, --at's search
// and three picture scales.
std::vector<Case> scenes() {
    return {
        {"scene-default", {}, "", 4},
        {"scene-sfint-next-3-click", {"--at", "SFINT", "--next", "3", "--click", "26,68"}, "", 1},
        {"scene-heading-0", {"--heading", "0"}, "", 1},
        {"scene-west-of-the-bay", {"--lat", "37.7", "--lon", "-122.3", "--heading", "270"}, "", 2},
        {"scene-on-mercd", {"--at", "MERCD", "--heading", "90"}, "", 1},
        {"scene-left-arrow-twice",
         {"--click", "10,68", "--click", "10,68", "--heading", "225", "--lat", "37.9", "--lon", "-122.6"},
         "",
         1},
        {"scene-gap-and-prev", {"--click", "18,68", "--prev", "5", "--heading", "45.5"}, "", 1},
        {"scene-far-away", {"--lat", "-33.9", "--lon", "151.2", "--heading", "123.4", "--next", "12"}, "", 3},
    };
}

// A module file goes through the same steps as the robustness runs: load,
// install, both buttons, a frame, and where asked its picture (scale 0:
// none; a picture costs the Windows side about half a second under QEMU).
Case module_case(const std::string& label, const std::string& path, int scale) {
    return {label, {"--prev", "1", "--click", "26,68"}, path, scale};
}

// The corpus files whose edit can change what is drawn: the pictures, the
// records, the texts and the resources, and the real module.
bool drawn(const std::string& label) {
    static const std::regex kinds("^(bitmap|record|text|resources|windows-resources|real-module)");
    return std::regex_search(label, kinds);
}

bool plain_path(const std::string& path) {
    return std::none_of(path.begin(), path.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

struct Tally {
    std::size_t shows = 0, refused = 0, misbehaves = 0;
    std::map<std::string, std::vector<std::string>> artefacts, documented, disagreements;
};

void print_group(const char* title, const std::map<std::string, std::vector<std::string>>& groups) {
    std::size_t n = 0;
    for (const auto& [kind, cases] : groups) n += cases.size();
    std::printf("%s %zu\n", title, n);
    for (const auto& [kind, cases] : groups) {
        std::printf("  %s: %zu\n", kind.c_str(), cases.size());
        for (const auto& c : cases) std::printf("    %s\n", c.c_str());
    }
}

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-windiff");
    std::string viewer = beside_me("quorlan7-view"), windows = beside_me("quorlan7-view.exe"), runner, corpus,
                module = Q7_MODULE_FILE, work, only, lane_name = "auto", batch;
    std::uint64_t random = 0, seed = 1;
    bool with_scenes = false, stand_in = false, verbose = false;
    std::vector<std::string> plant_args;
    BatchSide side;
    std::size_t jobs = 2;
    std::string differences_file;
    double case_timeout = 20, start_timeout = 180;
    CLI::App app{"Compares the reference host's viewer with the Windows viewer under wine on the same cases."};
    app.add_flag("--scenes", with_scenes, "the module in a handful of scenes: documents and every pixel");
    app.add_option("--corpus", corpus, "a folder of module files (the seed corpus)");
    app.add_option("--random", random, "random byte mutants of the module")->capture_default_str();
    app.add_option("--seed", seed, "seed of the random mutants")->capture_default_str();
    app.add_option("--module", module, "the module the random mutants are made from")->capture_default_str();
    app.add_option("--only", only, "only the cases whose label matches this regular expression");
    app.add_option("--viewer", viewer, "the reference viewer")->capture_default_str();
    app.add_option("--windows", windows, "the Windows viewer")->capture_default_str();
    app.add_option("--runner", runner, "what runs a Windows program (scripts/windows-run.sh); none: run it as it is");
    app.add_option("--lane", lane_name, "what runs the 32-bit code: auto (ask the runner), qemu or kernel")
        ->capture_default_str()
        ->check(CLI::IsMember({"auto", "qemu", "kernel"}));
    app.add_option("--batch-size", side.batch_size, "cases to one Windows process")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    app.add_option("--jobs", jobs, "Windows processes at a time")->capture_default_str()->check(CLI::Range(1, 16));
    app.add_option("--differences", differences_file,
                   "the documented differences between the hosts: lines of CASE-PATTERN KIND REASON");
    app.add_option("--case-timeout", case_timeout, "seconds a case may take on the Windows side")
        ->capture_default_str();
    app.add_option("--start-timeout", start_timeout, "seconds the first answer of a process may take")
        ->capture_default_str();
    app.add_option("--work", work, "folder for pictures, batches and mutants (emptied first)");
    app.add_flag("--verbose", verbose, "one line per case");
    app.add_flag("--stand-in", stand_in,
                 "answer for the Windows viewer through the reference viewer (checks the differential itself)");
    app.add_option("--plant", plant_args, "with --stand-in: TEXT=KIND answers the cases holding TEXT wrongly");
    app.add_option("--batch", batch, "be the stand-in: answer the lines of this batch file")->group("");
    app.add_flag("--version")->description("print the program's name and version");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    // The documented differences: a case (a regular expression over its
    // label, or, written "reference:REGEX", over what the reference host said
    // of it (its error line or its warnings), for a rule that random mutants
    // meet too),
    // the kind of finding and why the hosts differ there.
    struct Documented {
        std::regex cases;
        bool by_message = false;
        std::string pattern, kind, reason;
        bool covers(const std::string& label, const Verdict& reference) const {
            if (!by_message) return std::regex_match(label, cases);
            // What it said: its error line, or the warnings of a gauge it showed.
            std::string said = reference.message;
            const auto warnings =
                reference.document.is_object() ? reference.document.find("warnings") : reference.document.end();
            if (warnings != reference.document.end() && warnings->is_array()) {
                for (const auto& w : *warnings) {
                    if (w.is_string()) said += "\n" + w.get<std::string>();
                }
            }
            return !said.empty() && std::regex_search(said, cases);
        }
    };
    std::vector<Documented> documented;
    if (!differences_file.empty()) {
        std::ifstream in(differences_file);
        if (!in) {
            std::cerr << "quorlan7-windiff: cannot read " << differences_file << "\n";
            return 2;
        }
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#')
                continue;
            std::istringstream fields(line);
            Documented d;
            fields >> d.pattern >> d.kind >> std::ws;
            std::getline(fields, d.reason);
            try {
                const std::string said = "reference:";
                d.by_message = d.pattern.rfind(said, 0) == 0;
                d.cases =
                    d.by_message ? std::regex(d.pattern.substr(said.size())) : std::regex("^(" + d.pattern + ")$");
            } catch (const std::regex_error&) {
                d.reason.clear();
            }
            if (d.reason.empty()) {
                std::cerr << "quorlan7-windiff: " << differences_file << ":" << number
                          << ": expected CASE-PATTERN KIND REASON\n";
                return 2;
            }
            documented.push_back(std::move(d));
        }
    }
    std::map<std::string, std::string> plants;
    for (const auto& plant : plant_args) {
        const auto eq = plant.rfind('=');
        if (eq == std::string::npos) {
            std::cerr << "quorlan7-windiff: --plant " << plant << ": expected TEXT=KIND\n";
            return 2;
        }
        plants[plant.substr(0, eq)] = plant.substr(eq + 1);
    }
    if (!batch.empty()) return serve_batch(viewer, unix_path(batch), plants);

    std::error_code ec;
    if (work.empty()) {
        std::string dir = (fs::temp_directory_path() / "quorlan7-windiff-XXXXXX").string();
        if (!mkdtemp(dir.data())) {
            std::cerr << "quorlan7-windiff: cannot make a work folder\n";
            return 2;
        }
        work = dir;
    }
    work = fs::absolute(work).lexically_normal().string();
    fs::remove_all(work, ec);
    for (const char* sub : {"", "/reference", "/windows", "/mutants"}) fs::create_directories(work + sub, ec);
    side.work = work;

    // The Windows side, and what runs its 32-bit code.
    Lane lane = lane_name == "qemu" ? Lane::Qemu : Lane::Kernel;
    if (stand_in) {
        side.command = {beside_me("quorlan7-windiff"), "--viewer", viewer};
        for (const auto& p : plant_args) side.command.push_back("--plant=" + p);
    } else {
        if (!fs::exists(windows)) {
            std::printf("SKIPPED: the Windows viewer %s is not built\n", windows.c_str());
            return 77;
        }
        if (!runner.empty() && runner != "none") {
            const Run check = run_child({"/bin/bash", runner, "--check"}, work + "/lane-check",
                                        std::chrono::seconds(300), std::chrono::seconds(300));
            if (check.status != 0) {
                std::string why = check.timed_out ? "the lane did not come up within 300 s" : check.err;
                while (!why.empty() && why.back() == '\n') why.pop_back();
                std::replace(why.begin(), why.end(), '\n', ' ');  // one line, wine's words included
                std::printf("SKIPPED: the Windows lane could not start: %s\n", why.c_str());
                return 77;
            }
            if (lane_name == "auto")
                lane = check.out.find("lane qemu") != std::string::npos ? Lane::Qemu : Lane::Kernel;
            // The runner's own limit only backs up the differential's, which
            // is per answer.
            const double whole = start_timeout + case_timeout * static_cast<double>(side.batch_size);
            side.command = {"/bin/bash", runner, "--no-check", "--timeout", std::to_string(static_cast<long>(whole)),
                            windows};
            side.lane_down = [runner, work] {
                const Run again = run_child({"/bin/bash", runner, "--check"}, work + "/lane-check",
                                            std::chrono::seconds(300), std::chrono::seconds(300));
                return again.status == 0 ? std::string() : again.err.empty() ? again.ended() : again.err;
            };
        } else {
            side.command = {windows};
        }
    }
    side.first = std::chrono::milliseconds(static_cast<long long>(start_timeout * 1000));
    side.next = std::chrono::milliseconds(static_cast<long long>(case_timeout * 1000));

    // The cases.
    std::vector<Case> cases;
    if (with_scenes) cases = scenes();
    if (!corpus.empty()) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(corpus, ec)) {
            if (entry.path().extension() == ".gau") files.push_back(fs::absolute(entry.path()));
        }
        if (files.empty()) {
            std::cerr << "quorlan7-windiff: no module files in " << corpus << "\n";
            return 2;
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            const q7fuzz::Mutant* m = q7fuzz::find_mutant(f.stem().string());
            const std::string label = f.stem().string();
            cases.push_back(module_case(label, f.string(), m && m->picture_scale ? m->picture_scale : drawn(label)));
        }
    }
    if (random) {
        std::ifstream in(module, std::ios::binary);
        const q7fuzz::Bytes real{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (real.empty()) {
            std::cerr << "quorlan7-windiff: cannot read the module " << module << "\n";
            return 2;
        }
        for (std::uint64_t i = 0; i < random; ++i) {
            const std::string label = "random-" + std::to_string(seed) + "-" + std::to_string(i);
            const std::string path = work + "/mutants/" + label + ".gau";
            const q7fuzz::Bytes bytes = q7fuzz::random_mutant(real, seed, i);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            cases.push_back(module_case(label, path, i % 8 == 0));  // every eighth is drawn
        }
    }
    if (!only.empty()) {
        const std::regex pattern(only);
        std::erase_if(cases, [&](const Case& c) { return !std::regex_search(c.label, pattern); });
    }
    if (cases.empty()) {
        std::cerr << "quorlan7-windiff: no cases (give --scenes, --corpus or --random)\n";
        return 2;
    }
    for (const auto& c : cases) {
        if (!plain_path(c.module) || !plain_path(work)) {
            std::cerr << "quorlan7-windiff: a batch line cannot hold a path with spaces: " << c.module << " " << work
                      << "\n";
            return 2;
        }
    }

    // Each side's argument lists.
    std::vector<std::string> lines, windows_modules;
    std::vector<std::vector<std::string>> reference_argv;
    for (const auto& c : cases) {
        std::vector<std::string> common = c.options;
        std::vector<std::string> ref{viewer}, win;
        ref.insert(ref.end(), common.begin(), common.end());
        win = common;
        if (!c.module.empty()) {
            ref.insert(ref.end(), {"--module", c.module});
            win.insert(win.end(), {"--module", windows_path(c.module)});
        }
        ref.push_back("--json");
        win.push_back("--json");
        if (c.scale > 0) {
            const std::string scale = std::to_string(c.scale);
            ref.insert(ref.end(), {"--png", work + "/reference/" + c.label + ".png", "--scale", scale});
            win.insert(win.end(), {"--png", windows_path(work + "/windows/" + c.label + ".png"), "--scale", scale});
        }
        reference_argv.push_back(ref);
        lines.push_back(joined(win));
        windows_modules.push_back(c.module.empty() ? "" : windows_path(c.module));
    }

    std::printf("comparing %zu cases: %s against %s%s, lane %s\n", cases.size(), viewer.c_str(),
                stand_in ? "the stand-in" : windows.c_str(), stand_in || runner.empty() ? "" : " under wine",
                lane == Lane::Qemu ? "qemu (hardware fault kinds not compared)" : "kernel");
    std::fflush(stdout);

    // The reference side runs beside the Windows side, which takes longer.
    const auto started = std::chrono::steady_clock::now();
    std::vector<Verdict> reference(cases.size());
    double reference_seconds = 0;
    std::thread reference_side([&] {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Run r = run_child(reference_argv[i], work + "/reference/stderr", std::chrono::seconds(60),
                                    std::chrono::seconds(60));
            reference[i] = reference_verdict(r.signal || r.timed_out ? -1 : r.status, r.out, r.err, cases[i].module);
            if (r.signal || r.timed_out) reference[i].message = r.ended();
        }
        reference_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    });
    // The Windows cases in `jobs` runs of batches side by side, dealt out in
    // turn so that the slow kinds of case (the code mutants, whose faults
    // restart wine) are shared.
    std::vector<std::optional<Verdict>> windows_verdicts(cases.size());
    int processes = 0;
    std::string broke_down;
    {
        const std::size_t parts = std::min<std::size_t>(jobs, lines.size());
        std::vector<BatchResult> results(parts);
        std::vector<std::thread> runs;
        for (std::size_t j = 0; j < parts; ++j) {
            runs.emplace_back([&, j] {
                std::vector<std::string> my_lines, my_modules;
                for (std::size_t i = j; i < lines.size(); i += parts) {
                    my_lines.push_back(lines[i]);
                    my_modules.push_back(windows_modules[i]);
                }
                BatchSide mine = side;
                mine.name = "batch-" + std::to_string(j + 1);
                results[j] = run_batches(my_lines, my_modules, mine);
            });
        }
        for (auto& r : runs) r.join();
        for (std::size_t j = 0; j < parts; ++j) {
            processes += results[j].processes;
            if (broke_down.empty()) broke_down = results[j].broke_down;
            for (std::size_t k = 0; k < results[j].verdicts.size(); ++k) {
                windows_verdicts[j + k * parts] = results[j].verdicts[k];
            }
        }
    }
    reference_side.join();
    // A case the Windows program died on where the reference host loads the
    // module or refuses it may have died of what an earlier case left in
    // that process (a module whose start-up crashed inside Wine's loader
    // leaves its vectored handler registered, pointing into nothing): it
    // runs once more in a process of its own, and that answer is its
    // verdict.
    int retried = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& win = windows_verdicts[i];
        if (!win || win->outcome != Outcome::Died) continue;
        if (reference[i].outcome != Outcome::Shows && reference[i].outcome != Outcome::Refused) continue;
        BatchSide alone = side;
        alone.name = "alone-" + std::to_string(++retried);
        alone.first = std::min<std::chrono::milliseconds>(side.first, std::chrono::seconds(60));
        BatchResult r = run_batches({lines[i]}, {windows_modules[i]}, alone);
        processes += r.processes;
        if (!r.verdicts.empty()) windows_verdicts[i] = r.verdicts.front();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    Tally tally;
    std::size_t compared = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!windows_verdicts[i]) continue;  // not reached: the lane broke down
        ++compared;
        Verdict ref = reference[i], win = *windows_verdicts[i];
        const std::string picture = "/" + cases[i].label + ".png";
        if (ref.outcome == Outcome::Shows && cases[i].scale > 0) ref.picture = work + "/reference" + picture;
        if (win.outcome == Outcome::Shows && cases[i].scale > 0) win.picture = work + "/windows" + picture;
        const auto finding = compare(ref, win, lane);
        if (verbose) {
            std::printf("%-50s %s%s\n", cases[i].label.c_str(), describe(ref).substr(0, 60).c_str(),
                        finding ? ("  <> " + finding->kind).c_str() : "");
        }
        if (finding) {
            const std::string line = cases[i].label + ": " + finding->detail;
            const auto known = std::find_if(documented.begin(), documented.end(), [&](const Documented& d) {
                return d.kind == finding->kind && d.covers(cases[i].label, ref);
            });
            if (finding->artefact)
                tally.artefacts[finding->kind].push_back(line);
            else if (known != documented.end())
                tally.documented[finding->kind].push_back(cases[i].label + ": " + known->reason);
            else
                tally.disagreements[finding->kind].push_back(line);
            continue;
        }
        if (ref.outcome == Outcome::Shows) ++tally.shows;
        if (ref.outcome == Outcome::Refused) ++tally.refused;
        if (ref.outcome == Outcome::Misbehaves) ++tally.misbehaves;
    }
    std::printf("cases %zu in %.1f s (reference %.1f s; Windows %d processes, %d cases run again alone)\n", compared,
                seconds, reference_seconds, processes, retried);
    std::printf("agree %zu: shows the same %zu, refused by both %zu, misbehaves in the same routine %zu\n",
                tally.shows + tally.refused + tally.misbehaves, tally.shows, tally.refused, tally.misbehaves);
    print_group("known artefacts of the lane", tally.artefacts);
    print_group("documented differences", tally.documented);
    print_group("disagreements", tally.disagreements);
    if (!broke_down.empty()) {
        std::printf("the lane stopped coming up after %zu of %zu cases: %s\n", compared, cases.size(),
                    broke_down.c_str());
        if (tally.disagreements.empty()) {
            std::puts("SKIPPED: the Windows lane broke down");
            return 77;
        }
    }
    if (!tally.disagreements.empty()) {
        std::printf("the pictures and batches are in %s\nFAIL\n", work.c_str());
        return 1;
    }
    std::puts("PASS");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-windiff", run, argc, argv); }
