#include "tools/guarded_main.h"

#include <cstdio>
#include <exception>
#include <new>

namespace q7tools {

int guarded_main(const char* program, int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", program);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: internal error: %s\n", program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: internal error\n", program);
    }
    return 1;
}

}  // namespace q7tools
