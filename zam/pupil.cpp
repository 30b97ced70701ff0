// The pupil mask: outer rim, central obstruction and spider vanes with round caps.
#include "zam/pupil.hpp"

#include <cmath>

namespace zam {

double sample_line(const Pupil& pupil, const Line& line) {
    const Vec2D p = line.at(0.0);
    const double r = std::sqrt(p.x * p.x + p.y * p.y);
    double v = 1.0;
    if (r > pupil.rad_outer) v = 0.0;
    if (pupil.rad_inner > r) v = 0.0;
    for (const Spider& spider : pupil.spiders) {
        const Vec2D d = spider.end - spider.start;
        const Vec2D u = p - spider.start;
        double t = (u.x * d.x + u.y * d.y) / (d.x * d.x + d.y * d.y);
        // Clamped to [0, 1]; comparisons leave a not-a-number t as it is.
        if (t < 0.0) t = 0.0;
        if (t > 1.0) t = 1.0;
        const double ex = u.x - t * d.x;
        const double ey = u.y - t * d.y;
        const double e = std::sqrt(ex * ex + ey * ey);
        if (pupil.spider_thickness * 0.5 > e) v = 0.0;
    }
    return v;
}

}  // namespace zam
