#!/usr/bin/env python3
"""The virtual board: a big-endian MIPS Malta under qemu with block2mtd flash, the board's
driver modules, and a network segment (a tap in a network namespace of its own) shared with
tarnwick. Used by the scenario tests and the demo; run directly for a smoke boot:

    tools/vboard/rig.py smoke        kernel interface check without the installer

Everything a run creates (namespace, tap, processes, temporary files) is removed at its end;
every boot has a timeout.
"""

import contextlib
import gzip
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
CROSS = "mips-linux-gnu-"

# Where the installer's module table looks for the board's own drivers, relative to
# "/lib/modules/<release>/", and which of our modules serves each one.
MODULE_PATHS = {
    "misc/flashinfo.ko": "board_flash.ko",
    "misc/lcd.ko": "board_lcd.ko",
    "misc/panics.ko": "board_panics.ko",
}

MiB = 1 << 20


def log(text):
    print(f"[rig {time.strftime('%H:%M:%S')}] {text}", flush=True)


def build_dir():
    path = Path(os.environ.get("VBOARD_BUILD", ROOT / "build" / "vboard"))
    path.mkdir(parents=True, exist_ok=True)
    return path


def kernel():
    """The board kernel's cache directory (vmlinux, build/, release), built on first use."""
    out = subprocess.run([str(ROOT / "scripts" / "board-kernel")], check=True,
                         stdout=subprocess.PIPE, text=True).stdout.strip()
    return Path(out)


def release(kdir):
    return (kdir / "release").read_text().strip()


class Board:
    """What the flash driver tells about the board; each field a module parameter."""

    def __init__(self, name="Quorrelin 12Z-4", min_release=0, capabilities=0x1000):
        self.name = name
        self.min_release = min_release
        self.capabilities = capabilities

    def defaults_header(self):
        name = self.name.replace("\\", "\\\\").replace('"', '\\"')
        return (f'#define BOARD_NAME "{name}"\n'
                f"#define BOARD_MIN_RELEASE 0x{self.min_release:08x}u\n"
                f"#define BOARD_CAPABILITIES 0x{self.capabilities:x}u\n")


def modules(kdir, board):
    """Builds our driver modules for this board (cached per board) and returns their dir."""
    header = board.defaults_header()
    sources = sorted((HERE / "modules").iterdir())
    key = hashlib.sha256((str(kdir) + header + "".join(
        p.read_text() for p in sources)).encode()).hexdigest()[:12]
    out = build_dir() / f"modules-{key}"
    if all((out / ko).exists() for ko in MODULE_PATHS.values()):
        return out
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    for p in sources:
        shutil.copy(p, out / p.name)
    (out / "board_defaults.h").write_text(header)
    subprocess.run(["make", "-s", "-C", str(kdir / "build"), "ARCH=mips",
                    f"CROSS_COMPILE={CROSS}", f"M={out}", "modules"], check=True)
    return out


class Cpio:
    """An initramfs in the kernel's "newc" cpio format, owners and modes as given."""

    def __init__(self):
        self.entries = []
        self.dirs = set()

    def _add(self, path, mode, data=b"", rdev=(0, 0)):
        self.entries.append((path.lstrip("/"), mode, data, rdev))

    def dir(self, path):
        parts = [p for p in path.split("/") if p]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in self.dirs:
                self.dirs.add(d)
                self._add(d, 0o040755)

    def file(self, path, data, mode=0o100755):
        self.dir(os.path.dirname(path))
        self._add(path, mode, data)

    def node(self, path, major, minor):
        self.dir(os.path.dirname(path))
        self._add(path, 0o020600, b"", (major, minor))

    def write(self, out):
        blob = bytearray()

        def entry(ino, name, mode, data, rdev):
            fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                      len(name) + 1, 0]
            blob.extend(b"070701" + b"".join(b"%08X" % f for f in fields))
            blob.extend(name.encode() + b"\0")
            blob.extend(b"\0" * (-len(blob) % 4))
            blob.extend(data)
            blob.extend(b"\0" * (-len(blob) % 4))

        for ino, (name, mode, data, rdev) in enumerate(self.entries, start=1):
            entry(ino, name, mode, data, rdev)
        entry(0, "TRAILER!!!", 0, b"", (0, 0))
        Path(out).write_bytes(gzip.compress(bytes(blob), compresslevel=6))


