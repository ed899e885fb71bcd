"""Wine prefixes for running the Windows build under Wine.

One template prefix is booted per test run (wineboot takes seconds); each
machine of guest.py lays a throw-away copy of it out and dresses it. This
module only knows prefixes: guest.py decides the machine around them.
"""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path, PureWindowsPath

WINE = shutil.which("wine")
WINESERVER = shutil.which("wineserver")
if not WINE or not WINESERVER:
    raise SystemExit("wine and wineserver are needed: apt-get install wine wine64")


def base_env(prefix, runtime_dir, dll_overrides=None, winedebug=None):
    """The environment of every Wine call: its own prefix, no display, quiet.

    `runtime_dir` is /run/user/UID of the machine's own /run (mode 700):
    where it exists, Debian's Wine keeps its server's folder in it, and
    Wine 10 asks for a runtime folder, saying so on standard error when
    there is none. TMPDIR is never passed on: Debian's Wine reads it only
    without that folder, and Debian 13's then aborts on every command."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "TMPDIR")}
    env["WINEPREFIX"] = str(prefix)
    env["XDG_RUNTIME_DIR"] = str(runtime_dir)
    env["WINEDEBUG"] = winedebug or "-all"
    # Never offer to download Mono or Gecko.
    overrides = "mscoree,mshtml="
    if dll_overrides:
        overrides += ";" + dll_overrides
    env["WINEDLLOVERRIDES"] = overrides
    return env


def make_template(path, runtime_dir):
    """Boots a prefix at `path`, in a machine laid out by guest.py. When Wine
    cannot, the error gives Wine's own last lines: they are all that says
    why."""
    path = Path(path)
    if (path / "system.reg").exists():
        return
    shutil.rmtree(path, ignore_errors=True)
    env = base_env(path, runtime_dir)
    with tempfile.TemporaryFile() as log:
        for command in ([WINE, "wineboot", "--init"], [WINESERVER, "-w"]):
            status = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=log, timeout=300).returncode
            if status != 0:
                name = " ".join([Path(command[0]).name, *command[1:]])
                raise SystemExit(f"{name} failed with status {status}; Wine's last lines:\n"
                                 + last_lines(log))
        if not (path / "system.reg").exists():
            raise SystemExit(f"wineboot left no registry in {path}; Wine's last lines:\n"
                             + last_lines(log))


def last_lines(log, count=20):
    log.seek(0)
    lines = log.read().decode(errors="replace").splitlines()[-count:]
    return "\n".join(lines) if lines else "(none)"


def template_path(template=None):
    template = Path(template or os.environ["GUESTWISE_TEMPLATE_PREFIX"])
    if not (template / "system.reg").exists():
        raise RuntimeError(f"no template prefix at {template}")
    return template


class WinePrefix:
    """A prefix laid out by the caller at `path`, with one wineserver for its
    whole life (a fresh one per command would cost seconds each time).

    The caller runs it in a machine with a /run of its own, whose runtime
    folder it gives: Wine keeps the server's folder there. Elsewhere, every
    machine's server would live in one shared folder (a copied prefix names
    the same one), keyed by overlay device numbers that are reused."""

    def __init__(self, path, runtime_dir):
        self.path = Path(path)
        self.runtime_dir = Path(runtime_dir)
        subprocess.run([WINESERVER, "-p"], env=self.env(), check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def env(self, dll_overrides=None, winedebug=None):
        return base_env(self.path, self.runtime_dir, dll_overrides, winedebug)

    def host_path(self, windows_path):
        """The Linux path of a C:\\ path, following existing folders in any
        letter case (Wine fails lookups where two folders differ only in case)."""
        parts = PureWindowsPath(windows_path).parts
        if parts[0].upper() != "C:\\":
            raise ValueError(f"only drive C: is dressed: {windows_path}")
        current = self.path / "drive_c"
        for part in parts[1:]:
            match = None
            if current.is_dir():
                match = next((e for e in current.iterdir() if e.name.lower() == part.lower()), None)
            current = match if match is not None else current / part
        return current

    def make_folder(self, windows_path):
        self.host_path(windows_path).mkdir(parents=True, exist_ok=True)

    def make_file(self, windows_path, content=b"guestwise test file\n"):
        target = self.host_path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)

    def wine(self, *args, dll_overrides=None, winedebug=None, cwd=None, timeout=180):
        """Runs a Wine command, returns the CompletedProcess (bytes). `cwd` is
        a C:\\ folder, the Windows working directory of the command.

        Output goes through files, not pipes: Wine's background services
        inherit the first command's handles and outlive it, so a pipe would
        not see its end until the server stops."""
        folder = self.host_path(cwd) if cwd else None
        return self.run([WINE, *args], self.env(dll_overrides, winedebug), folder, timeout)

    def run(self, command, env=None, cwd=None, timeout=180):
        """Runs a Linux command with this prefix's environment (a `wine` that
        it runs goes to this prefix and its server), output through files."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run(command, env=env or self.env(), stdout=out, stderr=err,
                                    timeout=timeout, stdin=subprocess.DEVNULL, cwd=cwd)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        return result

    def close(self):
        for flag in ("-k", "-w"):
            subprocess.run([WINESERVER, flag], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
