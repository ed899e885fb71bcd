#!/usr/bin/env python3
"""Throw-away Wine prefixes for running the Windows build under Wine.

One template prefix is booted per test run (wineboot takes seconds); each
test gets its own copy, dressed as it needs, and removes it afterwards.

    wineprefix.py make-template DIR   boot the template prefix
    wineprefix.py run [--dll-overrides O] EXE [ARGS...]
                                      run EXE in a fresh copy, pass its status
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path, PureWindowsPath

WINE = shutil.which("wine")
WINESERVER = shutil.which("wineserver")
if not WINE or not WINESERVER:
    sys.exit("wine and wineserver are needed: apt-get install wine wine64")


def base_env(prefix, dll_overrides=None):
    """The environment of every Wine call: its own prefix, no display, quiet."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["WINEPREFIX"] = str(prefix)
    env["WINEDEBUG"] = "-all"
    # Never offer to download Mono or Gecko.
    overrides = "mscoree,mshtml="
    if dll_overrides:
        overrides += ";" + dll_overrides
    env["WINEDLLOVERRIDES"] = overrides
    return env


def make_template(path):
    path = Path(path)
    if (path / "system.reg").exists():
        return
    shutil.rmtree(path, ignore_errors=True)
    env = base_env(path)
    subprocess.run([WINE, "wineboot", "--init"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=300)
    if not (path / "system.reg").exists():
        sys.exit(f"wineboot left no registry in {path}")


def template_path(template=None):
    template = Path(template or os.environ["GUESTWISE_TEMPLATE_PREFIX"])
    if not (template / "system.reg").exists():
        raise RuntimeError(f"no template prefix at {template}")
    return template


def copy_template(template, path):
    # Hard links keep the copy fast: tests only add files, and Wine
    # rewrites a registry file by replacing it. The registry files are
    # copied all the same, so that nothing can write through a link.
    subprocess.run(["cp", "-al", str(template_path(template)), str(path)], check=True)
    for reg in Path(path).glob("*.reg"):
        data = reg.read_bytes()
        reg.unlink()
        reg.write_bytes(data)


class WinePrefix:
    """A copy of the template prefix, removed again by close()."""

    def __init__(self, template=None, laid_out_at=None):
        """A fresh copy of the template, or, with laid_out_at, a prefix that
        the caller has already laid out there (and removes itself)."""
        self._root = None
        if laid_out_at is not None:
            self.path = Path(laid_out_at)
        else:
            self._root = Path(tempfile.mkdtemp(prefix="guestwise-prefix-"))
            self.path = self._root / "prefix"
            copy_template(template, self.path)
        self._processes = []
        # One server for the prefix's whole life: a fresh one per command
        # would cost seconds each time.
        subprocess.run([WINESERVER, "-p"], env=self.env(), check=True)

    def env(self, dll_overrides=None):
        return base_env(self.path, dll_overrides)

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

    def wine(self, *args, dll_overrides=None, timeout=180):
        """Runs a Wine command, returns the CompletedProcess (bytes).

        Output goes through files, not pipes: Wine's background services
        inherit the first command's handles and outlive it, so a pipe would
        not see its end until the server stops."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            result = subprocess.run([WINE, *args], env=self.env(dll_overrides), stdout=out,
                                    stderr=err, timeout=timeout, stdin=subprocess.DEVNULL)
            out.seek(0)
            err.seek(0)
            result.stdout, result.stderr = out.read(), err.read()
        return result

    def add_registry_key(self, hklm_subkey):
        result = self.wine("reg", "add", "HKLM\\" + hklm_subkey, "/f")
        if result.returncode != 0:
            raise RuntimeError(f"reg add {hklm_subkey} failed: {result.stderr!r}")

    def start_processes(self, image_names, sleeper=None, timeout=60):
        """Runs a copy of the sleeper under each image name until close(), and
        waits until each one runs (it then creates its ready file)."""
        sleeper_bytes = Path(sleeper or os.environ["GUESTWISE_SLEEPER"]).read_bytes()
        ready_files = []
        for name in image_names:
            folder = f"C:\\guest-tools-{len(self._processes)}"
            self.make_file(f"{folder}\\{name}", sleeper_bytes)
            ready = f"{folder}\\ready"
            ready_files.append(self.host_path(ready))
            self._processes.append(subprocess.Popen(
                [WINE, f"{folder}\\{name}", ready], env=self.env(), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + timeout
        while not all(f.exists() for f in ready_files):
            if time.monotonic() > deadline:
                raise RuntimeError(f"guest-tools processes did not start: {image_names}")
            time.sleep(0.1)

    def run_guestwise(self, *args, dll_overrides=None, exe=None):
        """Runs Guestwise.exe; returns (status as the shell sees it, stdout, stderr)."""
        exe = exe or os.environ["GUESTWISE_EXE"]
        result = self.wine(exe, *args, dll_overrides=dll_overrides)
        return result.returncode, result.stdout, result.stderr

    def close(self):
        for process in self._processes:
            process.kill()
            process.wait()
        subprocess.run([WINESERVER, "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run([WINESERVER, "-w"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv):
    if len(argv) == 2 and argv[0] == "make-template":
        make_template(argv[1])
        return 0
    if len(argv) >= 2 and argv[0] == "run":
        overrides = None
        if argv[1] == "--dll-overrides":
            overrides, argv = argv[2], argv[2:]
        with WinePrefix() as prefix:
            result = subprocess.run([WINE, *argv[1:]], env=prefix.env(overrides),
                                    stdin=subprocess.DEVNULL)
            return result.returncode
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
