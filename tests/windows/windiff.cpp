#include "windiff.h"

#include <cstdio>
#include <regex>

namespace q7windiff {

namespace {

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The message with the module's path taken out, so that a label such as
// "code-install-ud2" in a file name is never read as the routine.
std::string without(std::string message, const std::string& path) {
    if (path.empty()) return message;
    for (std::size_t at; (at = message.find(path)) != std::string::npos;) message.replace(at, path.size(), "MODULE");
    return message;
}

Verdict judged(int status, std::string message, const std::string& module_path) {
    Verdict v;
    v.status = status;
    v.message = std::move(message);
    const std::string bare = without(v.message, module_path);
    if (status == 2) {
        v.outcome = Outcome::Refused;
    } else if (status == 1) {
        v.outcome = Outcome::Misbehaves;
        v.routine = routine_in(bare);
        v.fault = fault_in(bare);
    }
    return v;
}

std::optional<std::uint32_t> address(const nlohmann::json& j) {
    if (!j.is_string()) return std::nullopt;
    const std::string text = j.get<std::string>();
    if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0) return std::nullopt;
    try {
        return static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The arguments of every service call in a document: the frame's and each
// click's.
std::vector<nlohmann::json*> call_arguments(nlohmann::json& doc) {
    std::vector<nlohmann::json*> out;
    const auto add = [&](nlohmann::json& calls) {
        if (!calls.is_array()) return;
        for (auto& call : calls) {
            if (!call.is_object() || !call.contains("args") || !call["args"].is_array()) continue;
            for (auto& arg : call["args"]) out.push_back(&arg);
        }
    };
    if (doc.contains("calls")) add(doc["calls"]);
    if (doc.contains("clicks") && doc["clicks"].is_array()) {
        for (auto& click : doc["clicks"]) {
            if (click.is_object() && click.contains("calls")) add(click["calls"]);
        }
    }
    return out;
}

// A warning without its particulars (each host words why a bitmap cannot be
// used its own way: the reference host's decoder, LoadImage's error).
std::string gist(std::string warning) {
    static const std::regex innermost(R"( ?\([^()]*\))");
    for (std::string next; (next = std::regex_replace(warning, innermost, "")) != warning;) warning = next;
    return warning;
}

// The warnings the Windows viewer can see for itself: what FindResource and
// LoadImage say of the bitmaps. What Windows's loader thinks of the headers
// and of the entry routine's stack it keeps to itself.
nlohmann::json comparable_warnings(const nlohmann::json& warnings) {
    nlohmann::json out = nlohmann::json::array();
    if (!warnings.is_array()) return out;
    for (const auto& w : warnings) {
        if (w.is_string() && w.get<std::string>().rfind("bitmap ", 0) == 0) out.push_back(gist(w.get<std::string>()));
    }
    return out;
}

// QEMU raises a bad read as an illegal instruction, which Wine's own guarded
// code (its loader, FindResource, LoadImage) does not take for the access
// violation it guards against: the fault escapes where Windows would have
// caught it.
bool qemu_fault_in_wine(const std::string& message) {
    return message.find("(0xC000001D)") != std::string::npos &&
           (message.find("loader failed") != std::string::npos || message.find(" faulted: ") != std::string::npos);
}

std::string hex_colour(q7host::Rgb c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

}  // namespace

void unmove(const nlohmann::json& reference, nlohmann::json& windows) {
    nlohmann::json ref = reference;
    const auto a = call_arguments(ref);
    const auto b = call_arguments(windows);
    if (a.size() != b.size()) return;
    std::optional<std::uint32_t> distance;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (*a[i] == *b[i]) continue;
        const auto x = address(*a[i]), y = address(*b[i]);
        if (!x || !y) return;
        const std::uint32_t d = *y - *x;
        if ((d & 0xFFFF) != 0 || (distance && d != *distance)) return;
        distance = d;
    }
    if (!distance) return;
    for (std::size_t i = 0; i < a.size(); ++i) *b[i] = *a[i];
}

std::string routine_in(const std::string& message) {
    // The routines a host calls in a module, as the reference host names
    // them: the loader's, the gauge's lifecycle, the element callbacks and
    // the mouse handlers, and the records it walks.
    static const std::regex routines(
        R"(TLS callback \d+|entry routine|GaugeInstall|GaugeUninstall|text_callback|x_callback|y_callback|)"
        R"(mouse handler|the element tree|the mouse list)");
    std::smatch m;
    return std::regex_search(message, m, routines) ? m.str() : std::string();
}

std::string fault_in(const std::string& message) {
    static const std::regex code(R"(\((0x[Cc][0-9A-Fa-f]{7})\))");
    std::smatch m;
    std::string found;
    for (auto it = message.cbegin(); std::regex_search(it, message.cend(), m, code); it = m[0].second) found = m[1];
    for (auto& c : found) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (found.size() > 1) found[1] = 'x';
    return found;
}

Verdict reference_verdict(int status, const std::string& out, const std::string& err, const std::string& module_path) {
    if (status != 0) {
        Verdict v = judged(status, first_line(err), module_path);
        if (v.outcome == Outcome::Other) v.message = "status " + std::to_string(status) + ": " + first_line(err);
        return v;
    }
    Verdict v;
    v.status = 0;
    try {
        v.document = nlohmann::json::parse(out);
    } catch (const nlohmann::json::exception&) {
        v.message = "status 0 and no JSON document";
        return v;
    }
    if (!v.document.is_object()) {
        v.message = "status 0 and no JSON document";
        return v;
    }
    v.document.erase("png");
    v.outcome = Outcome::Shows;
    return v;
}

Verdict windows_verdict(const nlohmann::json& line, const std::string& module_path) {
    Verdict v;
    if (!line.is_object() || !line.contains("status") || !line["status"].is_number_integer()) {
        v.message = "an answer without a status: " + line.dump().substr(0, 200);
        return v;
    }
    const int status = line["status"].get<int>();
    if (status != 0) {
        const auto error = line.find("error");
        v = judged(status, error != line.end() && error->is_string() ? error->get<std::string>() : "", module_path);
        if (v.outcome == Outcome::Other) v.message = "status " + std::to_string(status) + ": " + v.message;
        return v;
    }
    v.status = 0;
    const auto doc = line.find("document");
    if (doc == line.end() || !doc->is_object()) {
        v.message = "status 0 and no document";
        return v;
    }
    v.document = *doc;
    v.document.erase("png");
    v.outcome = Outcome::Shows;
    return v;
}

std::string describe(const Verdict& v) {
    switch (v.outcome) {
        case Outcome::Shows: return "shows the gauge";
        case Outcome::Refused: return "refuses the file (" + v.message + ")";
        case Outcome::Misbehaves: return "misbehaves (" + v.message + ")";
        case Outcome::Died: return "gave no verdict (" + v.message + ")";
        case Outcome::Other: break;
    }
    return "no verdict (" + v.message + ")";
}

std::string picture_difference(const std::string& reference_png, const std::string& windows_png) {
    std::string error;
    const auto a = q7host::read_png(reference_png, error);
    if (!a) return "the reference's picture: " + error;
    const auto b = q7host::read_png(windows_png, error);
    if (!b) return "the Windows picture: " + error;
    if (a->width() != b->width() || a->height() != b->height()) {
        return std::to_string(b->width()) + " x " + std::to_string(b->height()) + " pixels, the reference's " +
               std::to_string(a->width()) + " x " + std::to_string(a->height());
    }
    long differing = 0;
    int fx = -1, fy = -1;
    for (int y = 0; y < a->height(); ++y) {
        for (int x = 0; x < a->width(); ++x) {
            if (a->at(x, y) == b->at(x, y)) continue;
            if (differing++ == 0) fx = x, fy = y;
        }
    }
    if (differing == 0) return {};
    return std::to_string(differing) + " of " + std::to_string(long{a->width()} * a->height()) +
           " pixels differ, the first at (" + std::to_string(fx) + ", " + std::to_string(fy) + "): reference " +
           hex_colour(a->at(fx, fy)) + ", Windows " + hex_colour(b->at(fx, fy));
}

std::optional<Finding> compare(const Verdict& reference, const Verdict& windows, Lane lane) {
    if (reference.outcome == Outcome::Other || reference.outcome == Outcome::Died) {
        return Finding{"reference", "the reference viewer " + describe(reference)};
    }
    if (windows.outcome == Outcome::Died) {
        // Under QEMU a fault can kill wine's own code where Windows would
        // hand it to the program's handler: QEMU raises a bad read as an
        // illegal instruction (0xC000001D), which wine's handlers for access
        // violations do not catch, and it cannot always deliver a fault on an
        // exhausted stack at all.
        const bool artefact = lane == Lane::Qemu && (reference.outcome == Outcome::Misbehaves ||
                                                     windows.message.find("0xC000001D") != std::string::npos ||
                                                     windows.message.find("qemu: uncaught") != std::string::npos);
        return Finding{"died", "reference " + describe(reference) + "; Windows " + describe(windows), artefact};
    }
    if (windows.outcome == Outcome::Other) return Finding{"answer", "Windows " + describe(windows)};
    if (reference.status != windows.status) {
        return Finding{"status", "reference " + describe(reference) + "; Windows " + describe(windows),
                       lane == Lane::Qemu && qemu_fault_in_wine(windows.message)};
    }
    if (reference.outcome == Outcome::Misbehaves) {
        if (reference.routine != windows.routine) {
            return Finding{"routine", "reference: " + reference.message + "; Windows: " + windows.message};
        }
        if (!reference.fault.empty() && !windows.fault.empty() && reference.fault != windows.fault) {
            // QEMU raises some faults as others (a read of address 0 as an
            // illegal instruction, a division by zero as a float fault).
            return Finding{"fault", "reference: " + reference.message + "; Windows: " + windows.message,
                           lane == Lane::Qemu};
        }
        return std::nullopt;
    }
    if (reference.outcome != Outcome::Shows) return std::nullopt;

    nlohmann::json a = reference.document, b = windows.document;
    unmove(a, b);
    const nlohmann::json wa = a.value("warnings", nlohmann::json()), wb = b.value("warnings", nlohmann::json());
    a.erase("warnings");
    b.erase("warnings");
    if (a != b) {
        const nlohmann::json patch = nlohmann::json::diff(a, b);
        const std::string where = patch.empty() ? "" : patch[0].value("path", "");
        const nlohmann::json::json_pointer at(where);
        const auto shown = [&](const nlohmann::json& j) { return j.contains(at) ? j.at(at).dump() : "nothing"; };
        return Finding{"document", where + ": reference " + shown(a) + ", Windows " + shown(b)};
    }
    if (comparable_warnings(wa) != comparable_warnings(wb)) {
        return Finding{"warnings", "reference " + wa.dump() + ", Windows " + wb.dump(),
                       lane == Lane::Qemu && qemu_fault_in_wine(wb.dump())};
    }
    if (reference.picture.empty() != windows.picture.empty()) {
        return Finding{"picture",
                       reference.picture.empty() ? "only Windows wrote a picture" : "Windows wrote no picture"};
    }
    if (!reference.picture.empty()) {
        if (std::string d = picture_difference(reference.picture, windows.picture); !d.empty()) {
            return Finding{"picture", d};
        }
    }
    return std::nullopt;
}

std::string windows_path(const std::string& path) {
    std::string out = "Z:" + path;
    for (auto& c : out) c = c == '/' ? '\\' : c;
    return out;
}

std::string unix_path(const std::string& path) {
    if (path.size() < 3 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':' || path[2] != '\\') return path;
    std::string out = path.substr(2);
    for (auto& c : out) c = c == '\\' ? '/' : c;
    return out;
}

}  // namespace q7windiff
