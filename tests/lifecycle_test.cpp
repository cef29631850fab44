// The seven lifecycle routines and the two module hooks, as a simulator calls
// them: what each hands to which service, in what order, and what comes back.
#include "support/test_support.h"

#include <cmath>

using namespace q7test;
using q7host::position_of;

namespace {

std::vector<unsigned> positions(std::initializer_list<Service> services) {
    std::vector<unsigned> out;
    for (Service s : services) out.push_back(position_of(s));
    return out;
}

class Lifecycle : public LoadedGauge {
protected:
    Addr routine(unsigned offset) const { return host.machine().read(header() + offset); }
    Addr mouse_rects_in_install() {
        for (const auto& c : host.calls()) {
            if (c.position == position_of(Service::MouseInstall)) return c.args[0];
        }
        return 0;
    }
    // The module's writable data, to show what a routine left unchanged.
    std::vector<std::uint8_t> module_data() const {
        std::vector<std::uint8_t> out;
        for (const auto& s : host.image().sections) {
            if (!s.writable()) continue;
            auto b = host.machine().read_bytes(host.base() + s.virtual_address, s.virtual_size);
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    }
};

}  // namespace

TEST_F(Lifecycle, InstallHandsOverTreeMouseListAndHeaderInOrder) {
    for (std::uint32_t arg : {0u, 0xFFFFFFFFu, 0x1234u}) {
        host.clear_calls();
        host.set_service_result(Service::ElementInstall, 0x25252525);
        host.set_service_result(Service::MouseInstall, 0x32323232);
        host.set_service_result(Service::MouseActivate, 0xCAFEBABE);
        EXPECT_EQ(host.install(arg), 0xCAFEBABEu);
        ASSERT_EQ(host.call_positions(),
                  positions({Service::ElementInstall, Service::MouseInstall, Service::MouseActivate}));
        const auto& c = host.calls();
        EXPECT_EQ(c[0].args, (std::vector<std::uint32_t>{face(), arg}));
        const Addr list = c[1].args[0];
        EXPECT_EQ(c[1].args, (std::vector<std::uint32_t>{list, header(), host.services().host_image_record() + 4}));
        EXPECT_EQ(c[2].args, (std::vector<std::uint32_t>{list, header()}));
        // host_image was read after service 25 set it.
        EXPECT_EQ(host.machine().read(face() + q7host::static_image::kHostImage), host.services().host_image_record());
    }
}

TEST_F(Lifecycle, InstallPassesFourWhenTheHostLeftHostImageZero) {
    host.services().set_install_sets_host_image(false);
    host.install(7);
    ASSERT_EQ(host.calls().size(), 3u);
    EXPECT_EQ(host.calls()[1].args[2], 4u);
}

TEST_F(Lifecycle, UninstallGivesBackTheMouseListThenTheTree) {
    // Also without a prior install.
    host.set_service_result(Service::ElementKill, 0x31313131);
    host.set_service_result(Service::MouseRemove, 0x34343434);
    EXPECT_EQ(host.uninstall(), 0x31313131u);
    ASSERT_EQ(host.call_positions(), positions({Service::MouseRemove, Service::ElementKill}));
    const Addr list = host.calls()[0].args[0];
    EXPECT_EQ(host.calls()[0].args, (std::vector<std::uint32_t>{list, header()}));
    EXPECT_EQ(host.calls()[1].args, (std::vector<std::uint32_t>{face()}));

    // The same list and header that install handed over.
    host.clear_calls();
    host.install();
    const Addr installed = mouse_rects_in_install();
    host.clear_calls();
    host.uninstall();
    EXPECT_EQ(host.calls()[0].args[0], installed);
    EXPECT_EQ(list, installed);
}

TEST_F(Lifecycle, TheOtherRoutinesForwardTheRootAndReturnTheResultUnchanged) {
    using namespace q7host::gauge_header;
    struct {
        unsigned slot;
        Service service;
        bool takes_arg;
    } routines[] = {{kRoutine1, Service::ElementUpdate, false},
                    {kRoutine3, Service::ElementStep3, false},
                    {kRoutine4, Service::ElementStep4, false},
                    {kRoutine5, Service::ElementStep5, true},
                    {kRoutine6, Service::ElementStep6, false}};
    for (const auto& r : routines) {
        for (std::uint32_t result : {0u, 1u, 0xFFFFFFFFu, 0x80000000u}) {
            for (std::uint32_t arg : {0u, 0xFFFFFFFFu}) {
                host.clear_calls();
                host.set_service_result(r.service, result);
                const std::uint32_t got = r.takes_arg ? host.call_routine("routine", routine(r.slot), arg)
                                                      : host.call_routine("routine", routine(r.slot));
                EXPECT_EQ(got, result) << "slot " << r.slot;
                ASSERT_EQ(host.calls().size(), 1u) << "slot " << r.slot;
                EXPECT_EQ(host.calls()[0].position, position_of(r.service));
                const std::vector<std::uint32_t> args =
                    r.takes_arg ? std::vector<std::uint32_t>{face(), arg} : std::vector<std::uint32_t>{face()};
                EXPECT_EQ(host.calls()[0].args, args) << "slot " << r.slot;
            }
        }
    }
}

TEST_F(Lifecycle, RoutinesForwardEveryTimeAndTouchNoStateOfTheModule) {
    host.install();
    click_next();  // selection 1.0
    place_on(kSfint, 330.0);
    host.frame();  // lat_var, lon_var, heading_var hold host values now
    const auto before = module_data();
    host.clear_calls();
    host.call_hook("LinkageHook1", host.machine().read(host.linkage() + q7host::linkage::kHook1));
    host.call_hook("LinkageHook2", host.machine().read(host.linkage() + q7host::linkage::kHook2));
    host.call_hook("LinkageHook2", host.machine().read(host.linkage() + q7host::linkage::kHook2));
    host.call_hook("LinkageHook1", host.machine().read(host.linkage() + q7host::linkage::kHook1));
    EXPECT_TRUE(host.calls().empty());  // the hooks call nothing
    for (int round = 0; round < 2; ++round) {
        host.call_routine("GaugeRoutine1", routine(q7host::gauge_header::kRoutine1));
        host.call_routine("GaugeRoutine3", routine(q7host::gauge_header::kRoutine3));
        host.call_routine("GaugeRoutine4", routine(q7host::gauge_header::kRoutine4));
        host.call_routine("GaugeRoutine5", routine(q7host::gauge_header::kRoutine5), 5);
        host.call_routine("GaugeRoutine6", routine(q7host::gauge_header::kRoutine6));
        host.uninstall();
        host.install(9);
    }
    const auto round =
        positions({Service::ElementUpdate, Service::ElementStep3, Service::ElementStep4, Service::ElementStep5,
                   Service::ElementStep6, Service::MouseRemove, Service::ElementKill, Service::ElementInstall,
                   Service::MouseInstall, Service::MouseActivate});
    std::vector<unsigned> twice = round;
    twice.insert(twice.end(), round.begin(), round.end());
    EXPECT_EQ(host.call_positions(), twice);
    EXPECT_EQ(module_data(), before);
    EXPECT_EQ(selection(), 1.0);
}

TEST_F(Lifecycle, EndToEndFromInstallToUninstall) {
    host.set_service_result(Service::MouseActivate, 1);
    ASSERT_EQ(host.install(0), 1u);
    place_on(kSfint, 330.0);
    host.clear_calls();
    auto f = host.frame();
    ASSERT_EQ(f.dots.size(), 1u);
    EXPECT_NEAR(f.dots[0].x, 3.37, 0.01);
    EXPECT_NEAR(f.dots[0].y, 24.27, 0.01);
    EXPECT_NEAR(f.dots[0].screen_x, q7ref::kRestX + 3.37, 0.01);
    EXPECT_NEAR(f.dots[0].screen_y, q7ref::kRestY - 24.27, 0.01);
    EXPECT_EQ(f.text_for(ident_box())->text, "GGATE");
    EXPECT_EQ(f.text_for(number_box())->text, " 1");
    EXPECT_EQ(f.text_for(distance_box())->text, "  12");
    // A frame: the dot's two callbacks each refresh three variables; the text
    // callbacks call nothing.
    EXPECT_EQ(host.call_positions(), std::vector<unsigned>(6, position_of(Service::VarRefresh)));

    // Forward across the wrap and back, through the host's hit-testing.
    ASSERT_TRUE(host.click(10, 68));  // previous: MERCD
    f = host.frame();
    EXPECT_EQ(f.text_for(ident_box())->text, "MERCD");
    EXPECT_EQ(f.text_for(number_box())->text, "20");
    EXPECT_EQ(f.text_for(distance_box())->text, "  91");
    ASSERT_TRUE(host.click(25, 68));  // next: GGATE
    ASSERT_TRUE(host.click(25, 68));  // next: NIMIT
    f = host.frame();
    EXPECT_EQ(f.text_for(ident_box())->text, "NIMIT");
    EXPECT_EQ(f.text_for(number_box())->text, " 2");
    const double x = f.dots[0].x, y = f.dots[0].y;
    EXPECT_NEAR(x * x + y * y, 600.25, 0.01);

    host.clear_calls();
    host.uninstall();
    EXPECT_EQ(host.call_positions(), positions({Service::MouseRemove, Service::ElementKill}));
    host.unload();
    EXPECT_FALSE(host.loaded());
}
