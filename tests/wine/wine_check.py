#!/usr/bin/env python3
"""One Wine check of one width, as one CTest test (tests/wine/CMakeLists.txt).

    wine_check.py CHECK --bits 32|64 --repo DIR --cross DIR [--simulator PATH]

Exit status 0 when the check passed, 1 when it failed, 77 when it cannot run on
this host; then the last line reads "wine-test: SKIPPED <reason>".
"""

import argparse
import re
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_env  # noqa: E402
from wine_env import Failure, Prefix, Skip, WineSession, Xvfb, log, win_path  # noqa: E402

CHECKS = {}


def check(name):
    def register(function):
        CHECKS[name] = function
        return function

    return register


def run(args, log_path, cwd=None, timeout=900):
    with open(log_path, "w") as out:
        done = subprocess.run([str(a) for a in args], cwd=cwd, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout)
    if done.returncode != 0:
        text = Path(log_path).read_text(errors="replace")
        errors = [l for l in text.splitlines() if "error" in l.lower()]
        raise Failure("%s failed (%s):\n%s" % (Path(args[0]).name, log_path,
                                               "\n".join(errors[-20:] or text.splitlines()[-20:])))


# ---- The cross build (the fixture every other check of the width needs) ------


@check("build")
def build(ctx):
    w = ctx.width
    w.tool("g++")
    w.tool("objdump")
    launcher = []
    if ctx.args.launcher:
        launcher = ["-DCMAKE_C_COMPILER_LAUNCHER=" + ctx.args.launcher,
                    "-DCMAKE_CXX_COMPILER_LAUNCHER=" + ctx.args.launcher]
    if not (w.lib / "CMakeCache.txt").exists():
        run(["cmake", "-S", ctx.repo, "-B", w.lib, "-DCMAKE_TOOLCHAIN_FILE=%s" % w.toolchain(
            ctx.repo), "-DCMAKE_BUILD_TYPE=Release", "-DWEXLINK_BUILD_APP=ON",
             "-DWEXLINK_BUILD_TOOLS=OFF", "-DWEXLINK_BUILD_TESTS=OFF", "-DWEXLINK_BUILD_BENCH=OFF"]
            + launcher, w.logs / "cross-configure.log")
    run(["cmake", "--build", w.lib, "-j2", "--target", "wexlink", "Wexmon"],
        w.logs / "cross-build.log")
    if not (w.tests / "CMakeCache.txt").exists():
        run(["cmake", "-S", ctx.repo / "tests/wine/client", "-B", w.tests,
             "-DCMAKE_TOOLCHAIN_FILE=%s" % w.toolchain(ctx.repo), "-DCMAKE_BUILD_TYPE=Release"]
            + launcher, w.logs / "tests-configure.log")
    run(["cmake", "--build", w.tests, "-j2"], w.logs / "tests-build.log")
    # wexread.exe needs std::thread, which only the posix thread model has: a
    # build of its own, linked statically; it runs beside the DLL built above.
    if not (w.wexread / "CMakeCache.txt").exists():
        run(["cmake", "-S", ctx.repo, "-B", w.wexread, "-DCMAKE_TOOLCHAIN_FILE=%s" % w.toolchain(
            ctx.repo), "-DCMAKE_BUILD_TYPE=Release", "-DWEXLINK_MINGW_THREADS=posix",
             "-DWEXLINK_BUILD_APP=OFF", "-DWEXLINK_BUILD_TOOLS=OFF", "-DWEXLINK_BUILD_TESTS=OFF",
             "-DWEXLINK_BUILD_BENCH=OFF"] + launcher, w.logs / "wexread-configure.log")
    run(["cmake", "--build", w.wexread, "-j2", "--target", "wexread"],
        w.logs / "wexread-build.log")
    shutil.copy2(w.lib / "lib/wexlink.dll", w.tests / "wexlink.dll")
    # A DLL that exports only a plain "Initial" through dllexport: what the
    # export check and Wexmon must both reject.
    run([w.tool("g++"), "-shared", "-static-libgcc", "-o", w.dir / "plain-exports.dll",
         ctx.repo / "tests/wine/plain_exports.cpp"], w.logs / "plain-exports.log")
    for name in ("cross-build.log", "tests-build.log", "wexread-build.log"):
        warnings = [l for l in (w.logs / name).read_text(errors="replace").splitlines()
                    if "warning:" in l]
        for line in warnings[:20]:
            log(line)


