// Test-only: compiled into the cxx-runtime variant of the module
// (module/variants.cmake), never into quorlan7.gau. A static object whose
// constructor runs in the C runtime's start-up, before DllMain, using the C++
// library as an ordinary module would (strings, a vector, a string stream, an
// exception thrown and caught), and whose destructor runs when the module is
// unloaded. Each prints one line on standard output:
//
//   cxx-runtime: constructed: 4 words, caught "no such waypoint: XX", 2.5 GGATE NIMIT SFINT XX
//   cxx-runtime: destroyed
//
// and the constructor's line is also kept in q7_cxx_runtime_line, which the
// module exports for the tests to read.
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" __declspec(dllexport) char q7_cxx_runtime_line[128];
char q7_cxx_runtime_line[128] = {};

namespace {

std::string find_waypoint(const std::vector<std::string>& known, const std::string& ident) {
    for (const std::string& k : known) {
        if (k == ident) return k;
    }
    throw std::invalid_argument("no such waypoint: " + ident);
}

class StartUpCheck {
public:
    StartUpCheck() : words_{"GGATE", "NIMIT", "SFINT"} {
        words_.push_back(std::string(2, 'X'));
        std::ostringstream line;
        line << words_.size() << " words, ";
        try {
            find_waypoint({words_.begin(), words_.end() - 1}, words_.back());
            line << "nothing thrown";
        } catch (const std::exception& e) {
            line << "caught \"" << e.what() << "\"";
        }
        line << ", " << 2.5;
        for (const std::string& w : words_) line << ' ' << w;
        std::snprintf(q7_cxx_runtime_line, sizeof q7_cxx_runtime_line, "cxx-runtime: constructed: %s",
                      line.str().c_str());
        std::printf("%s\n", q7_cxx_runtime_line);
        std::fflush(stdout);
    }
    ~StartUpCheck() {
        std::puts("cxx-runtime: destroyed");
        std::fflush(stdout);
    }

private:
    std::vector<std::string> words_;
};

StartUpCheck check;

}  // namespace
