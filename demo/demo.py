"""A walk through corvane_core._ffi against real peers, one section per family."""

import sys

import surface

import disk
import firecracker
import net
import qmp

SECTIONS = [surface, qmp, disk, firecracker, net]


def main() -> int:
    for section in SECTIONS:
        title = section.TITLE
        print(f"\n== {title} " + "=" * max(0, 70 - len(title)))
        section.run()
    print("\nDemo finished.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
