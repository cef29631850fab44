// The real quorlan7.gau as the tests that change it one thing at a time see
// it: its bytes, its parsed image and its anatomy, read once per program, and
// its structured mutants by label.
#pragma once

#include "fuzz/mutants.h"
#include "fuzz/pe_edit.h"
#include "host/pe_image.h"

namespace q7test {

using q7fuzz::Bytes;

struct ModuleFile {
    Bytes file;
    q7host::PeImage image;
    q7fuzz::Anatomy anatomy;

    // Throws (failing the test that asks) when the built module cannot be read.
    static const ModuleFile& get();
    std::uint32_t offset(std::uint32_t rva) const { return anatomy.offset(rva); }
    // A structured mutant of the seed corpus, by its label.
    Bytes mutant(const char* label) const;
    // The file with `code` written over what lies at `rva`.
    Bytes with_code(std::uint32_t rva, const Bytes& code) const;
};

}  // namespace q7test
