// quorlan7-mutants: writes the seed corpus, the real module and every
// structured mutant of it, one file per label, into a folder; with --random N
// also N random byte mutants of a seed.
//
//   quorlan7-mutants --out DIR [--module FILE] [--random N --seed S]
//
// A mutant whose edit does not fit the module, that leaves it unchanged or
// whose label repeats is a fault of the table: the program then fails.
#include "fuzz/mutants.h"
#include "tools/guarded_main.h"
#include "version/program_version.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

namespace fs = std::filesystem;

namespace {

bool write_file(const fs::path& path, const q7fuzz::Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool plain_label(const std::string& label) {
    if (label.empty()) return false;
    for (char c : label) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

int run(int argc, char** argv) {
    if (q7::version_requested(argc, argv)) return q7::print_version("quorlan7-mutants");
    std::string module = Q7_MODULE_FILE, out;
    std::uint64_t random = 0, seed = 1;
    CLI::App app{"Writes the seed corpus: the real module and its structured mutants, one file per label."};
    app.add_option("--out", out, "the folder to write (files of earlier runs in it are replaced)")->required();
    app.add_option("--module", module, "the module file")->capture_default_str();
    app.add_option("--random", random, "random byte mutants to add")->capture_default_str();
    app.add_option("--seed", seed, "seed of the random mutants")->capture_default_str();
    app.add_flag("--version")->description("print the program's name and version");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    std::ifstream in(module, std::ios::binary);
    const q7fuzz::Bytes real{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    const auto anatomy = q7fuzz::dissect(real, error);
    if (!anatomy) {
        std::cerr << "quorlan7-mutants: " << module << ": " << error << "\n";
        return 2;
    }
    std::error_code ec;
    fs::create_directories(out, ec);
    for (const auto& entry : fs::directory_iterator(out, ec)) {
        if (entry.path().extension() == ".gau") fs::remove(entry.path(), ec);
    }

    std::set<std::string> labels;
    int written = 0;
    for (const q7fuzz::Mutant& m : q7fuzz::structured_mutants()) {
        const std::string label = m.label;
        if (!plain_label(label) || !labels.insert(label).second) {
            std::cerr << "quorlan7-mutants: the label \"" << label
                      << "\" repeats or is not lower-case letters, digits and dashes\n";
            return 1;
        }
        q7fuzz::Bytes bytes;
        try {
            bytes = q7fuzz::make_mutant(m, real, *anatomy);
        } catch (const std::exception& e) {
            std::cerr << "quorlan7-mutants: " << label << ": " << e.what() << "\n";
            return 1;
        }
        if (m.edit && bytes == real) {
            std::cerr << "quorlan7-mutants: " << label << " leaves the module unchanged\n";
            return 1;
        }
        if (!write_file(fs::path(out) / (label + ".gau"), bytes)) {
            std::cerr << "quorlan7-mutants: cannot write " << out << "/" << label << ".gau\n";
            return 1;
        }
        ++written;
    }
    for (std::uint64_t i = 0; i < random; ++i) {
        const std::string name = "random-" + std::to_string(seed) + "-" + std::to_string(i) + ".gau";
        if (!write_file(fs::path(out) / name, q7fuzz::random_mutant(real, seed, i))) {
            std::cerr << "quorlan7-mutants: cannot write " << out << "/" << name << "\n";
            return 1;
        }
        ++written;
    }
    std::cout << "quorlan7-mutants: " << written << " files in " << out << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return q7tools::guarded_main("quorlan7-mutants", run, argc, argv); }
