"""What the Wine tests stand on: the cross builds, the Wine loaders and
prefixes, an Xvfb screen and the module simulator on a pseudo-terminal that a
Wine prefix maps to a COM port.

Every helper raises Skip when something the check needs is not on this host
(mingw-w64, Wine, Xvfb, or a kernel that runs 32-bit programs) and Failure when
what is there does not work. wine_check.py turns them into exit statuses.
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

SKIP_STATUS = 77

WINE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko prompts; no menu entries written into the host's home.
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
}


class Skip(Exception):
    """The check cannot run on this host; the text says why."""


class Failure(Exception):
    """The check ran and failed; the text says what."""


def log(text):
    print(text, flush=True)


# ---- The two widths ---------------------------------------------------------


class Width:
    """One Windows width: its toolchain, its Wine loader and its folders."""

    def __init__(self, bits, cross_root):
        self.bits = bits
        self.triplet = "i686-w64-mingw32" if bits == 32 else "x86_64-w64-mingw32"
        self.table = "x86" if bits == 32 else "x64"
        name = "WINE32_LOADER" if bits == 32 else "WINE64_LOADER"
        default = "/usr/lib/wine/wine" if bits == 32 else "/usr/lib/wine/wine64"
        self.loader = os.environ.get(name, default)
        self.dir = Path(cross_root) / ("win%d" % bits)
        self.lib = self.dir / "lib"  # the library and Wexmon.exe
        self.tests = self.dir / "tests"  # the Windows test programs
        self.app = self.lib / "app"
        self.wexread = self.dir / "wexread"  # wexread.exe (posix thread model)
        self.wexread_exe = self.wexread / "tools/wexread/wexread.exe"
        self.prefix = self.dir / "wineprefix"
        self.logs = self.dir / "logs"
        self.logs.mkdir(parents=True, exist_ok=True)

    def tool(self, name):
        for candidate in ("%s-%s-win32" % (self.triplet, name), "%s-%s" % (self.triplet, name)):
            found = shutil.which(candidate)
            if found:
                return found
        package = "g++-mingw-w64-i686" if self.bits == 32 else "g++-mingw-w64-x86-64"
        raise Skip("%s-%s is not installed (Debian: %s)" % (self.triplet, name, package))

    def toolchain(self, repo):
        return Path(repo) / "cmake" / ("toolchain-%s-mingw.cmake" % self.triplet.split("-")[0])

    def com_link(self, number):
        """The stable path a prefix maps COM<number> to."""
        return self.dir / ("wine-com%d" % number)


def probe_loader(width):
    """Whether this host runs the Wine loader of that width at all.

    Executes it rather than guessing from the packages: on a kernel without
    IA-32 emulation the 32-bit loader fails with "Exec format error". Raises
    Skip for a 32-bit loader the host cannot run or any loader not installed;
    a 64-bit loader that is there and does not run is a Failure.
    """
    loader = width.loader
    if not os.access(loader, os.X_OK):
        package = "wine32:i386" if width.bits == 32 else "wine64"
        raise Skip("%s is not installed (Debian: %s)" % (loader, package))
    # A plain execv reports ENOEXEC as "Exec format error", where a shell would
    # hand the ELF file to /bin/sh as a script.
    code = ("import os, sys\ntry:\n    os.execv(sys.argv[1], [sys.argv[1], '--version'])\n"
            "except OSError as e:\n    sys.exit('%s: %s' % (sys.argv[1], e.strerror))")
    try:
        run = subprocess.run([sys.executable, "-c", code, loader], capture_output=True,
                             text=True, timeout=60)
        out = (run.stdout + run.stderr).strip()
        ok = run.returncode == 0 and out.startswith("wine-")
    except subprocess.TimeoutExpired:
        out, ok = "timed out", False
    if ok:
        if not shutil.which("wineserver"):
            raise Skip("wineserver is not installed")
        return
    last = out.splitlines()[-1] if out else ""
    reason = "'%s --version' failed: %s" % (loader, last)
    if width.bits == 32:
        raise Skip("this host cannot run 32-bit programs: " + reason)
    raise Failure(reason)


# ---- Wine prefixes ----------------------------------------------------------


def win_path(path):
    """A host path as Windows programs under Wine name it (Z: is the root)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Prefix:
    """A Wine prefix of one width whose COM ports are mapped to stable paths.

    The mapping lives in HKLM\\Software\\Wine\\Ports, which the Wine server
    reads when it starts; links made by hand in dosdevices are overwritten
    then. The simulator's pseudo-terminal is linked to the stable path for
    each run.
    """

    def __init__(self, width, path=None):
        self.width = width
        self.path = Path(path) if path else width.prefix
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEARCH", "WINELOADER"):
            self.env.pop(name, None)
        self.env.update(WINE_ENV)
        self.env["WINEPREFIX"] = str(self.path)
        self.env["WINEARCH"] = "win%d" % width.bits

    def stop(self):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, check=False)

    def run(self, args, timeout, cwd=None, env=None, check_status=True):
        """Runs a Windows program; returns (status, output)."""
        full = dict(self.env)
        full.update(env or {})
        # Output into a file, not a pipe: a Wine server started by this run
        # inherits the descriptor and would hold a pipe open after the program.
        with tempfile.TemporaryFile() as capture:
            try:
                done = subprocess.run([self.width.loader] + [str(a) for a in args], cwd=cwd,
                                      env=full, stdout=capture, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, timeout=timeout)
                status = done.returncode
            except subprocess.TimeoutExpired:
                status = None
            capture.seek(0)
            out = capture.read().decode("utf-8", "replace").replace("\r\n", "\n")
        if status is None:
            raise Failure("%s timed out after %d s\n%s" % (args[0], timeout, out[-3000:]))
        if check_status and status != 0:
            raise Failure("%s exited %d\n%s" % (args[0], status, out[-3000:]))
        return status, out

    def ensure(self, com_ports=(1,)):
        """Creates the prefix when missing and maps each COM port."""
        self.stop()
        if not (self.path / "system.reg").exists():
            self.run(["wineboot", "-i"], timeout=240, check_status=False)
        changed = False
        for number in com_ports:
            link = self.width.com_link(number)
            line = '"COM%d"="%s"' % (number, link)
            if line not in self.registry():
                self.run(["reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM%d" % number,
                          "/t", "REG_SZ", "/d", str(link), "/f"], timeout=90)
                changed = True
        if changed:
            self.stop()  # writes system.reg; the next server reads the mapping
        for number in com_ports:
            line = '"COM%d"="%s"' % (number, self.width.com_link(number))
            if line not in self.registry():
                raise Failure("the COM%d mapping is not in %s/system.reg" % (number, self.path))

    def registry(self, hive="system.reg"):
        try:
            return (self.path / hive).read_text(encoding="utf-8", errors="replace")
        except OSError:
            return ""