# ---- Tables and machine code (no Wine needed) ----------------------------------


def exports_checker(ctx, *args):
    return subprocess.run([sys.executable, ctx.repo / "tests/wine/check_dll_exports.py"]
                          + [str(a) for a in args], capture_output=True, text=True)


@check("exports")
def exports(ctx):
    done = exports_checker(ctx, ctx.width.table, ctx.width.tests / "wexlink.dll")
    log(done.stdout + done.stderr)
    if done.returncode != 0:
        raise Failure("the export table of wexlink.dll is wrong")


@check("program_imports")
def program_imports(ctx):
    done = exports_checker(ctx, "--program", ctx.width.table, ctx.width.app / "Wexmon.exe")
    log(done.stdout + done.stderr)
    if done.returncode != 0:
        raise Failure("Wexmon.exe is not a GUI program with system imports only")


@check("rejects_wrong_dlls")
def rejects_wrong_dlls(ctx):
    other = "x64" if ctx.width.table == "x86" else "x86"
    if exports_checker(ctx, ctx.width.table, ctx.width.dir / "plain-exports.dll").returncode == 0:
        raise Failure("the export check accepts a DLL with dllexport names")
    if exports_checker(ctx, other, ctx.width.tests / "wexlink.dll").returncode == 0:
        raise Failure("the export check accepts a DLL of the other width")


@check("port_instructions")
def port_instructions(ctx):
    # The instructions run in tests only where they are refused (under Wine):
    # the six of them are checked in the machine code as well.
    text = subprocess.run([ctx.width.tool("objdump"), "-d", ctx.width.tests / "wexlink.dll"],
                          capture_output=True, text=True, check=True).stdout
    missing = [i for i in (r"in +\(%dx\),%al", r"in +\(%dx\),%ax", r"in +\(%dx\),%eax",
                           r"out +%al,\(%dx\)", r"out +%ax,\(%dx\)", r"out +%eax,\(%dx\)")
               if not re.search(r"\s" + i + "$", text, re.M)]
    if missing:
        raise Failure("missing port instructions: " + ", ".join(missing))


# ---- Test programs under Wine against the simulator --------------------------

# One module whose eight raw values test both bytes of every reading.
RUN_VALUES = [32016, 1, 256, 4660, 32768, 40000, 65534, 65535]


def wine_run(ctx, args, timeout, env=None, values=None, ports=(1,)):
    wine_env.probe_loader(ctx.width)
    prefix = Prefix(ctx.width)
    with WineSession(prefix, ctx.args.simulator,
                     {p: values or RUN_VALUES for p in ports}, ctx.width.logs):
        return prefix.run(args, timeout=timeout, cwd=ctx.width.tests, env=env,
                          check_status=False)


def expect_passed(name, result):
    status, out = result
    if status != 0:
        raise Failure("%s exited %d\n%s" % (name, status, out[-3000:]))
    wine_env.check_passed(name, out)
    return out


@check("backend")
def backend(ctx):
    expect_passed("win32_backend_test", wine_run(
        ctx, ["win32_backend_test.exe", "--port", "1", "--dead-port", "200"], 60))


@check("com12")
def com12(ctx):
    # A port above COM9, mapped like COM1: opened by its device-namespace name.
    expect_passed("win32_backend_test --port 12", wine_run(
        ctx, ["win32_backend_test.exe", "--port", "12", "--dead-port", "200"], 60, ports=(12,)))


@check("client")
def client(ctx):
    expect_passed("wine_client", wine_run(
        ctx, ["wine_client.exe", "--port", "1", "--dead-port", "200", "--values",
              ",".join(map(str, RUN_VALUES))], 90))


@check("exit_while_running")
def exit_while_running(ctx):
    # Ending the process with a run active must not hang in the unload.
    status, out = wine_run(ctx, ["wine_client.exe", "--exit-while-running", "--port", "1"], 30)
    if status != 0 or "EXITING WITH A RUN ACTIVE" not in out or "\nFAIL" in "\n" + out:
        raise Failure("exit %d:\n%s" % (status, out))


def once(out, pattern, what):
    n = len(re.findall(pattern, out, re.M))
    if n != 1:
        raise Failure("%s: %d lines match '%s'" % (what, n, pattern))


@check("ports_refused")
def ports_refused(ctx):
    # Wine refuses the instructions, as Windows does without a port-access
    # driver: writes do nothing, reads give all ones, one line says so.
    out = expect_passed("wine_client --ports refused",
                        wine_run(ctx, ["wine_client.exe", "--ports", "refused"], 30))
    once(out, "port instructions are refused", "the refusal reported once")


