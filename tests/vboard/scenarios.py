#!/usr/bin/env python3
"""Scenarios on the virtual board: the static MIPS installer as the first process of a
big-endian MIPS kernel with block2mtd flash, served by tarnwick on a tap segment, then a
second boot whose check program prints what the flash holds.

    tests/vboard/scenarios.py [NAME...]     all scenarios, or the ones named

Needs build/mips/bin (installer, nandfix, board_init, pellu) and tarnwick and pellpkg from
build/dev or build/release; the kernel is built (and cached) on first use.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "vboard"))
import demo  # noqa: E402
import rig  # noqa: E402

from demo import check, demo_files, expect_demo_installed  # noqa: E402,I100


# --- scenarios --------------------------------------------------------------------------

def scenario_smoke(ctx):
    """The kernel interface without the installer: our drivers, MTD, UBI, ubifs."""
    flash = rig.Flash(ctx.work / "flash.img")
    board = rig.Board(name="Quorrelin 12Z-4", min_release=0x0631660A, capabilities=0x1001)
    lines = rig.boot_check(ctx.kdir, ctx.work, flash, board, "vbinit=smoke")
    want = [
        'board name 0 "Quorrelin 12Z-4"',
        "tag 37 0 length 4 value 0x0631660a",
        "tag 12 -1",
        "capabilities 4097 flag set",
        "panics 0",
        "lcd 8",
        "mtd0 0 size 8388608 erasesize 131072",
        "mtd1 0 size 25165824 erasesize 131072",
        "mtd2 -1 size 0 erasesize 0",
        "volume Kernel ok",
        "volume Pellorin ok",
        "mount ubi1:Pellorin ok",
        "mount ubi0:Kernel ok",
        'probe reads "flash survives\n"',
    ]
    text = "\n".join(lines)
    for line in want:
        check(line in text, f"smoke: missing '{line}'", text)


def scenario_fresh_ubi(ctx):
    """A fresh install with UBI: every file of the packages and the script on flash."""
    flash = rig.Flash(ctx.work / "flash.img")
    run = demo.install(ctx.kdir, ctx.work, flash, demo_files(ctx.work))
    check("Software installed." in run.console, "no success line", run.console)
    for line in ("Formatting disk...", "Found server at ", "lcd: \"tarnwick\"",
                 "panics: cleared"):
        check(line in run.console, f"console lacks '{line}'", run.console)
    entries, contents = demo.manifest(ctx.kdir, ctx.work, flash)
    expect_demo_installed(entries, contents, run.console)


def scenario_erase_256k(ctx):
    """256 KiB erase blocks: the same installation on a flash of larger blocks."""
    flash = rig.Flash(ctx.work / "flash.img", erase_kib=256)
    run = demo.install(ctx.kdir, ctx.work, flash, demo_files(ctx.work))
    check("Software installed." in run.console, "no success line", run.console)
    expect_demo_installed(*demo.manifest(ctx.kdir, ctx.work, flash), run.console)


def scenario_activepart(ctx):
    """"activepart=1": the second pair is formatted and installed, the first stays erased."""
    flash = rig.Flash(ctx.work / "flash.img", pairs=2)
    run = demo.install(ctx.kdir, ctx.work, flash, demo_files(ctx.work), append="ubifs_support activepart=1")
    check("Software installed." in run.console, "no success line", run.console)
    expect_demo_installed(*demo.manifest(ctx.kdir, ctx.work, flash, append="activepart=1"), run.console)
    first_pair = flash.path.read_bytes()[: (flash.kernel_mib + flash.root_mib) * rig.MiB]
    check(first_pair.count(0xFF) == len(first_pair), "the inactive pair was written")


def scenario_release_gate(ctx):
    """A board that accepts only releases from 6.50: the installer refuses, flash untouched."""
    flash = rig.Flash(ctx.work / "flash.img")
    run = demo.install(ctx.kdir, ctx.work, flash, demo_files(ctx.work), board=rig.Board(min_release=0x06326601))
    check("\nFATAL ERROR: tarnwick version 6.49.10 is too old, board supports versions from "
          "6.50.1\n" in run.console.replace("\r", ""), "no release-gate message", run.console)
    data = flash.path.read_bytes()
    check(data.count(0xFF) == len(data), "the flash was written")


def scenario_no_nand(ctx):
    """"no-nand": only the kernel partition is formatted; UBI then yaffs are tried in order
    and, with no yaffs in this kernel, the installation stops."""
    flash = rig.Flash(ctx.work / "flash.img")
    run = demo.install(ctx.kdir, ctx.work, flash, demo_files(ctx.work), append="no-nand")
    check("ERROR: could not mount filesystem" in run.console, "no mount failure", run.console)


SCENARIOS = {
    "smoke": scenario_smoke,
    "fresh-ubi": scenario_fresh_ubi,
    "erase-256k": scenario_erase_256k,
    "activepart": scenario_activepart,
    "release-gate": scenario_release_gate,
    "no-nand": scenario_no_nand,
}


class Context:
    def __init__(self, kdir, work):
        self.kdir = kdir
        self.work = work


def main(names):
    kdir = rig.kernel()
    failed = []
    total = time.monotonic()
    for name in names or SCENARIOS:
        start = time.monotonic()
        with rig.workdir() as work:
            try:
                SCENARIOS[name](Context(kdir, work))
                verdict = "passed"
            except Exception as e:  # noqa: BLE001 - every failure is reported, then the next
                verdict = f"FAILED: {e}"
                failed.append(name)
        rig.log(f"scenario {name}: {verdict} ({time.monotonic() - start:.0f} s)")
    rig.log(f"{len(names or SCENARIOS) - len(failed)} passed, {len(failed)} failed "
            f"in {time.monotonic() - total:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
