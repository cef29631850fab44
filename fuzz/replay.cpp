#include "fuzz/replay.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <list>

namespace q7fuzz {

namespace {

using Clock = std::chrono::steady_clock;

// What the runner keeps of a case's output: enough to judge it, never all
// of a run that writes without end.
constexpr std::size_t kKeptOutput = 16u << 20, kKeptError = 64u << 10;

struct Stream {
    int fd = -1;
    std::string text;
    std::size_t total = 0;
    // Reads what is there; false once the writer has closed its end.
    bool drain(std::size_t keep) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                if (text.size() < keep)
                    text.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), keep - text.size()));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            ::close(fd);
            fd = -1;
            return false;
        }
    }
};

struct Running {
    Outcome outcome;
    unsigned slot = 0;
    pid_t pid = -1;
    Stream out, err;
    Clock::time_point start;
    bool exited = false;
    int wait_status = 0;
};

std::uint64_t resident_kib(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) / 1024);
}

bool start(Running& r, const std::vector<std::string>& args, const std::string& work) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    r.start = Clock::now();
    r.pid = fork();
    if (r.pid == 0) {
        const int null = ::open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (chdir(work.c_str()) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (r.pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return false;
    }
    r.out.fd = out[0];
    r.err.fd = err[0];
    fcntl(r.out.fd, F_SETFL, O_NONBLOCK);
    fcntl(r.err.fd, F_SETFL, O_NONBLOCK);
    return true;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t nl = text.find('\n', from);
        out.push_back(text.substr(from, nl == std::string::npos ? std::string::npos : nl - from));
        if (nl == std::string::npos) break;
        from = nl + 1;
    }
    return out;
}

void judge(Outcome& o, const Limits& limits, std::size_t stdout_total) {
    auto fail = [&o](std::string why) { o.failures.push_back(std::move(why)); };
    const auto mib = [](std::uint64_t kib) { return std::to_string(kib / 1024) + " MiB"; };
    if (o.timed_out) fail("still running after " + std::to_string(limits.wall.count()) + " ms (killed)");
    if (o.over_memory) fail("resident memory passed " + mib(limits.rss_kib) + " (killed)");
    if (o.signal && !o.timed_out && !o.over_memory)
        fail("ended by signal " + std::to_string(o.signal) + " (" + strsignal(o.signal) + ")");
    if (!o.signal && (o.status < 0 || o.status > 3)) fail("exit status " + std::to_string(o.status));
    if (!o.signal && o.c->expect >= 0 && o.status != o.c->expect) {
        fail("exit status " + std::to_string(o.status) + ", expected " + std::to_string(o.c->expect));
    }
    if (!o.over_memory && o.peak_rss_kib > limits.rss_kib) fail("peak resident memory " + mib(o.peak_rss_kib));
    const auto lines = lines_of(o.stderr_text);
    if (lines.size() > 1) fail(std::to_string(lines.size()) + " lines on standard error");
    if (!o.signal && o.status != 0 && lines.empty())
        fail("exit status " + std::to_string(o.status) + " with nothing on standard error");
    for (const char* marker : {"Sanitizer", "runtime error:", "terminate called", "tcg fatal", "Assertion"}) {
        if (o.stderr_text.find(marker) != std::string::npos) {
            fail(std::string("a report on standard error (\"") + marker + "\")");
            break;
        }
    }
    if (lines.size() == 1 && lines.front().rfind("quorlan7-view: ", 0) != 0)
        fail("standard error is not the viewer's message");
    if (!o.signal && o.status == 0 && !o.stdout_is_json && stdout_total <= kKeptOutput)
        fail("exit status 0 without JSON on standard output");
}

}  // namespace

std::vector<std::string> viewer_arguments(const ReplayOptions& o, const Case& c, unsigned slot) {
    std::vector<std::string> args{o.viewer, "--module", c.module, "--json", "--prev", "1", "--click", "26,68"};
    if (c.picture_scale > 0) {
        args.insert(args.end(), {"--png", o.work + "/picture-" + std::to_string(slot) + ".png", "--scale",
                                 std::to_string(c.picture_scale)});
    }
    return args;
}

std::vector<Outcome> replay(const std::vector<Case>& cases, const ReplayOptions& o,
                            const std::function<void(const Outcome&)>& done) {
    std::vector<Outcome> outcomes;
    std::list<Running> running;
    std::vector<bool> slot_busy(std::max(1u, o.jobs), false);
    std::size_t next = 0;
    while (next < cases.size() || !running.empty()) {
        while (running.size() < slot_busy.size() && next < cases.size()) {
            const Case& c = cases[next++];
            Running& r = running.emplace_back();
            r.outcome.c = &c;
            for (unsigned s = 0; s < slot_busy.size(); ++s) {
                if (!slot_busy[s]) {
                    r.slot = s;
                    break;
                }
            }
            slot_busy[r.slot] = true;
            if (c.prepare) c.prepare();
            if (!start(r, viewer_arguments(o, c, r.slot), o.work)) {
                r.outcome.failures.push_back(std::string("cannot start the viewer: ") + std::strerror(errno));
                r.exited = true;
            }
        }

        std::vector<pollfd> fds;
        for (const Running& r : running) {
            for (int fd : {r.out.fd, r.err.fd}) {
                if (fd >= 0) fds.push_back({fd, POLLIN, 0});
            }
        }
        poll(fds.data(), fds.size(), 5);

        for (auto it = running.begin(); it != running.end();) {
            Running& r = *it;
            if (r.out.fd >= 0) r.out.drain(kKeptOutput);
            if (r.err.fd >= 0) r.err.drain(kKeptError);
            if (!r.exited && r.pid > 0) {
                rusage usage{};
                if (wait4(r.pid, &r.wait_status, WNOHANG, &usage) == r.pid) {
                    r.exited = true;
                    r.outcome.seconds = std::chrono::duration<double>(Clock::now() - r.start).count();
                    r.outcome.peak_rss_kib = static_cast<std::uint64_t>(usage.ru_maxrss);
                } else if (Clock::now() - r.start > o.limits.wall) {
                    r.outcome.timed_out = true;
                    kill(r.pid, SIGKILL);
                } else if (!r.outcome.timed_out && resident_kib(r.pid) > o.limits.rss_kib) {
                    r.outcome.over_memory = true;
                    kill(r.pid, SIGKILL);
                }
            }
            // Done once it has exited and both its pipes are closed.
            if (!r.exited || r.out.fd >= 0 || r.err.fd >= 0) {
                ++it;
                continue;
            }
            Outcome& out = r.outcome;
            if (r.pid > 0) {
                if (WIFSIGNALED(r.wait_status))
                    out.signal = WTERMSIG(r.wait_status);
                else
                    out.status = WEXITSTATUS(r.wait_status);
                out.stderr_text = std::move(r.err.text);
                out.stdout_is_json = nlohmann::json::accept(r.out.text);
                judge(out, o.limits, r.out.total);
            }
            slot_busy[r.slot] = false;
            if (done) done(out);
            outcomes.push_back(std::move(out));
            it = running.erase(it);
        }
    }
    return outcomes;
}

}  // namespace q7fuzz
