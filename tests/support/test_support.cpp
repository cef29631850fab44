#include "support/test_support.h"

namespace q7test {

void LoadedGauge::SetUp() {
    ASSERT_TRUE(host.load(Q7_MODULE_FILE)) << host.error();
}

void LoadedGauge::TearDown() {
    if (!expect_violations) {
        for (const auto& v : host.violations()) ADD_FAILURE() << "host saw: " << v;
    }
    host.unload();
}

Addr LoadedGauge::child(int index) const {
    const Addr list = host.read(face() + 40);
    return host.read(list + 4 * index);
}

void LoadedGauge::place(double latitude, double longitude, double heading) {
    host.set_var(q7host::kSimLatitude, latitude);
    host.set_var(q7host::kSimLongitude, longitude);
    host.set_var(q7host::kSimHeading, heading);
}

double LoadedGauge::dot_x() {
    return host.call_pointer("bearing_dot_x", host.read(dot() + 88), dot());
}

double LoadedGauge::dot_y() {
    return host.call_pointer("bearing_dot_y", host.read(dot() + 132), dot());
}

std::string LoadedGauge::text(Addr box, double* result, double arg) {
    if (!host.read(box + 184)) host.prepare_text_buffers(box);
    for (unsigned slot = 0; slot < 3; ++slot) {
        const Addr s = box + 60 + 28 * slot;
        const std::uint32_t id = host.read(s);
        if (id) host.write<double>(s + 12, host.var(id));
    }
    const double r = host.call_text("text_callback", host.read(box + 180), arg);
    if (result) *result = r;
    EXPECT_TRUE(host.text_guards_intact(box));
    return host.read_text(box);
}

Addr LoadedGauge::mouse_list() {
    if (!host.registered_mouse_list()) host.install();
    return host.registered_mouse_list();
}

void LoadedGauge::click_next() {
    // The right-arrow box: entry 4 of the mouse list.
    const Addr list = mouse_list();
    const Addr handler = host.read(list + 3 * 44 + 36);
    EXPECT_EQ(host.call_handler("step_next_handler", handler, 0, 0), 0);
}

void LoadedGauge::click_previous() {
    const Addr list = mouse_list();
    const Addr handler = host.read(list + 2 * 44 + 36);
    EXPECT_EQ(host.call_handler("step_previous_handler", handler, 0, 0), 0);
}

}  // namespace q7test
