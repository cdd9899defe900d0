#!/usr/bin/env python3
"""Scenarios on the virtual board: the static MIPS installer as the first process of a
big-endian MIPS kernel with block2mtd flash, served by tarnwick on a tap segment, then a
second boot whose check program prints what the flash holds.

    tests/vboard/scenarios.py [NAME...]     all scenarios, or the ones named

Needs build/mips/bin (installer, nandfix, board_init, pellu) and tarnwick and pellpkg from
build/dev or build/release; the kernel is built (and cached) on first use.
"""

import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "vboard"))
import rig  # noqa: E402

BOOT_TIMEOUT = 600


class Failure(Exception):
    pass


def check(condition, what, context=""):
    if not condition:
        raise Failure(what + ("\n" + context[-6000:] if context else ""))


# --- the demo system: two packages and a configuration script ---------------------------

SYSTEM_FILES = {
    "bin/pellu": None,  # the static post-install program, from the mips build
    "etc/issue": (b"Pellorin on the virtual board\n", 0o644),
    "vell/lib/reset/reset": (b"# restores the factory configuration\n", 0o755),
}
HELLO_FILES = {
    "usr/share/hello/greeting": (b"hello from the virtual board\n", 0o644),
    "usr/share/hello/empty": (b"", 0o600),
}
SCRIPT = b"# configuration for the virtual board\n/interface ether1 set name=uplink\n"


def write_tree(root, files):
    for rel, spec in files.items():
        data, mode = spec if spec else ((rig.mips_bin() / "pellu").read_bytes(), 0o755)
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        path.chmod(mode)


def build_package(work, name, files, deps=(), secret=None):
    tree = work / f"{name}-tree"
    write_tree(tree, files)
    manifest = {"name": name, "version": "6.49.10", "architecture": "mips", "files": str(tree),
                "dependencies": [{"name": d, "min": "6.49"} for d in deps]}
    (work / f"{name}.json").write_text(json.dumps(manifest))
    out = work / f"{name}.vpk"
    secret = secret or rig.ROOT / "keys" / "dev.secret"
    subprocess.run([str(rig.host_bin("pellpkg")), "build", str(work / f"{name}.json"), "-o",
                    str(out), "--secret", str(secret), "--schemes", "both"], check=True,
                   stdout=subprocess.DEVNULL)
    return out


def demo_files(work):
    script = work / "setup.scr"
    script.write_bytes(SCRIPT)
    return [script, build_package(work, "system", SYSTEM_FILES),
            build_package(work, "hello", HELLO_FILES, deps=["system"])]


def expected_entries():
    """Path on flash -> (mode, sha256) of every file the demo installs."""
    out = {}
    for files in (SYSTEM_FILES, HELLO_FILES):
        for rel, spec in files.items():
            data, mode = spec if spec else ((rig.mips_bin() / "pellu").read_bytes(), 0o755)
            out["/flash/" + rel] = (mode, hashlib.sha256(data).hexdigest())
    out["/flash/setup.scr"] = (None, hashlib.sha256(SCRIPT).hexdigest())
    return out


# --- one installation -----------------------------------------------------------------

class Run:
    def __init__(self, console, server, seconds):
        self.console = console
        self.server = server
        self.seconds = seconds


def install(ctx, flash, files, append="ubifs_support", board=None, keep=False,
            on_console=None, echo=False):
    """Boots the installer on flash with tarnwick serving files; answers "Press ENTER to
    reboot" so failures end too. on_console(board_process) may act during the run."""
    initrd = ctx.work / "installer.cpio.gz"
    rig.initramfs(initrd, ctx.kdir, board or rig.Board(), rig.mips_bin() / "installer")
    seg = rig.Segment()
    server = board_proc = None
    try:
        cmd = seg.exec_prefix() + [str(rig.host_bin("tarnwick")), "-i", seg.tap, "-n", "1"]
        server = rig.Process(cmd + (["--keep"] if keep else []) + [str(f) for f in files],
                             "tarnwick")
        start = time.monotonic()
        board_proc = rig.qemu(ctx.kdir, initrd, flash, append, seg, echo=echo)
        if on_console:
            on_console(board_proc)
        if board_proc.expect(r"Press ENTER to reboot", BOOT_TIMEOUT):
            # After success the installer waits for the server's end; after a failure,
            # for a key: give it one in both cases once the line is there.
            time.sleep(1)
            if board_proc.proc.poll() is None:
                board_proc.send("\n")
        ended = board_proc.wait(60) is not None
        seconds = time.monotonic() - start
        check(ended, "the board did not reboot", board_proc.text())
        return Run(board_proc.text(), server.text(), seconds)
    finally:
        for p in (board_proc, server):
            if p:
                p.close()
        seg.close()


