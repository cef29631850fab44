// quorlan7-view.exe: the quorlan7 gauge as a Windows panel host shows it,
// loaded with LoadLibrary, served the panel services and painted with GDI,
// with quorlan7-view's options, picture and --json document.
#include "tools/guarded_main.h"
#include "tools/text_escape.h"
#include "tools/view_report.h"
#include "tools/view_scene.h"
#include "version/program_version.h"
#include "win_call.h"
#include "win_png.h"
#include "win_run.h"
#include "win_session.h"
#include "win_text.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace q7win {

namespace {

using q7view::fail;
using q7view::kBadInput;
using q7view::kDone;

// quorlan7-view's help without what only it has, and --batch.
std::string usage() {
    std::istringstream in(q7view::usage());
    std::string out, line;
    bool skipping = false;
    while (std::getline(in, line)) {
        const bool option = line.rfind("  -", 0) == 0;
        if (option)
            skipping =
                line.rfind("  --route", 0) == 0 || line.rfind("  --out", 0) == 0 || line.rfind("  --window", 0) == 0;
        else if (line.rfind("   ", 0) != 0)
            skipping = false;
        if (!skipping) out += line + "\n";
    }
    const auto replace = [&out](const std::string& from, const std::string& to) {
        if (const auto at = out.find(from); at != std::string::npos) out.replace(at, from.size(), to);
    };
    replace("Usage: quorlan7-view ", "Usage: quorlan7-view.exe ");
    replace(" or no display", "");
    return out +
           "\nquorlan7-view.exe --batch FILE runs each line of FILE as an argument list, one line of JSON each.\n";
}

// One frame of the scene: a picture, a summary or JSON.
int run_single(const q7view::Options& o, RunOutput& out) {
    // Without --json the picture goes to preview.png unless named; a batch
    // writes only the pictures its lines name.
    const bool json = o.json || out.batch;
    const auto png = o.png ? o.png : json ? std::nullopt : std::optional<std::string>("preview.png");
    if (png) {
        if (std::string why = check_output_file(*png); !why.empty()) return fail(kBadInput, why);
    }
    WinSession s;
    if (int st = start_scene(s, o)) return st;
    if (int st = check_size(s, o.scale)) return st;
    const q7view::FrameReport f = s.frame();
    if (int st = q7view::check_module(s)) return st;

    std::string error;
    if (png && !write_png(*png, s.painter().pixels(), s.painter().width(), s.painter().height(), o.scale, error)) {
        return fail(kBadInput, error);
    }
    if (json) {
        auto j = q7view::frame_json(f);
        if (png) j["png"] = q7tools::json_text(*png);
        if (out.batch) {
            out.document = std::move(j);
            out.has_document = true;
        } else {
            std::cout << q7view::json_dump(j, 2) << "\n";
        }
    } else {
        std::cout << q7view::frame_summary(f) << "wrote     " << q7tools::readable(*png) << " ("
                  << s.painter().width() * o.scale << " x " << s.painter().height() * o.scale << ", " << o.scale
                  << "x)\n";
    }
    return kDone;
}

std::vector<std::string> arguments() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> out;
    for (int i = 1; argv && i < argc; ++i) out.push_back(narrow(argv[i]));
    if (argv) LocalFree(argv);
    return out;
}

int run(int, char**) {
    const std::vector<std::string> args = arguments();
    if (args.size() == 1 && args[0] == "--version") return q7::print_version("quorlan7-view.exe");
    if (!args.empty() && args[0] == "--batch") {
        if (args.size() != 2) return fail(kBadInput, "--batch takes one file and goes alone (see --help)");
        return run_batch(args[1]);
    }
    RunOutput out;
    return run_arguments(args, out);
}

}  // namespace

int run_arguments(const std::vector<std::string>& args, RunOutput& out) {
    std::string error;
    const auto options = q7view::parse_arguments(args, error);
    if (!options) return fail(kBadInput, error + " (see --help)");
    if (options->help) {
        if (!out.batch) std::cout << usage();
        return kDone;
    }
    for (const auto& [given, name] :
         {std::pair{options->route.has_value(), "--route"}, std::pair{options->out.has_value(), "--out"},
          std::pair{options->window, "--window"}}) {
        if (given) return fail(kBadInput, std::string(name) + " is quorlan7-view's alone, not quorlan7-view.exe's");
    }
    return run_single(*options, out);
}

}  // namespace q7win

int main(int argc, char** argv) {
    q7win::prepare_process();
    // The same bytes as quorlan7-view writes: lines end in "\n" alone.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    const int status = q7tools::guarded_main("quorlan7-view", q7win::run, argc, argv);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Nothing of a module runs after this: a module whose entry routine
    // failed may still be on the loader's list, and exiting would call it.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    return status;
}
