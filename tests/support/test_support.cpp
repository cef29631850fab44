#include "support/test_support.h"

#include <windows.h>

namespace q7test {

std::string module_path() {
    char exe[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string path(exe, n);
    return path.substr(0, path.find_last_of("\\/") + 1) + "quorlan7.gau";
}

void LoadedGauge::SetUp() {
    ASSERT_TRUE(host.load(module_path())) << host.error();
}

void LoadedGauge::TearDown() {
    if (!expect_violations) {
        for (const auto& v : host.violations()) ADD_FAILURE() << "host saw: " << v;
    }
    host.unload();
}

StaticImageElement* LoadedGauge::face() const {
    return reinterpret_cast<StaticImageElement*>(header()->element_list[0]);
}

ElementHeader* LoadedGauge::child(int index) const {
    return face()->header.child_list[index];
}

MovingImageElement* LoadedGauge::dot() const {
    return reinterpret_cast<MovingImageElement*>(child(0));
}
StringElement* LoadedGauge::distance_box() const {
    return reinterpret_cast<StringElement*>(child(1));
}
StringElement* LoadedGauge::ident_box() const {
    return reinterpret_cast<StringElement*>(child(2));
}
StringElement* LoadedGauge::number_box() const {
    return reinterpret_cast<StringElement*>(child(3));
}
StaticImageElement* LoadedGauge::buttons() const {
    return reinterpret_cast<StaticImageElement*>(child(4));
}

MouseRect* LoadedGauge::mouse_rects() const {
    return host.registered_mouse_list();
}

std::string LoadedGauge::run_text(StringElement* box, double* result, double arg) {
    if (!box->text_buffer) host.prepare_text_buffers(&box->header);
    if (box == distance_box()) {
        box->source_vars[0].value = host.var(q7host::kSimLatitude);
        box->source_vars[1].value = host.var(q7host::kSimLongitude);
    }
    const double r = host.call_text("text_callback", box->text_callback, arg);
    if (result) *result = r;
    EXPECT_TRUE(host.text_guards_intact(box));
    return host.read_text(box);
}

Position at_raw(std::int32_t lat, std::int32_t lon) {
    return {static_cast<double>(lat), static_cast<double>(lon) * 65536.0};
}

}  // namespace q7test
