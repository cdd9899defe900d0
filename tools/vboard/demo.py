#!/usr/bin/env python3
"""The demo system for the virtual board and the installation run that the demo and the
scenario tests share: two signed packages (a "system" package with the post-install
program "/bin/pellu", and "hello", which depends on it) and a configuration script;
tarnwick serving them on the board's segment; the check boot reading back the flash.

    tools/vboard/demo.py       the demo: install on a fresh virtual board, then list
    tools/vboard/demo.py perf  stage times, package against script rate, peak memory
"""

import hashlib
import json
import os
import re
import subprocess
import sys
import time

import rig

# An installation takes seconds under emulation; a stuck board fails the run soon.
BOOT_TIMEOUT = 150


class Failure(Exception):
    pass


def check(condition, what, context=""):
    if not condition:
        raise Failure(what + ("\n" + context[-6000:] if context else ""))


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


def file_data(entry):
    return entry if entry else ((rig.mips_bin() / "pellu").read_bytes(), 0o755)


def write_tree(root, files):
    for rel, entry in files.items():
        data, mode = file_data(entry)
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
        for rel, entry in files.items():
            data, mode = file_data(entry)
            out["/flash/" + rel] = (mode, hashlib.sha256(data).hexdigest())
    out["/flash/setup.scr"] = (None, hashlib.sha256(SCRIPT).hexdigest())
    return out


class Run:
    def __init__(self, console, server, seconds, relay_counts=None):
        self.console = console
        self.server = server
        self.seconds = seconds
        self.relay_counts = relay_counts


def install(kdir, work, flash, files, append="ubifs_support", board=None, keep=False,
            on_console=None, echo=False, faulty=False, watch=False):
    """Boots the installer on flash with tarnwick serving files (no server when files is
    None); answers "Press ENTER to
    reboot" so that failures end too. on_console(board, server) may act during the run."""
    initrd = work / "installer.cpio.gz"
    installer = rig.mips_bin() / "installer"
    if watch:
        # The check program as first process, the installer its child, so that the peak
        # memory the kernel reports for the installer can be printed while it runs.
        rig.initramfs(initrd, kdir, board or rig.Board(), rig.mips_bin() / "board_init",
                      installer=installer)
        append += " vbinit=watch"
    else:
        rig.initramfs(initrd, kdir, board or rig.Board(), installer)
    seg = rig.Segment(faulty=faulty)
    server = board_proc = None
    try:
        cmd = seg.exec_prefix() + [str(rig.host_bin("tarnwick")), "-i", seg.server_if, "-n", "1"]
        if files is not None:
            server = rig.Process(cmd + (["--keep"] if keep else []) + [str(f) for f in files],
                                 "tarnwick", echo=echo)
        start = time.monotonic()
        board_proc = rig.qemu(kdir, initrd, flash, append, seg, echo=echo)
        if on_console:
            on_console(board_proc, server)
        if board_proc.expect(r"Press ENTER to reboot", BOOT_TIMEOUT):
            # After success the installer waits for the server's end (or a key); after a
            # failure for a key only: give it one when the board is still waiting.
            if board_proc.wait(20) is None:
                board_proc.send("\n")
        ended = board_proc.wait(60) is not None
        seconds = time.monotonic() - start
        check(ended, "the board did not reboot", board_proc.text())
        counts = seg.relay_counts() if faulty else None
        result = Run(board_proc.text(), server.text() if server else "", seconds, counts)
        result.board = board_proc
        return result
    finally:
        for p in (board_proc, server):
            if p:
                p.close()
        seg.close()


def manifest(kdir, work, flash, append="", board=None):
    """Boots the check program: {path: entry} and {path: escaped contents}."""
    lines = rig.boot_check(kdir, work, flash, board or rig.Board(), append)
    entries, contents = {}, {}
    for line in lines:
        if line.startswith("entry "):
            kind, mode, owner, size, atime, mtime, path, what = line[6:].split(" ", 7)
            entries[path] = dict(kind=kind, mode=int(mode, 8), owner=owner, size=int(size),
                                 atime=int(atime), mtime=int(mtime), what=what)
        elif line.startswith("content "):
            path, text = line[8:].split(" ", 1)
            contents[path] = text[1:-1]
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
    check(contents.get("/flash/rw/postinstall") == "pellu ran: /bin/pellu pellu\\x0adatabase present\\x0a",
          "the post-install program did not run under /flash", repr(contents))
    check(entries.get("/flash/rw/REBOOT", {}).get("mode") == 0o600, "no REBOOT marker")
    check("/flash/rw/RESET" not in entries, "RESET written although a script arrived")


