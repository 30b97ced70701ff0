// The exact von Kármán shape x^(5/6) K_5/6(x) over one vector type; included once per instruction
// level and in each scalar instance, so that every lane follows the scalar operations exactly.

// Before inclusion the namespace defines ZAM_TARGET, the value type V, its lane mask type M, the
// choice type C and the primitives vset, vadd, vsub, vmul, vfma (a·b + c rounded once), vsqrt,
// vdiv, vmin and vmax (the second operand wins when either is not a number), vexp (the C library's
// exp), vless, lane_bits (one bit a lane, set where the mask is), every_lane (lane_bits of a full
// mask), vblend (mask, then the value of set lanes, then that of clear lanes), vchoice (a mask as
// a choice: the first of two where set, the second elsewhere), vchoose (each lane's choice of two
// values in memory) and root_seed (the s^(-1/6) seed on the bits of s). Every fused multiply-add
// below is an explicit vfma, the same in every instance.

/// c[0] + c[1]e + c[2]e² + c[3]e³, formed as fma(e², fma(c[3], e, c[2]), fma(c[1], e, c[0])).
ZAM_TARGET inline V vk_cubic(const double* c, V e) {
    return vfma(vmul(e, e), vfma(vset(c[3]), e, vset(c[2])), vfma(vset(c[1]), e, vset(c[0])));
}

/// s · z⁶ - 1, formed as fma(s · z², z² · z², -1).
ZAM_TARGET inline V vk_root_residual(V s, V z) {
    const V z2 = vmul(z, z);
    return vfma(vmul(s, z2), vmul(z2, z2), vset(-1.0));
}

/// s^(-1/6) within a few ulps for s from 2^-300 up (not a number stays so): the seed, then two
/// cubic corrections in its residual.
ZAM_TARGET inline V vk_inverse_sixth_root(V s) {
    namespace c = von_karman_shape_coefficients;
    V z = root_seed(s);
    z = vmul(z, vk_cubic(c::first_root_correction, vk_root_residual(s, z)));
    return vmul(z, vk_cubic(c::second_root_correction, vk_root_residual(s, z)));
}

/// c[0] + c[1]s + … + c[7]s⁷ by Estrin's scheme on s, s², s⁴, each step one fma.
ZAM_TARGET inline V vk_septic(const double* c, V s, V s2, V s4) {
    const V low = vfma(s2, vfma(vset(c[3]), s, vset(c[2])), vfma(vset(c[1]), s, vset(c[0])));
    const V high = vfma(s2, vfma(vset(c[7]), s, vset(c[6])), vfma(vset(c[5]), s, vset(c[4])));
    return vfma(s4, high, low);
}

/// Near (x < 0.5): E(s) - s^(5/6) O(s), the two series of K_5/6, formed as fma(s · (-O(s)), z,
/// E(s)) with z = s^(-1/6) (of s no smaller than 2^-300), which arrives last.
ZAM_TARGET inline V vk_near(V s) {
    namespace c = von_karman_shape_coefficients;
    const V z = vk_inverse_sixth_root(vmax(vset(0x1p-300), s));
    const V s2 = vmul(s, s);
    const V s4 = vmul(s2, s2);
    return vfma(vmul(s, vk_septic(c::minus_odd, s, s2, s4)), z, vk_septic(c::even, s, s2, s4));
}

/// Which range of a pair each lane reads its coefficients from: its own (each coefficient then a
/// vchoose), or one range for every lane (a broadcast).
struct LaneRanges {
    C choice;
};
struct OneRange {
    int range;
};
ZAM_TARGET inline V vk_coefficient(const double* two, LaneRanges r) {
    return vchoose(two, r.choice);
}
ZAM_TARGET inline V vk_coefficient(const double* two, OneRange r) {
    return vset(two[r.range]);
}

/// (v - centre)² + shift of each lane's range, formed as fma(d, d, shift) with d = v - centre;
/// q = {centres, shifts}, each {lower range's, upper range's}.
template <class R>
ZAM_TARGET inline V vk_quadratic(const double (*q)[2], R range, V v) {
    const V d = vsub(v, vk_coefficient(q[0], range));
    return vfma(d, d, vk_coefficient(q[1], range));
}

/// The product of six quadratics, formed as ((q0 · q1) · (q2 · q3)) · (q4 · q5).
template <class R>
ZAM_TARGET inline V vk_product(const double (*q)[2][2], R range, V v) {
    return vmul(vmul(vmul(vk_quadratic(q[0], range, v), vk_quadratic(q[1], range, v)),
                     vmul(vk_quadratic(q[2], range, v), vk_quadratic(q[3], range, v))),
                vmul(vk_quadratic(q[4], range, v), vk_quadratic(q[5], range, v)));
}