def manifest(ctx, flash, append="", board=None):
    lines = rig.boot_check(ctx.kdir, ctx.work, flash, board or rig.Board(), append)
    entries, contents = {}, {}
    for line in lines:
        if line.startswith("entry "):
            kind, mode, owner, size, atime, mtime, path, what = line[6:].split(" ", 7)
            entries[path] = dict(kind=kind, mode=int(mode, 8), owner=owner, size=int(size),
                                 atime=int(atime), mtime=int(mtime), what=what)
        elif line.startswith("content "):
            path, text = line[8:].split(" ", 1)
            contents[path] = text.strip('"')
    check(entries, "the check boot found no files", "\n".join(lines))
    return entries, contents


def expect_demo_installed(entries, contents, console):
    for path, (mode, digest) in expected_entries().items():
        check(path in entries, f"{path} missing on flash", console)
        check(entries[path]["what"] == digest, f"{path} differs from its package")
        if mode is not None:
            check(entries[path]["mode"] == mode, f"{path} mode {entries[path]['mode']:o}")
    for name in ("system", "hello"):
        check(f"/flash/var/pdb/{name}/version" in contents, f"no database entry for {name}")
    check(contents.get("/flash/rw/postinstall") == "pellu ran: pellu\\x0adatabase present\\x0a",
          "the post-install program did not run under /flash", repr(contents))
    check(entries.get("/flash/rw/REBOOT", {}).get("mode") == 0o600, "no REBOOT marker")
    check("/flash/rw/RESET" not in entries, "RESET written although a script arrived")


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
    run = install(ctx, flash, demo_files(ctx.work))
    check("Software installed." in run.console, "no success line", run.console)
    for line in ("Formatting disk...", "Found server at ", "lcd: \"tarnwick\"",
                 "panics: cleared"):
        check(line in run.console, f"console lacks '{line}'", run.console)
    entries, contents = manifest(ctx, flash)
    expect_demo_installed(entries, contents, run.console)


def scenario_erase_256k(ctx):
    """256 KiB erase blocks: the same installation on a flash of larger blocks."""
    flash = rig.Flash(ctx.work / "flash.img", erase_kib=256)
    run = install(ctx, flash, demo_files(ctx.work))
    check("Software installed." in run.console, "no success line", run.console)
    expect_demo_installed(*manifest(ctx, flash), run.console)


def scenario_activepart(ctx):
    """"activepart=1": the second pair is formatted and installed, the first stays erased."""
    flash = rig.Flash(ctx.work / "flash.img", pairs=2)
    run = install(ctx, flash, demo_files(ctx.work), append="ubifs_support activepart=1")
    check("Software installed." in run.console, "no success line", run.console)
    expect_demo_installed(*manifest(ctx, flash, append="activepart=1"), run.console)
    first_pair = flash.path.read_bytes()[: (flash.kernel_mib + flash.root_mib) * rig.MiB]
    check(first_pair.count(0xFF) == len(first_pair), "the inactive pair was written")


def scenario_release_gate(ctx):
    """A board that accepts only releases from 6.50: the installer refuses, flash untouched."""
    flash = rig.Flash(ctx.work / "flash.img")
    run = install(ctx, flash, demo_files(ctx.work), board=rig.Board(min_release=0x06326601))
    check("\nFATAL ERROR: tarnwick version 6.49.10 is too old, board supports versions from "
          "6.50.1\n" in run.console.replace("\r", ""), "no release-gate message", run.console)
    data = flash.path.read_bytes()
    check(data.count(0xFF) == len(data), "the flash was written")


def scenario_no_nand(ctx):
    """"no-nand": only the kernel partition is formatted; UBI then yaffs are tried in order
    and, with no yaffs in this kernel, the installation stops."""
    flash = rig.Flash(ctx.work / "flash.img")
    run = install(ctx, flash, demo_files(ctx.work), append="no-nand")
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