def format_version(v):
    major, minor, kind, level = v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF
    if kind == ord("f"):
        return f"{major}.{minor}" + (f".{level}" if level else "")
    suffix = {ord("a"): "alpha", ord("b"): "beta", ord("c"): "rc"}.get(kind, "")
    return f"{major}.{minor}{suffix}" + (str(level) if level else "")


def package_list(contents):
    """The installed packages as the board lists them: name, flags, version, build time."""
    rows = [f"{'Name':>16}    {'Version':>13} {'Built':>20}{'Note':>40}", "-" * 94]
    for path in sorted(p for p in contents if p.endswith("/version")):
        name = path.split("/")[-2]
        version, built = (int(x) for x in contents[path].split("\\x0a")[0].split())
        flag = "X" if path.replace("/version", "/disabled") in contents else " "
        when = time.strftime("%b/%d/%Y %H:%M:%S", time.gmtime(built))
        rows.append(f"{name:>16} {flag}  {format_version(version):>13} {when:>20} {'':>40}")
    return "\n".join(rows)


def perf():
    """Figures for one installation: stage times on the board's console, the rate of a
    large package next to a script of the same size, and the installer's peak memory."""
    kdir = rig.kernel()
    with rig.workdir() as work:
        big = build_package(work, "big", {"usr/share/big/blob": (os.urandom(4 << 20), 0o644)})
        script = work / "same-size.scr"
        script.write_bytes(os.urandom(big.stat().st_size))
        flash = rig.Flash(work / "flash.img")
        run = install(kdir, work, flash, [script, big], watch=True)
        start = run.board.arrivals[0][0] if run.board.arrivals else 0
        for name, pattern in (("banner", r"Welcome to"), ("server found", r"Found server at"),
                              ("formatting", r"Formatting disk"),
                              ("script", r"Writing configuration"),
                              ("installed", r"Software installed")):
            at = run.board.seen_at(pattern)
            print(f"{name:>14}: " + (f"{at - start:7.1f} s after boot" if at else "not seen"))
        for line in run.server.splitlines():
            if " sent " in line:
                print("tarnwick:", line.strip())
        peaks = re.findall(r"vb: peak (\S+) (\d+) kB", run.console)
        for name in sorted({n for n, _ in peaks}):
            print(f"peak resident memory of {name}: "
                  f"{max(int(k) for n, k in peaks if n == name)} kB (goal 2048 kB)")


def main():
    stage_start = time.monotonic()

    def stage(text):
        nonlocal stage_start
        now = time.monotonic()
        rig.log(f"{text} (previous stage {now - stage_start:.1f} s)")
        stage_start = now

    stage("board kernel (built once, then cached)")
    kdir = rig.kernel()
    with rig.workdir() as work:
        stage("demo packages: system, hello (signed with the development keys), setup.scr")
        files = demo_files(work)
        flash = rig.Flash(work / "flash.img")
        stage("installing: the board's console and tarnwick's progress follow")
        run = install(kdir, work, flash, files, echo=True)
        stage(f"installation ended after {run.seconds:.1f} s; booting the installed board")
        entries, contents = manifest(kdir, work, flash)
        stage("installed on the board's flash")
        print(package_list(contents))
        print(f"{len(entries)} paths on flash; post-install: "
              f"{contents.get('/flash/rw/postinstall', 'did not run')}")
        expect_demo_installed(entries, contents, run.console)
    stage("demo finished")


if __name__ == "__main__":
    try:
        perf() if sys.argv[1:] == ["perf"] else main()
    except Failure as e:
        print(f"demo failed: {e}", file=sys.stderr)
        sys.exit(1)
