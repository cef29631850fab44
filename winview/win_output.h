// What the module prints to its standard output and error, kept as the
// reference host keeps it (at most calling::kKeptOutput bytes, and whether
// more was cut). The module and this program share msvcrt.dll, so its
// printf writes into this program's file descriptors 1 and 2: while module
// code runs (a Capture is alive), those point at a temporary file of their
// own in binary mode, read back when the code has returned.
#pragma once

#include <string>

namespace q7win {

class ModuleOutput {
public:
    ModuleOutput();
    ~ModuleOutput();
    ModuleOutput(const ModuleOutput&) = delete;
    ModuleOutput& operator=(const ModuleOutput&) = delete;

    void clear();
    const std::string& text() const { return text_; }
    bool truncated() const { return truncated_; }

    // Output is captured from construction to destruction; captures nest.
    class Capture {
    public:
        explicit Capture(ModuleOutput& output) : output_(output) { output_.begin(); }
        ~Capture() { output_.end(); }
        Capture(const Capture&) = delete;
        Capture& operator=(const Capture&) = delete;

    private:
        ModuleOutput& output_;
    };

private:
    void begin();
    void end();

    int file_ = -1;            // the temporary file; -1: it could not be made, and nothing is captured
    int saved_[2] = {-1, -1};  // descriptors 1 and 2 as they were
    int depth_ = 0;
    std::string text_;
    bool truncated_ = false;
};

}  // namespace q7win