def check_passed(name, out):
    """A test program passes only with its closing line: Wine can report
    success after a crash."""
    lines = out.strip().splitlines()
    if not lines or lines[-1].strip() != "ALL CHECKS PASSED":
        bad = [l for l in lines if not l.startswith("ok")]
        raise Failure("%s did not reach its end:\n%s" % (name, "\n".join(bad[-30:])))
    log("%s: %d checks" % (name, sum(1 for l in lines if l.startswith("ok"))))


# ---- The module simulator ---------------------------------------------------


class Simulator:
    """w316sim on a pseudo-terminal behind a stable link, one module with the
    given eight raw values. Use it inside the Wine prefix's lifetime and stop
    Wine first: Wine holds the terminal as its controlling terminal, and a
    hang-up with Wine still up floods the server's output."""

    def __init__(self, program, link, values, logs):
        self.program, self.link, self.values, self.logs = program, Path(link), values, logs
        self.process = None

    def __enter__(self):
        if not self.program or not os.access(self.program, os.X_OK):
            raise Failure("no module simulator at %s" % self.program)
        try:
            self.link.unlink()
        except FileNotFoundError:
            pass
        args = [self.program, "--no-stdin", "--link", str(self.link)]
        for i, v in enumerate(self.values):
            args += ["--raw", "0.%d=%d" % (i, v)]
        self.out = open(self.logs / "simulator.out", "w+")
        self.err = open(self.logs / "simulator.err", "w+")
        self.process = subprocess.Popen(args, stdout=self.out, stderr=self.err,
                                        start_new_session=True)
        for _ in range(100):
            self.out.seek(0)
            if self.out.read().startswith("PTY ") and self.link.is_symlink():
                return self
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.err.seek(0)
        self.stop()
        raise Failure("the simulator did not start: " + self.err.read())

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def __exit__(self, *exc):
        self.stop()
        self.out.close()
        self.err.close()