def initramfs(out, kdir, board, init, extra=(), installer=None):
    """The boot image: init as "/init", the board's modules at the module table's paths,
    "/sbin/nandfix", the mount points the installer expects, a console node."""
    rel = release(kdir)
    mods = modules(kdir, board)
    c = Cpio()
    for d in ("dev", "proc", "sys", "flash", "ram", "tmp", "etc", "sbin"):
        c.dir(d)
    # The kernel opens the console for the first process before anything is mounted.
    c.node("dev/console", 5, 1)
    c.file("init", Path(init).read_bytes())
    c.file("sbin/nandfix", (mips_bin() / "nandfix").read_bytes())
    for rel_path, ko in MODULE_PATHS.items():
        c.file(f"lib/modules/{rel}/{rel_path}", (mods / ko).read_bytes(), 0o100644)
    c.file("etc/vboard-modules", "\n".join(MODULE_PATHS).encode() + b"\n", 0o100644)
    if installer:
        c.file("sbin/installer", Path(installer).read_bytes())
    for path, data in extra:
        c.file(path, data, 0o100644)
    c.write(out)


def mips_bin():
    return Path(os.environ.get("VBOARD_MIPS_BIN", ROOT / "build" / "mips" / "bin"))


def host_bin(name):
    """The newest of the release and dev builds of a PC tool."""
    found = [p for p in (ROOT / "build" / preset / "bin" / name for preset in ("release", "dev"))
             if p.exists()]
    if not found:
        raise FileNotFoundError(f"{name}: build the dev or release preset first")
    return max(found, key=lambda p: p.stat().st_mtime)


