"""Reads the sanitizer reports of a sanitized Python test run and fails on those about vedov.

Every error report (memory errors, undefined behaviour) fails the run. The interpreter leaks by
design at exit (and so do some extension modules it imports), so a leak report fails the run only
when the leaked memory was allocated with vedov's code on the allocation stack; the others are
counted and shown as a summary line.
"""

import pathlib
import re
import sys

LEAK_BLOCK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte", re.MULTILINE)
ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:|WARNING: AddressSanitizer")


def ours(block, roots):
    """True when a frame of the block is in vedov's sources or in the module itself."""
    return any(root in block for root in roots) or "vedov.abi3.so" in block


def main(directory, source_root):
    roots = [f"{source_root}/vedov/", f"{source_root}/zam/"]
    failures, foreign, foreign_bytes, files = [], 0, 0, 0
    for path in sorted(pathlib.Path(directory).glob("*")):
        files += 1
        text = path.read_text(errors="replace")
        if ERROR.search(text):
            failures.append(f"{path.name}: error report\n{text}")
            continue
        starts = [m.start() for m in LEAK_BLOCK.finditer(text)] + [len(text)]
        for begin, end in zip(starts, starts[1:]):
            block = text[begin:end].split("\nSUMMARY:")[0]
            if ours(block, roots):
                failures.append(f"{path.name}: leak in vedov\n{block}")
            else:
                foreign += 1
                foreign_bytes += int(LEAK_BLOCK.match(block).group(2))
    print(f"sanitizer reports: {files} file(s); {len(failures)} about vedov; "
          f"{foreign} leak(s) of the interpreter and other modules ({foreign_bytes} bytes) ignored")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
