// quorlan7-replay: runs the viewer on every file of the seed corpus, on
// paths that are no module file at all, and on a fixed-seed batch of random
// byte mutants, and fails on any crash, hang, blow-up, sanitizer report,
// second line on standard error or status other than 0, 1 or 2.
//
//   quorlan7-replay --corpus DIR [--mutants N] [--seed S] [--jobs J] [--viewer PATH]
//
// Each run is `quorlan7-view --module CASE --json --prev 1 --click 26,68`
// (plus --png and --scale for the cases that ask for a picture): load,
// install, both buttons, a frame. Files of failed cases are kept in the work
// folder to reproduce them.
//
// With --in-process N, N more random mutants of the same seed then go through
// what the fuzz target does with an input, in this process and one host
// reset between them: each must load or be refused with a reason, and run
// without an exception or taking the process down.
#include "fuzz/fuzz_input.h"
#include "fuzz/mutants.h"
#include "fuzz/replay.h"
#include "tools/guarded_main.h"
#include "version/program_version.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>

namespace fs = std::filesystem;
using q7fuzz::Bytes;
using q7fuzz::Case;

namespace {

Bytes read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_all(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::string beside_me(const std::string& name) {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? name : (self.parent_path() / name).string();
}

// Paths a user may hand the viewer that are no module file: a folder, files
// that never end or cannot be read as files, a pipe, a missing file, and
// names the viewer's one-line message must survive.
void add_special_paths(std::vector<Case>& cases, const std::string& work, const Bytes& real) {
    const std::string fifo = work + "/a-pipe.gau", link = work + "/zero-link.gau";
    const std::string newline = work + "/line\nbreak.gau", not_utf8 = work + "/not-utf8-\xFF\xFE.gau";
    const Bytes stub(real.begin(), real.begin() + std::min<std::size_t>(real.size(), 100));
    const struct {
        const char* label;
        std::string path;
        std::function<void()> prepare;
    } paths[] = {
        {"path-a-folder", "/tmp", {}},
        {"path-proc-self-mem", "/proc/self/mem", {}},
        {"path-proc-self-pagemap", "/proc/self/pagemap", {}},
        {"path-proc-self-maps", "/proc/self/maps", {}},
        {"path-dev-zero", "/dev/zero", {}},
        {"path-dev-null", "/dev/null", {}},
        {"path-dev-urandom", "/dev/urandom", {}},
        {"path-missing", work + "/no-such-module.gau", {}},
        {"path-empty", "", {}},
        {"path-fifo", fifo, [fifo] { mkfifo(fifo.c_str(), 0600); }},
        {"path-symlink-to-dev-zero", link, [link] { (void)symlink("/dev/zero", link.c_str()); }},
        {"path-with-line-break", newline, [newline, stub] { write_all(newline, stub); }},
        {"path-not-utf8", not_utf8, [not_utf8, stub] { write_all(not_utf8, stub); }},
    };
    for (const auto& p : paths) cases.push_back({p.label, p.path, 2, 0, p.prepare});
}

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-replay");
    q7fuzz::ReplayOptions o;
    o.viewer = beside_me("quorlan7-view");
    std::string corpus, module = Q7_MODULE_FILE;
    std::uint64_t mutants = 2000, seed = 1, in_process = 0;
    double timeout = 5.0;
    std::uint64_t rss_mib = 512;
    bool verbose = false;
    CLI::App app{
        "Runs the viewer on the seed corpus, on paths that are no module and on random byte mutants; "
        "fails on any crash, hang, blow-up, sanitizer report, second line of errors or status "
        "other than 0, 1 or 2."};
    app.add_option("--corpus", corpus, "folder of module files to run (the seed corpus)");
    app.add_option("--module", module, "the module the random mutants are made from")->capture_default_str();
    app.add_option("--mutants", mutants, "random byte mutants to run")->capture_default_str();
    app.add_option("--seed", seed, "seed of the random mutants")->capture_default_str();
    app.add_option("--in-process", in_process,
                   "random mutants run after those, in this process with one host reset "
                   "between them")
        ->capture_default_str();
    app.add_option("--jobs", o.jobs, "runs at a time")->capture_default_str()->check(CLI::Range(1, 64));
    app.add_option("--viewer", o.viewer, "the viewer program")->capture_default_str();
    app.add_option("--timeout", timeout, "wall-time limit of one run, seconds")->capture_default_str();
    app.add_option("--rss-limit", rss_mib, "resident-memory limit of one run, MiB")->capture_default_str();
    app.add_option("--work", o.work,
                   "folder for the runs' files (default: a new one under TMPDIR, removed when all pass)");
    app.add_flag("--verbose", verbose, "one line per case");
    app.add_flag("--version")->description("print the program's name and version");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    o.limits.wall = std::chrono::milliseconds(static_cast<long long>(timeout * 1000));
    o.limits.rss_kib = rss_mib * 1024;

    const Bytes real = read_all(module);
    if (real.empty()) {
        std::cerr << "quorlan7-replay: cannot read the module " << module << "\n";
        return 2;
    }
    std::error_code ec;
    const bool own_work = o.work.empty();
    if (own_work) {
        const char* tmp = std::getenv("TMPDIR");
        std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/quorlan7-replay-XXXXXX";
        if (!mkdtemp(dir.data())) {
            std::cerr << "quorlan7-replay: cannot make a work folder\n";
            return 2;
        }
        o.work = dir;
    } else {
        fs::create_directories(o.work, ec);
    }
    o.work = fs::absolute(o.work).string();

    std::vector<Case> cases;
    std::size_t structured = 0;
    if (!corpus.empty()) {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(corpus, ec)) files.push_back(entry.path());
        if (ec || files.empty()) {
            std::cerr << "quorlan7-replay: no files in the corpus " << corpus << "\n";
            return 2;
        }
        std::sort(files.begin(), files.end());
        for (const auto& f : files) {
            const q7fuzz::Mutant* m = q7fuzz::find_mutant(f.stem().string());
            cases.push_back({f.stem().string(),
                             fs::absolute(f).string(),
                             m ? m->expect : q7fuzz::kAnyStatus,
                             m ? m->picture_scale : 0,
                             {}});
            structured += m != nullptr;
        }
    }
    const std::size_t corpus_files = cases.size();
    add_special_paths(cases, o.work, real);
    const std::size_t special = cases.size() - corpus_files;
    for (std::uint64_t i = 0; i < mutants; ++i) {
        const std::string label = "random-" + std::to_string(seed) + "-" + std::to_string(i);
        const std::string path = o.work + "/" + label + ".gau";
        // Every sixteenth random mutant is drawn as well.
        cases.push_back({label, path, q7fuzz::kAnyStatus, i % 16 == 0 ? 1 : 0,
                         [path, &real, seed, i] { write_all(path, q7fuzz::random_mutant(real, seed, i)); }});
    }

