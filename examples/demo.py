"""Builds a small adaptive-optics system with vedov and prints what it holds."""

import vedov


def main() -> None:
    system = vedov.SystemGeom.new_empty()
    system.set_pupil(8.0, 0.14)
    system.set_dt(0.001, 0.002)
    system.add_cov_layer()
    print("vedov classes:", ", ".join(vedov.__all__))
    print("an empty 8 m system with a 14 % central obscuration, time steps 1 ms / 2 ms,")
    print("and the default seven-layer turbulence profile:", system)


if __name__ == "__main__":
    main()
