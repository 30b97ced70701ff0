// The system record's constructor and simple setters.
#include <cmath>
#include <limits>

#include "tests/cpp/bits.hpp"
#include "vedov/system_geom.hpp"

namespace {

using vedov::SystemGeom;

TEST(SystemGeom, NewEmpty) {
    const SystemGeom s = vedov::new_empty();
    EXPECT_TRUE(s.meas.empty() && s.phi.empty() && s.ts.empty() && s.com.empty());
    EXPECT_TRUE(s.cov_model.empty() && s.meas_lines.empty());
    EXPECT_FALSE(s.pupil.has_value());
    EXPECT_BITS_EQ(s.simul_dt, 0.0);
    EXPECT_BITS_EQ(s.meas_dt, 0.0);
}

TEST(SystemGeom, SetPupil) {
    SystemGeom s = vedov::new_empty();
    s.pupil = zam::Pupil{9, 1, 0.2, {{{0, 0}, {1, 0}}}};
    vedov::set_pupil(s, 8.0, 0.14);
    ASSERT_TRUE(s.pupil);
    EXPECT_BITS_EQ(s.pupil->rad_outer, 4.0);
    EXPECT_BITS_EQ(s.pupil->rad_inner, 0.14 * 8.0 * 0.5);
    EXPECT_BITS_EQ(s.pupil->rad_inner, 0.56);
    EXPECT_BITS_EQ(s.pupil->spider_thickness, 0.0);
    EXPECT_TRUE(s.pupil->spiders.empty());  // the earlier pupil's spiders are gone
    vedov::set_pupil(s, 8.0, 0.0);
    EXPECT_BITS_EQ(s.pupil->rad_inner, 0.0);
}

TEST(SystemGeom, SetDtStoresAnything) {
    SystemGeom s = vedov::new_empty();
    vedov::set_dt(s, -1.0, std::numeric_limits<double>::quiet_NaN());
    EXPECT_BITS_EQ(s.simul_dt, -1.0);
    EXPECT_TRUE(std::isnan(s.meas_dt));
}

TEST(SystemGeom, DefaultLayersAppend) {
    SystemGeom s = vedov::new_empty();
    vedov::add_cov_layer(s);
    ASSERT_EQ(s.cov_model.size(), 7u);
    const zam::VonKarmanLayer expected[7] = {
        {0.21575883, 60.0, 0.0, {10.0, 0.0}},     {0.76709884, 60.0, 1800.0, {10.0, 1.0}},
        {0.59536035, 60.0, 3300.0, {12.0, -2.0}}, {1.24070137, 60.0, 5800.0, {15.0, 5.0}},
        {1.51825277, 60.0, 7400.0, {5.0, 15.0}},  {0.75553414, 60.0, 13100.0, {22.0, 11.0}},
        {2.062782, 60.0, 15800.0, {20.0, -8.0}},
    };
    for (int k = 0; k < 7; ++k) EXPECT_EQ(s.cov_model[k], expected[k]) << k;
    vedov::add_cov_layer(s);
    ASSERT_EQ(s.cov_model.size(), 14u);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(s.cov_model[7 + k], expected[k]);
}

TEST(SystemGeom, CopiesShareNothing) {
    SystemGeom a = vedov::new_empty();
    vedov::set_pupil(a, 8.0, 0.1);
    a.pupil->spiders.push_back({{0, 0}, {1, 1}});
    SystemGeom b = a;
    b.pupil->spiders.clear();
    vedov::add_cov_layer(b);
    EXPECT_EQ(a.pupil->spiders.size(), 1u);
    EXPECT_TRUE(a.cov_model.empty());
}

}  // namespace
