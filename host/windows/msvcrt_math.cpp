// msvcrt's mathematics: the functions of math.h with msvcrt's math errors (the module's _matherr,
// registered with __setusermatherr, is asked first; otherwise errno is EDOM or ERANGE), the
// floating-point control and status words of the x87 and SSE units, and rand.
#include "windows_internal.h"

#include <cmath>
#include <cstring>
#include <iterator>

namespace q7host::win {

namespace {

// The kinds of math error msvcrt's struct _exception names.
enum MathError : std::int32_t { kDomain = 1, kSingularity = 2, kOverflow = 3, kUnderflow = 4 };

// A math error: the module's _matherr gets a struct _exception {type, name,
// arg1, arg2, retval} on its stack, as msvcrt builds it; when it returns
// nonzero the result is the retval it left, otherwise errno says the error
// (an underflow sets none).
double math_error(CdeclCalling& c, MathError type, const char* name, double arg1, double arg2, double result) {
    if (const Addr handler = c.process.matherr) {
        const Addr record = (c.stub().stack_pointer() - 16 - 64) & ~7u;
        Machine& m = c.machine;
        m.write<std::int32_t>(record, type);
        m.write<std::uint32_t>(record + 4, record + 32);
        m.write<double>(record + 8, arg1);
        m.write<double>(record + 16, arg2);
        m.write<double>(record + 24, result);
        m.write_bytes(record + 32, name, std::strlen(name) + 1);
        const CallOutcome out =
            c.stub().call_module(handler, {record}, {.convention = Convention::kCdecl, .stack = record});
        if (!out.completed) return result;
        if (out.eax) return m.read<double>(record + 24);
    }
    if (type == kDomain) set_errno(c, kEdom);
    if (type == kSingularity || type == kOverflow) set_errno(c, kErange);
    return result;
}

void __setusermatherr(Cdecl& c, Addr handler) { c.process.matherr = handler; }

// Each function with the cases in which msvcrt reports a math error.
double sqrt_(CdeclCalling& c, double x) {
    const double r = std::sqrt(x);
    return x < 0 ? math_error(c, kDomain, "sqrt", x, 0, r) : r;
}
double sin_(CdeclCalling& c, double x) {
    const double r = std::sin(x);
    return std::isfinite(x) ? r : math_error(c, kDomain, "sin", x, 0, r);
}
double cos_(CdeclCalling& c, double x) {
    const double r = std::cos(x);
    return std::isfinite(x) ? r : math_error(c, kDomain, "cos", x, 0, r);
}
double tan_(CdeclCalling& c, double x) {
    const double r = std::tan(x);
    return std::isfinite(x) ? r : math_error(c, kDomain, "tan", x, 0, r);
}
// acos and asin as atan2 of the other side, which keeps their precision near
// +-1 (what msvcrt computes, not the x87's 1 - x*x).
double acos_(CdeclCalling& c, double x) {
    const double r = std::atan2(std::sqrt((1 - x) * (1 + x)), x);
    return x < -1 || x > 1 || !std::isfinite(x) ? math_error(c, kDomain, "acos", x, 0, r) : r;
}
double asin_(CdeclCalling& c, double x) {
    const double r = std::atan2(x, std::sqrt((1 - x) * (1 + x)));
    return x < -1 || x > 1 || !std::isfinite(x) ? math_error(c, kDomain, "asin", x, 0, r) : r;
}
double atan_(CdeclCalling& c, double x) {
    const double r = std::atan(x);
    return std::isnan(x) ? math_error(c, kDomain, "atan", x, 0, r) : r;
}
double atan2_(CdeclCalling& c, double y, double x) {
    const double r = std::atan2(y, x);
    return std::isnan(y) ? math_error(c, kDomain, "atan2", y, x, r) : r;
}
double sinh_(CdeclCalling& c, double x) {
    const double r = std::sinh(x);
    return std::isnan(x) ? math_error(c, kDomain, "sinh", x, 0, r) : r;
}
double cosh_(CdeclCalling& c, double x) {
    const double r = std::cosh(x);
    return std::isnan(x) ? math_error(c, kDomain, "cosh", x, 0, r) : r;
}
double tanh_(CdeclCalling& c, double x) {
    const double r = std::tanh(x);
    return std::isnan(x) ? math_error(c, kDomain, "tanh", x, 0, r) : r;
}
double exp_(CdeclCalling& c, double x) {
    const double r = std::exp(x);
    if (std::isnan(x)) return math_error(c, kDomain, "exp", x, 0, r);
    if (std::isfinite(x) && r == 0) return math_error(c, kUnderflow, "exp", x, 0, r);
    if (std::isfinite(x) && !std::isfinite(r)) return math_error(c, kOverflow, "exp", x, 0, r);
    return r;
}
double log_(CdeclCalling& c, double x) {
    const double r = std::log(x);
    if (x < 0) return math_error(c, kDomain, "log", x, 0, r);
    return x == 0 ? math_error(c, kSingularity, "log", x, 0, r) : r;
}
double log10_(CdeclCalling& c, double x) {
    const double r = std::log10(x);
    if (x < 0) return math_error(c, kDomain, "log10", x, 0, r);
    return x == 0 ? math_error(c, kSingularity, "log10", x, 0, r) : r;
}
double pow_(CdeclCalling& c, double x, double y) {
    const double z = std::pow(x, y);
    if (x < 0 && y != std::floor(y)) return math_error(c, kDomain, "pow", x, y, z);
    if (x == 0 && std::isfinite(y) && y < 0) return math_error(c, kSingularity, "pow", x, y, z);
    if (std::isfinite(x) && std::isfinite(y) && !std::isfinite(z)) return math_error(c, kOverflow, "pow", x, y, z);
    if (x != 0 && std::isfinite(x) && std::isfinite(y) && z == 0) return math_error(c, kUnderflow, "pow", x, y, z);
    return z;
}
double fmod_(CdeclCalling& c, double x, double y) {
    const double r = std::fmod(x, y);
    return std::isfinite(x) && std::isfinite(y) ? r : math_error(c, kDomain, "fmod", x, y, r);
}
double ldexp_(CdeclCalling& c, double x, std::int32_t e) {
    const double r = std::ldexp(x, e);
    if (std::isfinite(x) && !std::isfinite(r)) return math_error(c, kOverflow, "ldexp", x, e, r);
    if (std::isfinite(x) && x != 0 && r == 0) return math_error(c, kUnderflow, "ldexp", x, e, r);
    return r;
}
double _hypot(CdeclCalling& c, double x, double y) {
    const double r = std::hypot(x, y);
    return std::isfinite(x) && std::isfinite(y) && !std::isfinite(r) ? math_error(c, kOverflow, "_hypot", x, y, r) : r;
}
double floor_(Cdecl&, double x) { return std::floor(x); }
double ceil_(Cdecl&, double x) { return std::ceil(x); }
double fabs_(Cdecl&, double x) { return std::fabs(x); }
double frexp_(Cdecl& c, double x, Ptr<std::int32_t> exponent) {
    int e = 0;
    const double m = std::frexp(x, &e);
    c.write(exponent, static_cast<std::int32_t>(e));
    return m;
}
double modf_(Cdecl& c, double x, Ptr<double> whole) {
    double w = 0;
    const double f = std::modf(x, &w);
    c.write(whole, w);
    return f;
}
std::int32_t _isnan(Cdecl&, double x) { return std::isnan(x) ? 1 : 0; }
std::int32_t _finite(Cdecl&, double x) { return std::isfinite(x) ? 1 : 0; }

// --- the floating-point control and status words ------------------------

// msvcrt's control word: exception masks, rounding, precision and infinity
// control in bits of its own, for the x87 and the SSE unit together.
constexpr std::uint32_t kEmInexact = 0x1, kEmUnderflow = 0x2, kEmOverflow = 0x4, kEmZeroDivide = 0x8, kEmInvalid = 0x10,
                        kEmDenormal = 0x80000, kMcwEm = 0x8001F;
constexpr std::uint32_t kRcDown = 0x100, kRcUp = 0x200, kMcwRc = 0x300;
constexpr std::uint32_t kPc24 = 0x20000, kPc53 = 0x10000, kMcwPc = 0x30000, kIcAffine = 0x40000;
constexpr std::uint32_t kDnFlush = 0x01000000, kDnFlushOperands = 0x02000000, kDnFlushResults = 0x03000000,
                        kMcwDn = 0x03000000;
constexpr std::uint32_t kEmAmbiguous = 0x80000000;
// The exception bits in the order of the x87's and SSE's masks and flags:
// invalid, denormal, zero divide, overflow, underflow, inexact.
constexpr std::uint32_t kExceptionBits[] = {kEmInvalid,  kEmDenormal,  kEmZeroDivide,
                                            kEmOverflow, kEmUnderflow, kEmInexact};

std::uint32_t from_x87(std::uint16_t cw) {
    std::uint32_t flags = 0;
    for (unsigned i = 0; i < 6; ++i) {
        if (cw & (1u << i)) flags |= kExceptionBits[i];
    }
    flags |= (cw >> 10 & 1 ? kRcDown : 0) | (cw >> 11 & 1 ? kRcUp : 0);
    const unsigned pc = cw >> 8 & 3;
    flags |= pc == 0 ? kPc24 : pc == 2 ? kPc53 : 0;
    if (cw & 0x1000) flags |= kIcAffine;
    return flags;
}
std::uint16_t to_x87(std::uint32_t flags, std::uint16_t old) {
    std::uint16_t cw = old & 0xE0C0;  // the reserved bits stay as they are
    for (unsigned i = 0; i < 6; ++i) {
        if (flags & kExceptionBits[i]) cw |= static_cast<std::uint16_t>(1u << i);
    }
    if (flags & kRcDown) cw |= 0x400;
    if (flags & kRcUp) cw |= 0x800;
    const std::uint32_t pc = flags & kMcwPc;
    cw |= pc == kPc24 ? 0x000 : pc == kPc53 ? 0x200 : 0x300;
    if (flags & kIcAffine) cw |= 0x1000;
    return cw;
}
std::uint32_t from_sse(std::uint32_t mxcsr) {
    std::uint32_t flags = 0;
    for (unsigned i = 0; i < 6; ++i) {
        if (mxcsr & (0x80u << i)) flags |= kExceptionBits[i];
    }
    flags |= (mxcsr >> 13 & 1 ? kRcDown : 0) | (mxcsr >> 14 & 1 ? kRcUp : 0);
    const bool daz = mxcsr & 0x40, ftz = mxcsr & 0x8000;
    flags |= daz && ftz ? kDnFlush : daz ? kDnFlushOperands : ftz ? kDnFlushResults : 0;
    return flags;
}
std::uint32_t to_sse(std::uint32_t flags, std::uint32_t old) {
    std::uint32_t mxcsr = old & ~0xFFC0u;
    for (unsigned i = 0; i < 6; ++i) {
        if (flags & kExceptionBits[i]) mxcsr |= 0x80u << i;
    }
    if (flags & kRcDown) mxcsr |= 0x2000;
    if (flags & kRcUp) mxcsr |= 0x4000;
    const std::uint32_t dn = flags & kMcwDn;
    if (dn == kDnFlush || dn == kDnFlushOperands) mxcsr |= 0x40;
    if (dn == kDnFlush || dn == kDnFlushResults) mxcsr |= 0x8000;
    return mxcsr;
}

// The caller's registers, to go on with after the function: past its return
// address (cdecl), `eax` the result.
Registers returning(CdeclCalling& c, std::uint32_t eax) {
    Registers r = c.stub().registers();
    r.eip = c.machine.read(c.stub().stack_pointer());
    r.esp = c.stub().stack_pointer() + 4;
    r.eax = eax;
    return r;
}

// Sets the bits `mask` selects in both units to those of `value`; gives the
// word after, flagged ambiguous where the two units differ.
std::uint32_t control(CdeclCalling& c, std::uint32_t value, std::uint32_t mask) {
    const Registers now = c.stub().registers();
    std::uint32_t x87 = from_x87(now.fpu_control), sse = from_sse(now.mxcsr);
    x87 = (x87 & ~mask) | (value & mask);
    sse = (sse & ~mask) | (value & mask);
    Registers r = returning(c, 0);
    r.fpu_control = to_x87(x87, now.fpu_control);
    r.mxcsr = to_sse(sse, now.mxcsr);
    x87 = from_x87(r.fpu_control);
    sse = from_sse(r.mxcsr);
    r.eax = x87 | sse | ((x87 ^ sse) & (kMcwEm | kMcwRc) ? kEmAmbiguous : 0);
    c.stub().resume_with(r);
    return r.eax;
}
std::uint32_t _control87(CdeclCalling& c, std::uint32_t value, std::uint32_t mask) { return control(c, value, mask); }
// _controlfp leaves the denormal exception's mask alone.
std::uint32_t _controlfp(CdeclCalling& c, std::uint32_t value, std::uint32_t mask) {
    return control(c, value, mask & ~kEmDenormal);
}
// The x87 as fninit leaves it with msvcrt's control word 0x27F (53-bit
// precision, every exception masked), SSE every exception masked and flag clear.
void _fpreset(CdeclCalling& c) {
    Registers r = returning(c, c.stub().registers().eax);
    r.fpu_control = 0x27F;
    r.fpu_status &= 0x3800;  // the stack top stays; the exception flags go
    r.mxcsr = 0x1F80;
    c.stub().resume_with(r);
}
// The exception flags both units raised, in msvcrt's bits (_SW_INEXACT ... _SW_DENORMAL).
std::uint32_t status_of(const Registers& r) {
    std::uint32_t flags = 0;
    for (unsigned i = 0; i < 6; ++i) {
        if ((r.fpu_status | r.mxcsr) & (1u << i)) flags |= kExceptionBits[i];
    }
    return flags;
}
std::uint32_t _statusfp(Cdecl& c) { return status_of(c.stub().registers()); }
std::uint32_t _clearfp(CdeclCalling& c) {
    Registers r = returning(c, status_of(c.stub().registers()));
    r.fpu_status &= ~0x80FFu;  // exception flags, stack fault, error summary, busy
    r.mxcsr &= ~0x3Fu;
    c.stub().resume_with(r);
    return r.eax;
}

// --- random numbers ---------------------------------------------------------

// msvcrt's generator: seed * 214013 + 2531011, bits 16..30 of the seed.
std::int32_t rand_(Cdecl& c) {
    std::uint32_t& seed = c.process.rand_seed;
    seed = seed * 214013u + 2531011u;
    return static_cast<std::int32_t>((seed >> 16) & 0x7FFF);
}
void srand_(Cdecl& c, std::uint32_t seed) { c.process.rand_seed = seed; }

constexpr Export kExports[] = {
    fn<&__setusermatherr>("__setusermatherr"),
    fn<&_clearfp>("_clearfp"),
    fn<&_control87>("_control87"),
    fn<&_controlfp>("_controlfp"),
    fn<&_finite>("_finite"),
    fn<&_fpreset>("_fpreset"),
    fn<&_hypot>("_hypot"),
    fn<&_isnan>("_isnan"),
    fn<&_statusfp>("_statusfp"),
    fn<&acos_>("acos"),
    fn<&asin_>("asin"),
    fn<&atan_>("atan"),
    fn<&atan2_>("atan2"),
    fn<&ceil_>("ceil"),
    fn<&cos_>("cos"),
    fn<&cosh_>("cosh"),
    fn<&exp_>("exp"),
    fn<&fabs_>("fabs"),
    fn<&floor_>("floor"),
    fn<&fmod_>("fmod"),
    fn<&frexp_>("frexp"),
    fn<&ldexp_>("ldexp"),
    fn<&log_>("log"),
    fn<&log10_>("log10"),
    fn<&modf_>("modf"),
    fn<&pow_>("pow"),
    fn<&rand_>("rand"),
    fn<&sin_>("sin"),
    fn<&sinh_>("sinh"),
    fn<&sqrt_>("sqrt"),
    fn<&srand_>("srand"),
    fn<&tan_>("tan"),
    fn<&tanh_>("tanh"),
};

}  // namespace

const DllTable kMsvcrtMath{"msvcrt.dll", std::begin(kExports), std::end(kExports)};

}  // namespace q7host::win