    std::printf(
        "replaying %zu cases through %s, %u at a time: %zu corpus files (%zu structured), %zu paths, "
        "%llu random mutants of seed %llu\n",
        cases.size(), o.viewer.c_str(), o.jobs, corpus_files, structured, special,
        static_cast<unsigned long long>(mutants), static_cast<unsigned long long>(seed));
    std::fflush(stdout);

    const auto started = std::chrono::steady_clock::now();
    std::map<int, std::size_t> per_status;
    const q7fuzz::Outcome* longest = nullptr;
    const q7fuzz::Outcome* biggest = nullptr;
    std::vector<q7fuzz::Outcome> failed;
    const auto outcomes = q7fuzz::replay(cases, o, [&](const q7fuzz::Outcome& out) {
        if (verbose) {
            std::printf("%-50s status %2d  %6.3f s  %6llu KiB%s\n", out.c->label.c_str(), out.status, out.seconds,
                        static_cast<unsigned long long>(out.peak_rss_kib), out.failures.empty() ? "" : "  FAIL");
        }
        // Random mutants that passed leave nothing behind.
        if (out.failures.empty() && out.c->prepare && out.c->label.rfind("random-", 0) == 0)
            fs::remove(out.c->module, ec);
    });
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    for (const auto& out : outcomes) {
        ++per_status[out.signal ? -out.signal : out.status];
        if (!longest || out.seconds > longest->seconds) longest = &out;
        if (!biggest || out.peak_rss_kib > biggest->peak_rss_kib) biggest = &out;
        if (!out.failures.empty()) failed.push_back(out);
    }
    std::printf("cases %zu in %.1f s\n", outcomes.size(), wall);
    for (const auto& [status, n] : per_status) {
        if (status < 0)
            std::printf("  signal %d: %zu\n", -status, n);
        else
            std::printf("  status %d: %zu\n", status, n);
    }
    if (longest) std::printf("longest run %.3f s (%s)\n", longest->seconds, longest->c->label.c_str());
    if (biggest) {
        std::printf("peak resident memory %.1f MiB (%s)\n", static_cast<double>(biggest->peak_rss_kib) / 1024,
                    biggest->c->label.c_str());
    }
    std::printf("failures %zu\n", failed.size());
    for (const auto& out : failed) {
        std::string why;
        for (const auto& f : out.failures) why += (why.empty() ? "" : "; ") + f;
        std::string first = out.stderr_text.substr(0, out.stderr_text.find('\n'));
        if (first.size() > 300) first = first.substr(0, 300) + "...";
        std::printf("  FAIL %s: %s%s%s\n", out.c->label.c_str(), why.c_str(),
                    first.empty() ? "" : "; stderr: ", first.c_str());
    }
    std::size_t in_process_failures = 0;
    if (in_process) {
        const auto t0 = std::chrono::steady_clock::now();
        std::optional<q7host::GaugeHost> host;
        std::size_t loaded = 0;
        double longest_input = 0.0;
        std::uint64_t longest_index = 0;
        for (std::uint64_t i = mutants; i < mutants + in_process; ++i) {
            const Bytes b = q7fuzz::random_mutant(real, seed, i);
            const auto t1 = std::chrono::steady_clock::now();
            try {
                loaded += q7fuzz::run_input(q7fuzz::host_for_next_input(host), b.data(), b.size());
            } catch (const std::exception& e) {
                ++in_process_failures;
                const std::string path = o.work + "/random-" + std::to_string(seed) + "-" + std::to_string(i) + ".gau";
                write_all(path, b);
                host.reset();
                std::printf("  FAIL random-%llu-%llu (in process): %s\n", static_cast<unsigned long long>(seed),
                            static_cast<unsigned long long>(i), e.what());
            }
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
            if (took > longest_input) longest_input = took, longest_index = i;
        }
        std::printf(
            "in process: %llu random mutants in %.1f s, %zu loaded; longest %.3f s (random-%llu-%llu); "
            "failures %zu\n",
            static_cast<unsigned long long>(in_process),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), loaded, longest_input,
            static_cast<unsigned long long>(seed), static_cast<unsigned long long>(longest_index), in_process_failures);
    }
    if (failed.empty() && in_process_failures == 0) {
        if (own_work) fs::remove_all(o.work, ec);
        std::puts("PASS");
        return 0;
    }
    std::printf("the failed cases' files are in %s and %s\n", o.work.c_str(), corpus.empty() ? "-" : corpus.c_str());
    std::puts("FAIL");
    return 1;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-replay", run, argc, argv); }
