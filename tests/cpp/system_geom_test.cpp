// The system record's constructor and simple setters.
#include <cmath>
#include <limits>

#include "tests/cpp/bits.hpp"
#include "vedov/system_geom.hpp"

namespace {

using vedov::SystemGeom;

// The empty system and the default layers: the golden documents (test_document_format.py); copies
// sharing nothing: test_readback.py.

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

}  // namespace
