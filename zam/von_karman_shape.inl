// The exact von Kármán shape x^(5/6) K_5/6(x) over one vector type; included once per instruction
// level and in each scalar instance, so that every lane follows the scalar operations exactly.

// Before inclusion the namespace defines ZAM_TARGET, the value type V, its lane mask type M and the
// primitives vset, vadd, vsub, vmul, vfma (a·b + c rounded once), vsqrt, vdiv, vmin and vmax (the
// second operand wins when either is not a number), vexp (the C library's exp), vless, all_lanes,
// no_lanes, vblend (mask, then the value of set lanes, then that of clear lanes) and root_seed (the
// s^(-1/6) seed on the bits of s). Every fused multiply-add below is an explicit vfma, the same in
// every instance.

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

/// c[0] + c[1]s + … + c[9]s⁹ by Estrin's scheme on s, s², s⁴, s⁸, each step one fma.
ZAM_TARGET inline V vk_nonic(const double* c, V s, V s2, V s4, V s8) {
    const V low = vfma(s2, vfma(vset(c[3]), s, vset(c[2])), vfma(vset(c[1]), s, vset(c[0])));
    const V high = vfma(s2, vfma(vset(c[7]), s, vset(c[6])), vfma(vset(c[5]), s, vset(c[4])));
    return vfma(s8, vfma(vset(c[9]), s, vset(c[8])), vfma(s4, high, low));
}

/// x < 2: E(s) - s^(5/6) O(s), the two series of K_5/6, formed as fma(s · (-O(s)), z, E(s)) with
/// z = s^(-1/6), which arrives last.
ZAM_TARGET inline V vk_series(V s, V z) {
    namespace c = von_karman_shape_coefficients;
    const V s2 = vmul(s, s);
    const V s4 = vmul(s2, s2);
    const V s8 = vmul(s4, s4);
    return vfma(vmul(s, vk_nonic(c::minus_odd, s, s2, s4, s8)), z,
                vk_nonic(c::even, s, s2, s4, s8));
}

/// x ≥ 2: e^(-x) · (x^(1/3) · (P(x) / Q(x))), x^(1/3) being (s · z) · (z² · z²), P and Q by
/// Estrin's scheme; the rational is read at x up to 746, where e^(-x) has become 0.
ZAM_TARGET inline V vk_asymptotic(V s, V z) {
    namespace c = von_karman_shape_coefficients;
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
/// and not a number give the positive quiet not-a-number. Vectors whose lanes all lie on one side
/// of x = 2 evaluate that side only.
ZAM_TARGET inline V von_karman_shape(V s) {
    const V z = vk_inverse_sixth_root(vmax(vset(0x1p-300), s));
    const M series = vless(s, vset(von_karman_shape_coefficients::small_limit));
    V g;
    if (all_lanes(series)) {
        g = vk_series(s, z);
    } else if (no_lanes(series)) {
        g = vk_asymptotic(s, z);
    } else {
        g = vblend(series, vk_series(s, z), vk_asymptotic(s, z));
    }
    // Where two not-a-numbers meet, which one an operation keeps (and so its sign) depends on the
    // operand order the compiler chose, which differs between compilers and between the scalar
    // and vector instances: every instance gives one and the same not-a-number instead.
    return vblend(vless(s, vset(std::numeric_limits<double>::infinity())), g,
                  vset(std::numeric_limits<double>::quiet_NaN()));
}
