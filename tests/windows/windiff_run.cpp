#include "windiff_run.h"

#include "tools/view_scene.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace q7windiff {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kKeptError = 64u << 10;

std::string read_file(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string last_lines(const std::string& text, int n) {
    std::size_t at = text.size();
    while (at > 0 && text[at - 1] == '\n') --at;
    const std::size_t end = at;
    for (int i = 0; i < n && at > 0; ++i) {
        at = text.rfind('\n', at - 1);
        if (at == std::string::npos) {
            at = 0;
            break;
        }
    }
    std::string out = text.substr(at, end - at);
    while (!out.empty() && out.front() == '\n') out.erase(0, 1);
    for (auto& c : out) c = c == '\n' ? ' ' : c;
    return out;
}

}  // namespace

std::string Run::ended() const {
    if (timed_out) return "no answer within the time limit (killed)";
    if (signal) return "signal " + std::to_string(signal);
    return "status " + std::to_string(status);
}

Run run_child(const std::vector<std::string>& argv, const std::string& err_file, std::chrono::milliseconds first,
              std::chrono::milliseconds next, const std::function<void(const std::string&)>& on_line) {
    Run run;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        run.err = "cannot make a pipe";
        return run;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err, 2);
        execv(args[0], args.data());
        _exit(127);
    }
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        run.err = "cannot start " + argv[0];
        return run;
    }
    setpgid(pid, pid);
    fcntl(out[0], F_SETFL, O_NONBLOCK);

    std::string pending;
    auto deadline = Clock::now() + first;
    bool open = true, exited = false;
    int wait_status = 0;
    const auto take = [&](const char* data, std::size_t n) {
        pending.append(data, n);
        if (!on_line) return;
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
            on_line(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            deadline = Clock::now() + next;
        }
    };
    while (!exited) {
        if (open) {
            pollfd p{out[0], POLLIN, 0};
            poll(&p, 1, 50);
            char buf[65536];
            for (;;) {
                const ssize_t n = ::read(out[0], buf, sizeof buf);
                if (n > 0) {
                    take(buf, static_cast<std::size_t>(n));
                    continue;
                }
                if (n == 0) open = false;
                if (n < 0 && errno == EINTR) continue;
                break;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (waitpid(pid, &wait_status, WNOHANG) == pid) {
            exited = true;
        } else if (Clock::now() > deadline) {
            run.timed_out = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &wait_status, 0);
            exited = true;
        }
    }
    // What the program wrote before it ended is in the pipe; anything it left
    // running may still hold the pipe open, so only what is there is read.
    char buf[65536];
    for (ssize_t n; open && (n = ::read(out[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        take(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (on_line && !pending.empty() && !run.timed_out) on_line(pending);
    if (!on_line) run.out = pending;
    run.err = read_file(err_file, kKeptError);
    if (!run.timed_out) {
        if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
        if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
    }
    return run;
}

BatchResult run_batches(const std::vector<std::string>& lines, const std::vector<std::string>& modules,
                        const BatchSide& side) {
    BatchResult result;
    std::size_t at = 0;
    int silent = 0;
    while (at < lines.size()) {
        const std::size_t end = std::min(lines.size(), at + side.batch_size);
        const std::string file = side.work + "/" + side.name + "-" + std::to_string(result.processes + 1) + ".txt";
        {
            std::ofstream batch(file, std::ios::trunc);
            for (std::size_t i = at; i < end; ++i) batch << lines[i] << "\n";
        }
        std::vector<std::string> argv = side.command;
        argv.push_back("--batch");
        argv.push_back(windows_path(file));
        std::size_t answered = 0;
        std::string noise;
        const Run run = run_child(argv, file + ".err", side.first, side.next, [&](const std::string& text) {
            // Answers are JSON objects; anything else on the output (wine's
            // own words) is no answer.
            if (text.find_first_not_of(" \t\r") == std::string::npos || text[text.find_first_not_of(" \t\r")] != '{') {
                noise = text.substr(0, 200);
                return;
            }
            if (at + answered >= end) return;
            const std::size_t i = at + answered++;
            nlohmann::json line;
            try {
                line = nlohmann::json::parse(text);
            } catch (const nlohmann::json::exception&) {
                Verdict v;
                v.message = "an answer that is not JSON: " + text.substr(0, 200);
                result.verdicts.push_back(v);
                return;
            }
            Verdict v = windows_verdict(line, modules[i]);
            // An answer is for the line it names; one that names another
            // means the answers have slipped.
            if (const auto args = line.find("args"); args != line.end() && v.outcome != Outcome::Other) {
                std::string named;
                if (args->is_string()) named = args->get<std::string>();
                if (args->is_array()) {
                    for (const auto& a : *args)
                        named += (named.empty() ? "" : " ") + (a.is_string() ? a.get<std::string>() : a.dump());
                }
                if (words(named) != words(lines[i])) {
                    v = Verdict{};
                    v.message = "the answer names other arguments: " + named.substr(0, 200);
                }
            }
            result.verdicts.push_back(v);
        });
        ++result.processes;
        at += answered;
        // A batch the program ended on purpose after an answered line (its
        // loader unusable) goes on in a new process from the next line.
        const bool stopped = run.status == q7view::kBatchStopped && answered > 0 && !run.timed_out;
        if (at < end && !stopped) {
            Verdict v;
            v.outcome = Outcome::Died;
            v.message = "the Windows program ended with " + run.ended() + " before answering";
            if (run.timed_out) v.message = "the Windows program gave " + run.ended();
            if (const std::string said = last_lines(run.err, 2); !said.empty()) v.message += "; it said: " + said;
            if (!noise.empty()) v.message += "; and on its output: " + noise;
            result.verdicts.push_back(v);
            ++at;
        }
        silent = answered == 0 ? silent + 1 : 0;
        if (silent >= 5 && at < lines.size() && side.lane_down) {
            if (std::string why = side.lane_down(); !why.empty()) {
                result.broke_down = why;
                return result;
            }
            silent = 0;
        }
    }
    return result;
}

int serve_batch(const std::string& viewer, const std::string& batch_file,
                const std::map<std::string, std::string>& plants) {
    std::ifstream in(batch_file);
    if (!in) {
        std::cerr << "cannot read the batch file " << batch_file << "\n";
        return 2;
    }
    char dir_template[] = "/tmp/quorlan7-stand-in-XXXXXX";
    const std::string dir = mkdtemp(dir_template) ? dir_template : "/tmp";
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> argv{viewer};
        for (const auto& w : words(line)) argv.push_back(unix_path(w));
        std::string plant;
        for (const auto& [text, kind] : plants) {
            if (line.find(text) != std::string::npos) plant = kind;
        }
        if (plant == "die") return 3;
        if (plant == "hang") std::this_thread::sleep_for(std::chrono::hours(1));
        const Run run = run_child(argv, dir + "/err", std::chrono::seconds(60), std::chrono::seconds(60));
        nlohmann::json answer{{"args", words(line)}, {"status", run.status}};
        if (run.status == 0) {
            nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
            if (plant == "document") doc["readouts"]["ident"] = "PLANT";
            if (plant == "warnings")
                doc["warnings"].push_back("bitmap 0x9999 cannot be found (planted); it is not drawn");
            answer["document"] = doc;
            if (plant == "picture" && doc.contains("png")) {
                std::string error;
                const std::string png = unix_path(doc["png"].get<std::string>());
                if (auto image = q7host::read_png(png, error)) {
                    const q7host::Rgb c = image->at(0, 0);
                    image->set(0, 0, {static_cast<std::uint8_t>(c.r ^ 1), c.g, c.b});
                    q7host::write_png(png, *image, error);
                }
            }
        } else {
            std::string error = run.err.substr(0, run.err.find('\n'));
            if (plant == "routine") {
                for (const char* r : {"GaugeInstall", "entry routine", "text_callback", "mouse handler"}) {
                    if (const auto p = error.find(r); p != std::string::npos) {
                        error.replace(p, std::char_traits<char>::length(r), "GaugeUninstall");
                        break;
                    }
                }
            }
            if (plant == "fault") {
                if (const auto p = error.find("(0xC"); p != std::string::npos) error.replace(p + 1, 10, "0xC000001D");
            }
            answer["error"] = error;
        }
        if (plant == "status") answer = {{"args", words(line)}, {"status", 2}, {"error", "planted refusal"}};
        std::cout << answer.dump(-1, ' ', true) << std::endl;
    }
    return 0;
}

}  // namespace q7windiff