class WineSession:
    """A prefix with the simulator on COM ports for one check; on leaving,
    Wine is stopped first, then the simulators."""

    def __init__(self, prefix, simulator, values_by_port, logs):
        self.prefix = prefix
        self.sims = [Simulator(simulator, prefix.width.com_link(port), values, logs)
                     for port, values in values_by_port.items()]

    def __enter__(self):
        self.prefix.ensure(com_ports=tuple(
            int(s.link.name.replace("wine-com", "")) for s in self.sims) or (1,))
        started = []
        try:
            for s in self.sims:
                started.append(s.__enter__())
        except BaseException:
            for s in started:
                s.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.prefix.stop()
        for s in self.sims:
            s.__exit__(None, None, None)


# ---- Xvfb --------------------------------------------------------------------


class Xvfb:
    """An X screen of its own: Xvfb picks a free display number and writes it
    to a pipe. -noreset keeps it up when its last client leaves (it would
    write the number again, into a closed pipe, and exit)."""

    def __init__(self, logs, size="1280x800x24"):
        self.logs, self.size, self.process, self.display = logs, size, None, None

    def __enter__(self):
        if not shutil.which("Xvfb"):
            raise Skip("Xvfb is not installed (Debian: xvfb)")
        read_end, write_end = os.pipe()
        self.err = open(self.logs / "xvfb.log", "w")
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.size, "-nolisten", "tcp",
             "-noreset"], pass_fds=(write_end,), stderr=self.err, start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.time() + 15
        while time.time() < deadline and not number.endswith(b"\n"):
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.__exit__()
            raise Failure("Xvfb did not start; see %s" % (self.logs / "xvfb.log"))
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        self.err.close()


def bmp_to_png(bmp, png):
    """A 32-bit BMP (as the driver saves screenshots) as a PNG."""
    data = Path(bmp).read_bytes()
    (offset,) = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    top_down = height < 0
    height = abs(height)
    rows = []
    for y in range(height):
        row = data[offset + 4 * width * y: offset + 4 * width * (y + 1)]
        rgb = bytearray(3 * width)
        rgb[0::3], rgb[1::3], rgb[2::3] = row[2::4], row[1::4], row[0::4]
        rows.append(b"\0" + bytes(rgb))
    if not top_down:
        rows.reverse()

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body))

    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0,
                                                              0, 0))
    out += chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b"")
    Path(png).write_bytes(out)


def start_background(prefix, args, cwd, env, log_path):
    """A Windows program left running (Wexmon.exe while a driver works it)."""
    full = dict(prefix.env)
    full.update(env)
    out = open(log_path, "w")
    return subprocess.Popen([prefix.width.loader] + [str(a) for a in args], cwd=cwd, env=full,
                            stdout=out, stderr=subprocess.STDOUT), out


def end_background(process, timeout):
    try:
        return process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.send_signal(signal.SIGKILL)
        process.wait()
        return None
