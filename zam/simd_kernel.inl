// Covariance block kernel and exp over one vector type; included once per instruction level.

// Before inclusion the level's namespace defines ZAM_TARGET, the vector type V, kWidth and the
// primitives used below and in zam/von_karman_shape.inl.

/// The C library's exp, lane by lane and bit for bit: the table-driven algorithm with the same
/// constants, roundings and fused steps; lanes outside (-512, 512) or not a number are computed by
/// the C library itself.
ZAM_TARGET inline V vexp(V x) {
    const V xc = vmin(vmax(x, vset(-512.0)), vset(512.0));  // NaN lanes become -512
    V kd = vfma(xc, vset(0x1.71547652b82fep+7), vset(0x1.8p52));
    const I ki = as_int(kd);
    kd = vsub(kd, vset(0x1.8p52));
    V r = vfma(kd, vset(-0x1.62e42fefa0000p-8), xc);
    r = vfma(kd, vset(-0x1.cf79abc9e3b3ap-47), r);
    I tail_bits, high_bits;
    lookup(twice_low7(ki), tail_bits, high_bits);
    const V tail = as_double(tail_bits);
    const V scale = as_double(iadd(high_bits, shl45(ki)));
    const V r2 = vmul(r, r);
    const V p23 = vfma(r, vset(0x1.555555555543cp-3), vset(0x1.ffffffffffdbdp-2));
    const V p45 = vfma(r, vset(0x1.1111167a4d017p-7), vset(0x1.55555cf172b91p-5));
    V t = vadd(tail, r);
    t = vfma(p23, r2, t);
    t = vfma(vmul(r2, r2), p45, t);
    V result = vfma(scale, t, scale);
    if (any_outside_512(x)) {
        alignas(64) double in[kWidth];
        alignas(64) double out[kWidth];
        vstore(in, x);
        vstore(out, result);
        for (int q = 0; q < kWidth; ++q) {
            if (!(std::fabs(in[q]) < 512.0)) out[q] = std::exp(in[q]);
        }
        result = vload(out);
    }
    return result;
}

#include "zam/von_karman_shape.inl"

ZAM_TARGET void exp_n(const double* in, double* out, std::size_t n) {
    std::size_t k = 0;
    for (; k + kWidth <= n; k += kWidth) vstore(out + k, vexp(vload(in + k)));
    for (; k < n; ++k) out[k] = std::exp(in[k]);
}

ZAM_TARGET void von_karman_shape_n(const double* in, double* out, std::size_t n) {
    std::size_t k = 0;
    for (; k + kWidth <= n; k += kWidth) vstore(out + k, von_karman_shape(vload(in + k)));
    for (; k < n; ++k) out[k] = zam::von_karman_shape(in[k]);
}

template <CovarianceModel model>
ZAM_TARGET void covariance_block(const CovBlockTask& task) {
    const std::size_t nlayers = task.nlayers;
    V total = vset(-0.0);
    for (std::size_t a = 0; a < task.row_lines; ++a) {
        const Vec2D* pa = task.row_points + a * nlayers;
        const V wa = vset(task.row_weights[a]);
        V inner = vset(-0.0);
        for (std::size_t b = 0; b < task.lines; ++b) {
            const double* pb = task.points + b * nlayers * 2 * kWidth;
            V cov = vset(-0.0);
            for (std::size_t l = 0; l < nlayers; ++l) {
                const LayerConstants& c = task.constants[l];
                const V dx = vsub(vset(pa[l].x), vload(pb + (2 * l) * kWidth));
                const V dy = vsub(vset(pa[l].y), vload(pb + (2 * l + 1) * kWidth));
                V f;
                if constexpr (model == CovarianceModel::exact) {
                    f = von_karman_shape(vmul(vset(c.k * c.k), vadd(vmul(dx, dx), vmul(dy, dy))));
                } else {
                    static_assert(model == CovarianceModel::closed_form,
                                  "a model without a kernel");
                    const V r = vsqrt(vadd(vmul(dx, dx), vmul(dy, dy)));
                    const V x = vmul(vset(c.k), r);
                    const V decay = vmul(vexp(vmul(x, vset(-0.9359968))), vset(1.0056349));
                    f = vdiv(vmul(vadd(vmul(x, vset(1.7404436)), vset(1.0)), decay),
                             vadd(x, vset(1.0)));
                }
                cov = vadd(cov, vmul(vset(c.scale), f));
            }
            inner = vadd(inner, vmul(vmul(cov, wa), vload(task.weights + b * kWidth)));
        }
        total = vadd(total, inner);
    }
    vstore(task.out, total);
}

ZAM_TARGET void interaction_block(const ImatBlockTask& task) {
    const double* a = task.actuators;
    const V z = vload(a + gaussian_z * kWidth);
    const V px = vload(a + gaussian_x * kWidth);
    const V py = vload(a + gaussian_y * kWidth);
    const V sigma = vload(a + gaussian_sigma * kWidth);
    const V mpv = vload(a + gaussian_mpv * kWidth);
    V sum = vset(-0.0);
    for (std::size_t k = 0; k < task.nlines; ++k) {
        const Line& line = task.lines[k].line;
        const V dx = vsub(vadd(vset(line.x0), vmul(vset(line.xz), z)), px);
        const V dy = vsub(vadd(vset(line.y0), vmul(vset(line.yz), z)), py);
        V q = vdiv(vsqrt(vadd(vmul(dx, dx), vmul(dy, dy))), sigma);
        q = vmul(q, q);
        q = vmul(q, vset(-0.5));
        sum = vadd(sum, vmul(vset(task.lines[k].weight), vmul(mpv, vexp(q))));
    }
    vstore(task.out, sum);
}
