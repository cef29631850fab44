#include "support/test_support.h"

#include <algorithm>

namespace q7host {
void PrintTo(const Rgb& c, std::ostream* os) { *os << '(' << +c.r << ',' << +c.g << ',' << +c.b << ')'; }
}  // namespace q7host

namespace q7test {

void LoadedGauge::SetUp() { ASSERT_TRUE(host.load(Q7_MODULE_FILE)) << host.error(); }

void LoadedGauge::TearDown() {
    if (!expect_violations) {
        for (const auto& v : host.problems()) ADD_FAILURE() << "host saw: " << v;
    }
    host.unload();
}

void LoadedGauge::place(double latitude, double longitude, double heading) {
    host.set_variable(q7host::kSimLatitude, latitude);
    host.set_variable(q7host::kSimLongitude, longitude);
    host.set_variable(q7host::kSimHeading, heading);
}

std::string LoadedGauge::text(Addr box, double* result, double arg) {
    const q7host::TextReadout t = host.refresh_text(box, arg);
    if (result) *result = t.result;
    EXPECT_TRUE(host.text_guards_intact(box));
    return t.text;
}

Addr LoadedGauge::mouse_list() {
    if (!host.mouse_list()) host.install();
    return host.mouse_list();
}

q7host::ClickArea LoadedGauge::arrow(bool next) {
    mouse_list();
    const auto areas = host.click_areas();
    EXPECT_EQ(areas.size(), 2u);
    if (areas.empty()) return {};
    const auto by_x = [](const auto& a, const auto& b) { return a.x < b.x; };
    return next ? *std::max_element(areas.begin(), areas.end(), by_x)
                : *std::min_element(areas.begin(), areas.end(), by_x);
}

Addr LoadedGauge::arrow_handler(bool next) { return arrow(next).handler; }

void LoadedGauge::click_arrow(bool next) {
    const q7host::ClickArea a = arrow(next);
    EXPECT_TRUE(host.click(a.centre_x(), a.centre_y()));
}

}  // namespace q7test
