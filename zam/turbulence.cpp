// Covariance of the turbulent phase between two lines of sight through a stack of layers.
#include "zam/turbulence.hpp"

namespace zam {

double cosample_lines(const VonKarmanLayers& layers, const Line& a, const Line& b, double t) {
    double sum = -0.0;
    for (const VonKarmanLayer& layer : layers) {
        const Vec2D pa = a.at(layer.alt);
        const Vec2D pb = b.at(layer.alt);
        const Vec2D shifted{pb.x - layer.v.x * t, pb.y - layer.v.y * t};
        sum = sum + layer_term(layer_constants(layer), pa.x - shifted.x, pa.y - shifted.y);
    }
    return sum;
}

}  // namespace zam
