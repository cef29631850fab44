// --batch: many argument lists in one process, one line of JSON each.
#include "tools/text_escape.h"
#include "tools/view_report.h"
#include "tools/view_scene.h"
#include "win_gauge.h"
#include "win_run.h"
#include "win_text.h"

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace q7win {

namespace {

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The error line a run printed, without the program's name and the line break.
std::string error_words(const std::string& printed) {
    std::string s = printed;
    const std::string prefix = "quorlan7-view: ";
    if (s.rfind(prefix, 0) == 0) s.erase(0, prefix.size());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

}  // namespace

int run_batch(const std::string& file) {
    std::ifstream in(std::filesystem::path(widen(file)), std::ios::binary);
    if (!in) return q7view::fail(q7view::kBadInput, "cannot read batch file " + file);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string> args = words_of(line);
        if (args.empty()) continue;
        RunOutput out;
        out.batch = true;
        std::ostringstream errors;
        std::streambuf* const cerr = std::cerr.rdbuf(errors.rdbuf());
        int status;
        try {
            status = run_arguments(args, out);
        } catch (const std::exception& e) {
            std::cerr << "quorlan7-view: internal error: " << e.what() << "\n";
            status = q7view::kFailed;
        }
        std::cerr.rdbuf(cerr);
        nlohmann::json j{{"args", q7tools::json_text(line)}, {"status", status}};
        if (out.has_document) j["document"] = std::move(out.document);
        if (const std::string e = error_words(errors.str()); !e.empty()) j["error"] = q7tools::json_text(e);
        std::cout << q7view::json_dump(j) << "\n" << std::flush;
        if (const std::string& why = WinGauge::why_no_more_loads(); !why.empty()) {
            return q7view::fail(q7view::kBatchStopped, "--batch stops after \"" + line + "\": " + why);
        }
    }
    return q7view::kDone;
}

}  // namespace q7win