@check("ports_file")
def ports_file(ctx):
    space = ctx.width.dir / "iospace"
    if space.exists():
        space.unlink()
    expect_passed("wine_client --ports file", wine_run(
        ctx, ["wine_client.exe", "--ports", "file"], 30, env={"WEXLINK_IOSPACE": win_path(space)}))
    # Wine turns the file's access list into mode bits: nothing for others.
    mode = stat.S_IMODE(space.stat().st_mode) if space.exists() else None
    if mode is None or mode & 0o007:
        raise Failure("the I/O-space file is not private: mode %s" % (
            oct(mode) if mode is not None else "missing"))


@check("ports_unusable")
def ports_unusable(ctx):
    folder = ctx.width.dir / "iospace.dir"
    folder.mkdir(exist_ok=True)
    out = expect_passed("wine_client --ports unusable", wine_run(
        ctx, ["wine_client.exe", "--ports", "unusable"], 30,
        env={"WEXLINK_IOSPACE": win_path(folder)}))
    once(out, "WEXLINK_IOSPACE .*: port writes do nothing", "the unusable file reported once")


# ---- wexread.exe under Wine --------------------------------------------------


@check("wexread_imports")
def wexread_imports(ctx):
    text = subprocess.run([ctx.width.tool("objdump"), "-p", ctx.width.wexread_exe],
                          capture_output=True, text=True, check=True).stdout
    names = sorted(set(re.findall(r"DLL Name: (\S+)", text)))
    allowed = {"wexlink.dll", "kernel32.dll", "msvcrt.dll", "ws2_32.dll", "mswsock.dll"}
    if not names or any(n.lower() not in allowed for n in names):
        raise Failure("wexread.exe imports %s; only wexlink.dll and system DLLs belong" % names)
    log("wexread.exe imports " + ", ".join(names))


@check("wexread")
def wexread(ctx):
    import wexread_wine
    wexread_wine.run(ctx, ctx.width.wexread_exe)


# ---- Wexmon.exe under Wine ---------------------------------------------------


def lone_wexmon(ctx, name, dll=None):
    folder = ctx.width.dir / "wexmon-alone" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    shutil.copy2(ctx.width.app / "Wexmon.exe", folder)
    if dll:
        shutil.copy2(dll, folder / "wexlink.Dll")
    wine_env.probe_loader(ctx.width)
    # On a screen, as a user starts it: the windows are made before the
    # library is first called.
    with Xvfb(ctx.width.logs) as screen:
        prefix = Prefix(ctx.width)
        prefix.env["DISPLAY"] = screen.display
        prefix.ensure()
        try:
            return prefix.run(["Wexmon.exe", "--autostart", "--after", "10"], timeout=30,
                              cwd=folder, check_status=False)
        finally:
            prefix.stop()


@check("wexmon_no_dll")
def wexmon_no_dll(ctx):
    status, out = lone_wexmon(ctx, "nodll")
    if status != 3 or "cannot load the library wexlink.Dll" not in out:
        raise Failure("exit %d: %s" % (status, out[:500]))


@check("wexmon_wrong_dll")
def wexmon_wrong_dll(ctx):
    status, out = lone_wexmon(ctx, "wrongdll", ctx.width.dir / "plain-exports.dll")
    if status != 3 or not re.search(r"function .*ConfigInfo.* is not in the library wexlink.Dll",
                                    out):
        raise Failure("exit %d: %s" % (status, out[:500]))


GUI_VALUES = [32400, 32404, 31996, 34000, 34001, 31120, 31119, 0]
GUI_EXPECT = "25.0,25.3,-0.3,125.0,No,-55.0,No,No"