class Flash:
    """The board's flash: a file of erased (0xFF) bytes behind block2mtd, split into the
    kernel and root partitions of one or two pairs."""

    def __init__(self, path, erase_kib=128, pairs=1, kernel_mib=8, root_mib=24):
        self.path = Path(path)
        self.erase_kib = erase_kib
        self.pairs = pairs
        self.kernel_mib = kernel_mib
        self.root_mib = root_mib
        size = pairs * (kernel_mib + root_mib) * MiB
        with open(self.path, "wb") as f:
            block = b"\xff" * MiB
            for _ in range(size // MiB):
                f.write(block)

    def cmdline(self):
        parts = []
        for i in range(self.pairs):
            suffix = "" if i == 0 else str(i)
            parts += [f"{self.kernel_mib}M(kernel{suffix})", f"{self.root_mib}M(root{suffix})"]
        return (f"block2mtd.block2mtd=/dev/vda,{self.erase_kib}KiB,flash "
                f"mtdparts=flash:{','.join(parts)}")


class Segment:
    """A network namespace holding a tap device: the Ethernet segment of the board and
    the PC. qemu and tarnwick both run inside it. A faulty segment puts the link tests'
    relay (10% loss, duplicates, reordering) between the tap and a veth pair whose far
    end is tarnwick's interface."""

    counter = 0

    def __init__(self, faulty=False, seed=1):
        Segment.counter += 1
        self.ns = f"vboard{os.getpid()}n{Segment.counter}"
        self.tap = "vbtap0"
        self.server_if = self.tap
        self.relay = None
        run(["ip", "netns", "add", self.ns])
        try:
            self._ip("link", "set", "lo", "up")
            self._ip("tuntap", "add", "dev", self.tap, "mode", "tap")
            self._ip("link", "set", self.tap, "up")
            if faulty:
                self.server_if = "vbsrv0"
                self._ip("link", "add", "name", "vbrly0", "type", "veth", "peer", "name",
                         self.server_if)
                for dev in ("vbrly0", self.server_if):
                    self._ip("link", "set", dev, "up")
                relay = ROOT / "build" / "dev" / "bin" / "vboard_relay"
                self.relay = Process(self.exec_prefix() + [str(relay), self.tap, "vbrly0",
                                                           str(seed)], "relay")
        except BaseException:
            self.close()
            raise

    def _ip(self, *args):
        run(["ip", "-n", self.ns, *args])

    def exec_prefix(self):
        return ["ip", "netns", "exec", self.ns]

    def relay_counts(self):
        """forwarded, dropped, duplicated, delayed: printed by the relay when stopped."""
        self.relay.close()
        return [int(x) for x in self.relay.text().split()[-4:]]

    def close(self):
        if self.relay:
            self.relay.close()
        subprocess.run(["ip", "netns", "del", self.ns], check=False)


def run(cmd):
    subprocess.run(cmd, check=True)


class Process:
    """A child process with its output collected in the background; ended by its own PID
    at close."""

    def __init__(self, cmd, name, echo=False, stdin=False):
        self.name = name
        self.echo = echo
        self.output = bytearray()
        self.arrivals = []  # (monotonic time, output length after the chunk)
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 65536)
            if not chunk:
                break
            if self.echo:
                sys.stdout.buffer.write(chunk)
                sys.stdout.flush()
            with self.cond:
                self.output.extend(chunk)
                self.arrivals.append((time.monotonic(), len(self.output)))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def text(self):
        with self.cond:
            return self.output.decode(errors="replace")

    def expect(self, pattern, timeout, start=0):
        """Waits until pattern (a regex) shows in the output after offset start; returns
        the match, or None when the time runs out or the process ends first."""
        deadline = time.monotonic() + timeout
        rx = re.compile(pattern.encode() if isinstance(pattern, str) else pattern)
        with self.cond:
            while True:
                m = rx.search(self.output, start)
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self.reader.is_alive()):
                    return None
                self.cond.wait(min(left, 0.5))

    def seen_at(self, pattern):
        """The time at which pattern first showed in the output, or None."""
        with self.cond:
            m = re.search(pattern.encode(), self.output)
            if not m:
                return None
            return next(t for t, length in self.arrivals if length >= m.end())

    def send(self, data):
        self.proc.stdin.write(data if isinstance(data, bytes) else data.encode())
        self.proc.stdin.flush()

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def close(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            # Its own process group (start_new_session): "ip netns exec" and what it runs.
            os.killpg(self.proc.pid, sig)
            if self.wait(5) is None:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.reader.join(5)


def qemu(kdir, initrd, flash, append, segment=None, echo=False):
    """Starts the board; its serial console is the process's standard streams."""
    cmd = ["qemu-system-mips", "-M", "malta", "-m", "256", "-kernel", str(kdir / "vmlinux"),
           "-initrd", str(initrd), "-display", "none", "-monitor", "none", "-serial", "stdio",
           "-parallel", "none", "-vga", "none", "-no-reboot",
           "-drive", f"file={flash.path},format=raw,if=virtio",
           "-append", f"console=ttyS0 panic=-1 {flash.cmdline()} {append}".strip()]
    if segment is None:
        cmd += ["-nic", "none"]
    else:
        # The pcnet card on the Malta's PCI bus, without the boot ROM that Debian's qemu
        # package does not carry (the kernel drives the card itself).
        cmd = segment.exec_prefix() + cmd + [
            "-nic", "none",
            "-netdev", f"tap,id=n0,ifname={segment.tap},script=no,downscript=no",
            "-device", "pcnet,netdev=n0,romfile="]
    return Process(cmd, "board", echo=echo, stdin=True)


@contextlib.contextmanager
def workdir():
    path = Path(tempfile.mkdtemp(prefix="vboard-", dir=build_dir()))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def boot_check(kdir, work, flash, board, append="", timeout=120, echo=False):
    """Boots the check program on the flash and returns its lines (without "vb: ")."""
    initrd = work / "check.cpio.gz"
    initramfs(initrd, kdir, board, mips_bin() / "board_init")
    b = qemu(kdir, initrd, flash, append, echo=echo)
    try:
        done = b.expect(r"vb: done", timeout)
    finally:
        b.close()
    text = b.text()
    if not done:
        raise RuntimeError(f"check boot did not finish in {timeout} s:\n{text[-4000:]}")
    return [line[4:].rstrip("\r") for line in text.splitlines() if line.startswith("vb: ")]


def smoke(echo=True):
    kdir = kernel()
    with workdir() as work:
        flash = Flash(work / "flash.img")
        board = Board(name="Quorrelin 12Z-4", min_release=0x0631660A, capabilities=0x1001)
        start = time.monotonic()
        lines = boot_check(kdir, work, flash, board, "vbinit=smoke", echo=echo)
        log(f"smoke boot took {time.monotonic() - start:.1f} s")
        return lines


if __name__ == "__main__":
    if sys.argv[1:] == ["smoke"]:
        for line in smoke():
            print(line)
    else:
        print(__doc__)
        sys.exit(2)
