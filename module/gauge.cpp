#include "module/gauge.h"

#include "display/elements.h"
#include "display/mouse_rects.h"

constinit GaugeHeader gauge_header = {
    .fixed_610 = 610,
    .gauge_name = "quorlan7",
    .element_list = gauge_elements,
    .routine_1 = GaugeRoutine1,
    .install = GaugeInstall,
    .routine_3 = GaugeRoutine3,
    .routine_4 = GaugeRoutine4,
    .routine_5 = GaugeRoutine5,
    .routine_6 = GaugeRoutine6,
    .uninstall = GaugeUninstall,
    .reserved = 0,
    .fixed_100 = 100,
};

extern "C" {
constinit LinkageRecord Linkage = {
    .module_id = 0x13,
    .hook_1 = LinkageHook1,
    .hook_2 = LinkageHook2,
    .reserved = {0, 0, 0},
    .gauges = {&gauge_header, nullptr},
};
}

void Q7_STDCALL LinkageHook1() {}
void Q7_STDCALL LinkageHook2() {}

namespace {

// The root of the element tree: the first entry of the header's element list,
// read at each call.
ElementHeader* root_element() {
    return gauge_header.element_list[0];
}

}  // namespace

std::uint32_t Q7_STDCALL GaugeRoutine1() {
    return call_host_service<kServiceElementUpdate>(root_element());
}

// The host sets face_image.host_image during service 25; it is read only after
// that call has returned, and passed on plus 4 (the host record's second word).
std::uint32_t Q7_STDCALL GaugeInstall(std::uint32_t value) {
    call_host_service<kServiceElementInstall>(root_element(), value);
    void* const volatile* const host_image_field = &face_image.host_image;
    const auto host_image = reinterpret_cast<std::uintptr_t>(*host_image_field);
    call_host_service<kServiceMouseInstall>(mouse_rect_list, &gauge_header,
                      static_cast<std::uint32_t>(host_image + 4));
    return call_host_service<kServiceMouseActivate>(mouse_rect_list, &gauge_header);
}

std::uint32_t Q7_STDCALL GaugeRoutine3() {
    return call_host_service<kServiceElementStep3>(root_element());
}

std::uint32_t Q7_STDCALL GaugeRoutine4() {
    return call_host_service<kServiceElementStep4>(root_element());
}

std::uint32_t Q7_STDCALL GaugeRoutine5(std::uint32_t value) {
    return call_host_service<kServiceElementStep5>(root_element(), value);
}

std::uint32_t Q7_STDCALL GaugeRoutine6() {
    return call_host_service<kServiceElementStep6>(root_element());
}

// The mouse list goes back to the host before the element tree does.
std::uint32_t Q7_STDCALL GaugeUninstall() {
    call_host_service<kServiceMouseRemove>(mouse_rect_list, &gauge_header);
    return call_host_service<kServiceElementKill>(root_element());
}