def drive_wexmon(ctx, wexmon_args, wexmon_env, driver_args, sims):
    """Wexmon.exe on an Xvfb screen with the real DLL beside it and the
    simulator on the given COM ports, driven through its windows by
    wexmon_driver.exe. Returns the driver's result and Wexmon's status."""
    w = ctx.width
    wine_env.probe_loader(w)
    with Xvfb(w.logs) as screen:
        prefix = Prefix(w)
        prefix.env["DISPLAY"] = screen.display
        with WineSession(prefix, ctx.args.simulator, sims, w.logs):
            # The expected texts have the decimal point of this locale.
            env = {"LC_ALL": "C.UTF-8"}
            env.update(wexmon_env)
            wexmon, wexmon_log = wine_env.start_background(
                prefix, ["Wexmon.exe"] + wexmon_args, w.app, env, w.logs / "wexmon.log")
            try:
                result = prefix.run(["wexmon_driver.exe"] + driver_args, timeout=90,
                                    cwd=w.tests, check_status=False)
                status = wine_env.end_background(wexmon, 30)
            finally:
                if wexmon.poll() is None:
                    wine_env.end_background(wexmon, 0)
                wexmon_log.close()
    expect_passed("wexmon_driver", result)
    if status != 0:
        raise Failure("Wexmon.exe ended with status %s: %s" % (
            status, (w.logs / "wexmon.log").read_text(errors="replace")[:500]))


@check("wexmon_session")
def wexmon_session(ctx):
    """The operator's session: start, values in both windows, relays written
    to the I/O-space file, stop, close."""
    w = ctx.width
    space = w.dir / "gui-iospace"
    data = bytearray(65536)
    data[256] = 0xA5
    space.write_bytes(bytes(data))
    space.chmod(0o600)
    shot = w.dir / ("wexmon-win%d.bmp" % w.bits)
    if shot.exists():
        shot.unlink()
    try:
        drive_wexmon(ctx, [], {"WEXLINK_IOSPACE": win_path(space)},
                     ["--iospace", win_path(space), "--expect", GUI_EXPECT, "--screenshot",
                      win_path(shot)], {1: GUI_VALUES})
    finally:
        if shot.exists():
            png = w.dir.parent / ("wexmon-win%d.png" % w.bits)
            wine_env.bmp_to_png(shot, png)
            log("screenshot %s" % png)


@check("wexmon_relay_message_port2")
def wexmon_relay_message_port2(ctx):
    """Wexmon.exe /port 2 with the module on COM2 only, and no port access:
    the values show, and the first relay press brings one warning box."""
    drive_wexmon(ctx, ["/port", "2"], {},
                 ["--relay-message", "--expect", GUI_EXPECT], {2: GUI_VALUES})


# ---- The installer --------------------------------------------------------------


def find_key(registry, key):
    """The values of a key in a Wine .reg file, or None."""
    header = "[" + key.replace("\\", "\\\\") + "]"
    at = registry.find(header)
    if at < 0:
        return None
    values = {}
    for line in registry[at:].splitlines()[1:]:
        if line.startswith("["):
            break
        m = re.match(r'"([^"]+)"=(.*)', line)
        if m:
            values[m.group(1)] = m.group(2)
    return values


