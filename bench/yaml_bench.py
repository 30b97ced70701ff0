"""Load and save speed of the system document, against PyYAML's C-based safe loader.

Builds a document of many slope measurements (and their lines of sight) as text, then times, in
one run: vedov's load_yaml, PyYAML's CSafeLoader on the same text, and vedov's save_yaml. Prints
the median of several repetitions in MB/s of document text.

    PYTHONPATH=build/python python3 bench/yaml_bench.py [--measurements N] [--repeat R]
"""

import argparse
import os
import random
import tempfile

import vedov
from timing import median_time


def line(rng, indent):
    pad = " " * indent
    return (
        f"{pad}x0: {rng.uniform(-4, 4)!r}\n{pad}xz: {rng.uniform(-1e-4, 1e-4)!r}\n"
        f"{pad}y0: {rng.uniform(-4, 4)!r}\n{pad}yz: {rng.uniform(-1e-4, 1e-4)!r}\n"
    )


def document(n_meas, seed=1):
    """A document of n_meas slope measurements, their lines, 1,000 actuators, 7 layers."""
    rng = random.Random(seed)
    parts = ["meas:\n"]
    for _ in range(n_meas):
        parts.append("- !SlopeTwoEdge\n  central_line:\n")
        parts.append(line(rng, 4))
        parts.append(
            f"  edge_length: {rng.uniform(0, 1)!r}\n  edge_separation: {rng.uniform(0, 1)!r}\n"
            f"  gradient_axis:\n    x: 1.0\n    y: 0.0\n  npoints: 10\n"
            f"  altitude: {rng.uniform(8e4, 1e5)!r}\n"
        )
    parts.append("phi: []\nts: []\ncom:\n")
    for _ in range(1000):
        parts.append(
            f"- !Gaussian\n  sigma: 0.5\n  position:\n    x: {rng.uniform(-4, 4)!r}\n"
            f"    y: {rng.uniform(-4, 4)!r}\n    z: 0.0\n  microns_per_volt: 1.0\n"
        )
    parts.append("cov_model:\n")
    for k in range(7):
        parts.append(
            f"- r0: {rng.uniform(0.1, 2)!r}\n  l0: 60.0\n  alt: {1000.0 * k!r}\n"
            f"  v:\n    x: 10.0\n    y: 0.0\n"
        )
    parts.append(
        "pupil:\n  rad_outer: 4.0\n  rad_inner: 0.56\n  spider_thickness: 0.0\n  spiders: []\n"
    )
    parts.append("meas_lines:\n")
    for _ in range(n_meas):
        parts.append("-" + line(rng, 2)[1:])
    parts.append("simul_dt: 0.001\nmeas_dt: 0.002\n")
    return "".join(parts)



def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--measurements", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    text = document(args.measurements)
    megabytes = len(text.encode()) / 1e6
    with tempfile.TemporaryDirectory() as directory:
        source = os.path.join(directory, "system.yaml")
        target = os.path.join(directory, "saved.yaml")
        with open(source, "w", encoding="utf-8") as f:
            f.write(text)

        system = vedov.SystemGeom.load_yaml(source)
        results = [("vedov load_yaml", median_time(lambda: vedov.SystemGeom.load_yaml(source),
                                                      args.repeat))]
        try:
            import yaml

            class Loader(yaml.CSafeLoader):
                pass

            Loader.add_multi_constructor(
                "!", lambda loader, suffix, node: loader.construct_mapping(node, deep=True))

            def pyyaml_load():
                with open(source, encoding="utf-8") as f:
                    return yaml.load(f, Loader=Loader)

            results.append(("PyYAML CSafeLoader", median_time(pyyaml_load, args.repeat)))
        except ImportError:
            print("PyYAML is not installed: no reference figure")
        results.append(("vedov save_yaml", median_time(lambda: system.save_yaml(target),
                                                          args.repeat)))

    print(f"document: {args.measurements} measurements, {megabytes:.1f} MB; "
          f"median of {args.repeat} runs")
    for name, seconds in results:
        print(f"  {name:20s} {seconds * 1e3:9.1f} ms  {megabytes / seconds:8.1f} MB/s")


if __name__ == "__main__":
    main()