/// A pair of rational ranges (within 0.5 ≤ x < 50), each lane in the one `range` gives it:
/// (N(v) · factor) / D(v) with v = fma(s, scale, offset); no root, square root or exponential.
template <class R>
[[gnu::always_inline]] ZAM_TARGET inline V vk_pair(
    const von_karman_shape_coefficients::PiecePair& p, R range, V s) {
    const V v = vfma(s, vk_coefficient(p.scale, range), vk_coefficient(p.offset, range));
    return vdiv(vmul(vk_product(p.numerator, range, v), vk_coefficient(p.factor, range)),
                vk_product(p.denominator, range, v));
}

/// The pair's value for the lanes `inside` it (lane bits), `lower` set where the lower range holds
/// the lane: one range's coefficients broadcast when every lane inside is in it, each lane's own
/// otherwise.
[[gnu::always_inline]] ZAM_TARGET inline V vk_pair_lanes(
    const von_karman_shape_coefficients::PiecePair& p, M lower, unsigned inside, V s) {
    const unsigned in_lower = lane_bits(lower) & inside;
    if (in_lower == inside) return vk_pair(p, OneRange{0}, s);
    if (in_lower == 0) return vk_pair(p, OneRange{1}, s);
    return vk_pair(p, LaneRanges{vchoice(lower)}, s);
}

/// Far (x ≥ 50): e^(-x) · (x^(1/3) · (P(x) / Q(x))), x^(1/3) being (s · z) · (z² · z²) with
/// z = s^(-1/6), P and Q by Estrin's scheme; the rational is read at x up to 746, where e^(-x) has
/// become 0.
ZAM_TARGET inline V vk_far(V s) {
    namespace c = von_karman_shape_coefficients;
    const V z = vk_inverse_sixth_root(vmax(vset(0x1p-300), s));
    const V x = vsqrt(s);
    const V xr = vmin(vset(746.0), x);
    const V x2 = vmul(xr, xr);
    const V x4 = vmul(x2, x2);
    const double* p = c::numerator;
    const double* q = c::denominator;
    const V num =
        vfma(x4, vfma(vset(p[0]), x2, vfma(vset(p[1]), xr, vset(p[2]))),
             vfma(x2, vfma(vset(p[3]), xr, vset(p[4])), vfma(vset(p[5]), xr, vset(p[6]))));
    const V den =
        vfma(x4, vadd(x2, vfma(vset(q[0]), xr, vset(q[1]))),
             vfma(x2, vfma(vset(q[2]), xr, vset(q[3])), vfma(vset(q[4]), xr, vset(q[5]))));
    const V z2 = vmul(z, z);
    const V cube_root = vmul(vmul(s, z), vmul(z2, z2));
    return vmul(vexp(vsub(vset(-0.0), x)), vmul(cube_root, vdiv(num, den)));
}

/// x^(5/6) K_5/6(x) at x = sqrt(s) for s ≥ 0: g(0) = 2^(-1/6) Γ(5/6) to the nearest double; +inf
/// and not a number give the positive quiet not-a-number. Each group of ranges (near, each pair,
/// far) that holds some lane is evaluated once, in order of s, and its lanes take their values
/// from it.
[[gnu::always_inline]] ZAM_TARGET inline V von_karman_shape(V s) {
    namespace c = von_karman_shape_coefficients;
    M below = vless(s, vset(c::limits[0]));
    unsigned done = lane_bits(below);  // the lanes of the groups evaluated so far
    V g = done != 0 ? vk_near(s) : vset(0.0);
    for (int k = 0; k < c::pairs && done != every_lane; ++k) {
        const M next = vless(s, vset(c::limits[2 * k + 2]));
        const unsigned upto = lane_bits(next);
        if (upto != done) {
            const V value =
                vk_pair_lanes(c::pair[k], vless(s, vset(c::limits[2 * k + 1])), upto & ~done, s);
            g = done != 0 ? vblend(below, g, value) : value;
        }
        below = next;
        done = upto;
    }
    if (done != every_lane) {
        const V value = vk_far(s);
        g = done != 0 ? vblend(below, g, value) : value;
        // Where two not-a-numbers meet, which one an operation keeps (and so its sign) depends on
        // the operand order the compiler chose, which differs between compilers and between the
        // scalar and vector instances: every instance gives one and the same not-a-number instead.
        g = vblend(vless(s, vset(std::numeric_limits<double>::infinity())), g,
                   vset(std::numeric_limits<double>::quiet_NaN()));
    }
    return g;
}