@check("installer")
def installer(ctx):
    """Silent install into a fresh prefix, the files, key and shortcut there,
    the installed Wexmon.exe opens its window, silent uninstall leaves
    nothing."""
    w = ctx.width
    if not shutil.which("makensis"):
        raise Skip("makensis is not installed (Debian: nsis)")
    # wexread.exe comes from the build fixture's posix-thread build.
    run(["cmake", "-S", ctx.repo, "-B", w.lib, "-DWEXLINK_WEXREAD_EXE=%s" % w.wexread_exe],
        w.logs / "installer-configure.log")
    run(["cmake", "--build", w.lib, "--target", "installer"], w.logs / "installer-build.log")
    setups = sorted(w.lib.glob("wexlink-*-%s-setup.exe" % w.table))
    if len(setups) != 1:
        raise Failure("expected one wexlink-*-%s-setup.exe in %s, found %s" % (w.table, w.lib, setups))
    wine_env.probe_loader(w)
    prefix = Prefix(w, w.dir / "installer-prefix")
    prefix.stop()
    shutil.rmtree(prefix.path, ignore_errors=True)
    prefix.ensure(com_ports=())
    # /D= must come last and unquoted, so the folder has no space.
    target = "C:\\Tools\\wexlink"
    folder = prefix.path / "drive_c/Tools/wexlink"
    prefix.run([setups[0], "/S", "/D=" + target], timeout=120)
    prefix.stop()  # writes the registry files
    problems = []
    for name in ("Wexmon.exe", "wexread.exe", "wexlink.dll", "include/wexlink.h",
                 "lib/libwexlink.dll.a", "README.md", "LICENSE.txt", "uninstall.exe"):
        if not (folder / name).is_file():
            problems.append("missing " + name)
    menu = prefix.path / "drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/wexlink"
    for name in ("Wexmon.lnk", "wexread (COM1, web page).lnk", "wexread web page.url"):
        if not (menu / name).is_file():
            problems.append("no Start-menu entry %s/%s" % (menu, name))
    url = (menu / "wexread web page.url")
    if url.is_file() and "URL=http://localhost:9316/" not in url.read_text(errors="replace"):
        problems.append("the web page's link: %r" % url.read_text(errors="replace"))
    system = prefix.registry()
    key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\wexlink"
    values = find_key(system, key)
    if values is None:
        problems.append("no uninstall key " + key)
    else:
        for name in ("DisplayName", "DisplayVersion", "Publisher", "UninstallString",
                     "QuietUninstallString", "EstimatedSize"):
            if name not in values:
                problems.append("the key has no " + name)
        if "/S" not in values.get("QuietUninstallString", ""):
            problems.append("QuietUninstallString without /S")
    if find_key(system, "Software\\Wow6432Node\\" + key.split("Software\\", 1)[1]):
        problems.append("the key went to the 32-bit view (Wow6432Node)")
    if problems:
        raise Failure("after the install: " + "; ".join(problems))
    log("installed into %s; key %s" % (folder, values))

    # The installed program: its window opens and finds the DLL beside it
    # (the relay button's warning proves the library was loaded and called).
    with Xvfb(w.logs) as screen:
        prefix.env["DISPLAY"] = screen.display
        wexmon, wexmon_log = wine_env.start_background(prefix, ["Wexmon.exe"], folder, {},
                                                       w.logs / "installed-wexmon.log")
        try:
            result = prefix.run([w.tests / "wexmon_driver.exe", "--relay-message"], timeout=60,
                                check_status=False)
            status = wine_env.end_background(wexmon, 30)
        finally:
            if wexmon.poll() is None:
                wine_env.end_background(wexmon, 0)
            wexmon_log.close()
        prefix.env.pop("DISPLAY")
    expect_passed("wexmon_driver on the installed Wexmon.exe", result)
    if status != 0:
        raise Failure("the installed Wexmon.exe ended with status %s" % status)

    # The installed wexread.exe, beside the installed DLL, reads the simulator
    # on COM1 in every format.
    import wexread_wine
    reader_prefix = Prefix(w)
    with WineSession(reader_prefix, ctx.args.simulator, {1: wexread_wine.RAW}, w.logs):
        wexread_wine.formats(reader_prefix, folder)
    log("the installed wexread.exe read the simulator on COM1")

    # The uninstaller copies itself away and returns at once: wait for Wine.
    prefix.run([folder / "uninstall.exe", "/S"], timeout=120)
    subprocess.run(["wineserver", "-w"], env=prefix.env, timeout=120, check=False)
    prefix.stop()
    left = []
    if folder.exists():
        left += [str(p.relative_to(folder)) for p in folder.rglob("*")] or [str(folder)]
    if menu.exists():
        left.append(str(menu))
    if find_key(prefix.registry(), key) is not None:
        left.append("the uninstall key")
    if left:
        raise Failure("the uninstall left: " + ", ".join(left))


# ---- Main ----------------------------------------------------------------------


class Context:
    def __init__(self, args):
        self.args = args
        self.repo = Path(args.repo).resolve()
        self.width = wine_env.Width(args.bits, args.cross)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=sorted(CHECKS))
    parser.add_argument("--bits", type=int, choices=(32, 64), required=True)
    parser.add_argument("--repo", required=True)
    parser.add_argument("--cross", required=True, help="the cross builds and Wine prefixes")
    parser.add_argument("--simulator", help="a built w316sim")
    parser.add_argument("--launcher", help="compiler launcher for the cross builds (ccache)")
    args = parser.parse_args()
    ctx = Context(args)
    started = time.time()
    try:
        if args.check != "build" and not (ctx.width.tests / "wexlink.dll").exists():
            # The build fixture skipped (no mingw-w64) or has not run.
            ctx.width.tool("g++")
            raise Failure("no cross build in %s" % ctx.width.dir)
        CHECKS[args.check](ctx)
    except Skip as why:
        print("wine-test: SKIPPED %s" % why, flush=True)
        return wine_env.SKIP_STATUS
    except Failure as what:
        print("FAILED %d-bit %s (%.1f s): %s" % (args.bits, args.check, time.time() - started,
                                                 what), flush=True)
        return 1
    print("passed %d-bit %s (%.1f s)" % (args.bits, args.check, time.time() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
