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
    const Addr list = host.machine().read(face() + 40);
    return host.machine().read(list + 4 * index);
}

void LoadedGauge::place(double latitude, double longitude, double heading) {
    host.services().set_var(q7host::kSimLatitude, latitude);
    host.services().set_var(q7host::kSimLongitude, longitude);
    host.services().set_var(q7host::kSimHeading, heading);
}

double LoadedGauge::dot_x() {
    return host.call_pointer("bearing_dot_x", host.machine().read(dot() + 88), dot());
}

double LoadedGauge::dot_y() {
    return host.call_pointer("bearing_dot_y", host.machine().read(dot() + 132), dot());
}

std::string LoadedGauge::text(Addr box, double* result, double arg) {
    const q7host::TextReadout t = host.refresh_text(box, arg);
    if (result) *result = t.result;
    EXPECT_TRUE(host.text_guards_intact(box));
    return t.text;
}

Addr LoadedGauge::mouse_list() {
    if (!host.services().registered_mouse_list()) host.install();
    return host.services().registered_mouse_list();
}

void LoadedGauge::click_next() {
    // The right-arrow box: entry 4 of the mouse list.
    const Addr list = mouse_list();
    const Addr handler = host.machine().read(list + 3 * 44 + 36);
    EXPECT_EQ(host.call_handler("step_next_handler", handler, 0, 0), 0);
}

void LoadedGauge::click_previous() {
    const Addr list = mouse_list();
    const Addr handler = host.machine().read(list + 2 * 44 + 36);
    EXPECT_EQ(host.call_handler("step_previous_handler", handler, 0, 0), 0);
}

}  // namespace q7test
