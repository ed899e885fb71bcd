#!/usr/bin/env python3
"""Runs the Windows build under Wine on a machine that the test describes
completely, whatever machine the test itself runs on.

A Guest says what the machine shows: SMBIOS identity, network adapters,
registry keys (some of them refusing access), files, folders and running
guest-tools processes; Guest() is a plain machine with none of them. A
Machine lays one out in namespaces of its own, so that nothing of the build
machine shows through and everything it starts or mounts dies with it:

- a mount namespace with a /run of its own (a tmpfs), in which the prefix is
  an overlay of the template, and every SMBIOS file that Wine reads under
  /sys/class/dmi/id is the guest's (empty where the guest names no value);
  Debian's Wine keeps its server's folder in /run/user/UID when that folder
  exists, as it does there, so no machine reaches another's server or the
  build machine's, and Wine leaves nothing in the build machine's /tmp.
  Everything else, /tmp included, is the build machine's, at the same path:
  the checkout, the template and whatever a test hands over, wherever they
  lie;
- a network namespace holding only loopback and the guest's adapters (veth
  ends), in which the prefix's wineserver starts, since Wine lists the
  adapters of the namespace its server session began in;
- a PID namespace, so that no process of the build machine is seen and no
  Wine process outlives the machine.

The test talks to the machine through a pipe: each call runs in there.

    guest.py check                  fail, saying what is missing, when this
                                    machine cannot lay out machines
    guest.py make-template DIR      boot the template prefix on a plain machine
    guest.py run [--nic NAME=MAC]... [--dll-overrides O] EXE [ARGS...]
                                    run EXE on a plain machine (with those
                                    adapters), pass its output and status
    guest.py within [--smbios FILE=TEXT]... [--nic NAME=MAC]... COMMAND [ARGS...]
                                    run the Linux COMMAND on a machine with
                                    those SMBIOS texts and adapters: each
                                    `wine` it starts runs there
"""
import base64
import ctypes
import json
import os
import signal
import subprocess
import sys
import traceback
from dataclasses import asdict, dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import dressing  # noqa: E402
from wineprefix import WinePrefix, make_template, template_path  # noqa: E402

# Every file under /sys/class/dmi/id that Wine reads for its SMBIOS tables.
DMI_FILES = ("bios_vendor", "bios_version", "bios_date", "sys_vendor", "product_name",
             "product_version", "product_serial", "product_sku", "product_family",
             "board_vendor", "board_name", "board_version", "board_serial", "board_asset_tag",
             "chassis_vendor", "chassis_type", "chassis_version", "chassis_serial", "chassis_tag")

# Where the dresser keeps its record and its guest-tools processes.
DRESSER_FOLDER = "C:\\guestwise-dressing"

NAMESPACES_MISSING = (
    "guest.py: the Windows tests run each program in Linux mount, network and PID namespaces "
    "of its own, and this machine gives none ({reason}): run them as root, or allow "
    "unprivileged user namespaces (sysctl -w kernel.unprivileged_userns_clone=1 "
    "user.max_user_namespaces=15000)")


class LayOutFailed(Exception):
    """Why a machine could not be laid out, in one line."""


@dataclass
class Guest:
    # DMI file name -> text, written as latin-1 (Wine reads it as CP1252).
    smbios: dict = field(default_factory=dict)
    adapters: list = field(default_factory=list)  # [interface name, MAC]
    registry_keys: list = field(default_factory=list)
    denied_registry_keys: list = field(default_factory=list)  # created, then locked
    files: list = field(default_factory=list)
    folders: list = field(default_factory=list)
    processes: list = field(default_factory=list)


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes


def namespace_command():
    """The unshare command line for a machine; ends the process, saying what
    is missing, when this machine cannot give namespaces."""
    command = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc"]
    if os.geteuid() != 0:
        command.append("--map-root-user")
    probe = subprocess.run(command + ["true"], capture_output=True)
    if probe.returncode != 0:
        reason = probe.stderr.decode(errors="replace").strip() or f"status {probe.returncode}"
        raise SystemExit(NAMESPACES_MISSING.format(reason=reason))
    return command


def _die_with_parent():
    # The machine's namespaces go when this test process goes, even killed.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Machine:
    """A dressed machine for the length of a with block."""

    def __init__(self, guest=None, template=None):
        guest = guest or Guest()
        unknown = set(guest.smbios) - set(DMI_FILES)
        if unknown:
            raise ValueError(f"not a DMI file that Wine reads: {sorted(unknown)}")
        self._server = subprocess.Popen(
            namespace_command() + [sys.executable, str(Path(__file__).resolve()), "serve"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=_die_with_parent)
        try:
            self._call("lay out", guest=asdict(guest), template=str(template_path(template)))
        except BaseException:
            self.close()
            raise

    def _call(self, op, **arguments):
        self._server.stdin.write((json.dumps({"op": op, **arguments}) + "\n").encode())
        self._server.stdin.flush()
        line = self._server.stdout.readline()
        if not line:
            raise RuntimeError(f"the machine ended during '{op}' (status {self._server.wait()})")
        reply = json.loads(line)
        if "error" in reply:
            raise RuntimeError(f"'{op}' failed on the machine: {reply['error']}")
        return reply.get("value")

    def wine(self, *args, dll_overrides=None, winedebug=None, cwd=None, timeout=180):
        value = self._call("wine", args=[str(a) for a in args], dll_overrides=dll_overrides,
                           winedebug=winedebug, cwd=cwd, timeout=timeout)
        return Run(value["status"], _unpack(value["stdout"]), _unpack(value["stderr"]))

    def within(self, *command, timeout=600):
        """Runs a Linux command in the machine, with its prefix's environment."""
        value = self._call("within", args=[str(a) for a in command], timeout=timeout)
        return Run(value["status"], _unpack(value["stdout"]), _unpack(value["stderr"]))

    def run_guestwise(self, *args, dll_overrides=None, exe=None):
        return self.wine(exe or os.environ["GUESTWISE_EXE"], *args, dll_overrides=dll_overrides)

    def make_file(self, windows_path, content=b"guestwise test file\n"):
        self._call("make file", path=windows_path, content=_pack(content))

    def make_folder(self, windows_path):
        self._call("make folder", path=windows_path)

    def read_file(self, windows_path):
        """The file's bytes, or None when there is no such file."""
        content = self._call("read file", path=windows_path)
        return None if content is None else _unpack(content)

    def listing(self):
        """Every path under drive C: with its size ("folder" for a folder)."""
        return self._call("listing")

    def close(self):
        self._server.stdin.close()  # the machine ends with the pipe
        self._server.wait(timeout=120)
        self._server.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run_guest(guest, args=(), dll_overrides=None):
    """Runs Guestwise.exe once on a machine dressed as `guest`."""
    with Machine(guest) as machine:
        return machine.run_guestwise(*args, dll_overrides=dll_overrides)


def _pack(data):
    return base64.b64encode(data).decode()


def _unpack(text):
    return base64.b64decode(text)


# What runs inside the namespaces.

def sh(*command):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        said = " ".join(result.stderr.decode(errors="replace").split())
        raise LayOutFailed(f"{' '.join(command)} failed: {said or f'status {result.returncode}'}")


def require_seen(path):
    if not os.path.exists(path):
        raise LayOutFailed(f"the machine does not see {path} (a machine has a /run, /proc and "
                           "/sys of its own)")


def lay_out_smbios(work, smbios):
    """Puts the guest's SMBIOS files, and only those, at /sys/class/dmi/id."""
    dmi = work / "smbios" / "dmi" / "id"
    dmi.mkdir(parents=True)
    for name in DMI_FILES:
        value = smbios.get(name, "")
        (dmi / name).write_bytes(value.encode("latin-1") + b"\n" if value else b"")
    # A sysfs of this network namespace; the overlay makes /sys/class/dmi/id
    # exist also where the build machine has no DMI, the bind mount hides
    # every file of the build machine's.
    sh("mount", "-t", "sysfs", "sysfs", "/sys")
    sh("mount", "-t", "overlay", "overlay", "-o", f"lowerdir={work}/smbios:/sys/class",
       "/sys/class")
    sh("mount", "--bind", str(dmi), "/sys/class/dmi/id")
    seen = sorted(os.listdir("/sys/class/dmi/id"))
    if seen != sorted(DMI_FILES):
        raise LayOutFailed(f"/sys/class/dmi/id is not the guest's: {seen}")


def lay_out_adapters(adapters):
    sh("ip", "link", "set", "lo", "up")
    if not adapters:
        return
    # The peer ends go to a namespace of their own, so that Wine lists only
    # the adapters under test.
    elsewhere = subprocess.Popen(["unshare", "--net", "sleep", "3600"])
    for index, (name, mac) in enumerate(adapters):
        peer = f"guestwise-p{index}"
        sh("ip", "link", "add", name, "type", "veth", "peer", "name", peer)
        sh("ip", "link", "set", name, "address", mac)
        sh("ip", "link", "set", name, "up")
        sh("ip", "link", "set", peer, "netns", str(elsewhere.pid))


def lay_out_machine(guest):
    """The mounts and adapters of `guest` on a /run of the machine's own;
    returns the machine's work folder there and its runtime folder, where
    Debian's Wine keeps its server's folder."""
    sh("mount", "--make-rprivate", "/")
    sh("mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run")
    work = Path("/run/guestwise-machine")
    work.mkdir()
    lay_out_smbios(work, guest["smbios"])
    lay_out_adapters(guest["adapters"])
    runtime = Path(f"/run/user/{os.getuid()}")
    runtime.mkdir(mode=0o700, parents=True)
    return work, runtime


def lay_out_prefix(work, runtime, template):
    # Through a path of the machine's own: the overlay's options could not
    # hold a checkout path with a comma or a colon.
    require_seen(template)
    for folder in ("template", "upper", "work", "prefix"):
        (work / folder).mkdir()
    sh("mount", "--bind", template, str(work / "template"))
    sh("mount", "-t", "overlay", "overlay", "-o",
       f"lowerdir={work}/template,upperdir={work}/upper,workdir={work}/work", str(work / "prefix"))
    return WinePrefix(work / "prefix", runtime)


def dress(prefix, guest):
    """With the dresser inside the machine, as a Windows runner is dressed."""
    if not dressing.items(guest):
        return

    def run(*args):
        result = prefix.wine(*args)
        return result.returncode, result.stdout, result.stderr

    dressing.dress(run, os.environ["GUESTWISE_DRESSER"], DRESSER_FOLDER, guest)


def drive_listing(prefix):
    root = prefix.path / "drive_c"
    listing = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            listing[os.path.relpath(path, root)] = os.lstat(path).st_size
        listing[os.path.relpath(folder, root)] = "folder"
    return listing


def answer(prefix, request):
    op = request["op"]
    if op == "wine":
        result = prefix.wine(*request["args"], dll_overrides=request["dll_overrides"],
                             winedebug=request["winedebug"], cwd=request["cwd"],
                             timeout=request["timeout"])
        return {"status": result.returncode, "stdout": _pack(result.stdout),
                "stderr": _pack(result.stderr)}
    if op == "within":
        result = prefix.run(request["args"], timeout=request["timeout"])
        return {"status": result.returncode, "stdout": _pack(result.stdout),
                "stderr": _pack(result.stderr)}
    if op == "make file":
        return prefix.make_file(request["path"], _unpack(request["content"]))
    if op == "make folder":
        return prefix.make_folder(request["path"])
    if op == "read file":
        path = prefix.host_path(request["path"])
        return _pack(path.read_bytes()) if path.is_file() else None
    if op == "listing":
        return drive_listing(prefix)
    raise ValueError(f"unknown call {op!r}")


def serve():
    """Answers the test's calls, one JSON line each way, until the pipe ends."""
    requests = os.fdopen(os.dup(0), "r")
    replies = os.fdopen(os.dup(1), "w")
    # Nothing started in here may hold the test's pipe open.
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 0)
    os.dup2(devnull, 1)
    prefix = None
    try:
        for line in requests:
            request = json.loads(line)
            try:
                if request["op"] == "lay out":
                    guest = request["guest"]
                    work, runtime = lay_out_machine(guest)
                    prefix = lay_out_prefix(work, runtime, request["template"])
                    dress(prefix, guest)
                    reply = {"value": None}
                else:
                    reply = {"value": answer(prefix, request)}
            except LayOutFailed as error:
                reply = {"error": str(error)}
            except Exception:
                reply = {"error": traceback.format_exc()}
            replies.write(json.dumps(reply) + "\n")
            replies.flush()
    finally:
        if prefix is not None:
            prefix.close()


def boot_template(path):
    """Boots the template prefix on a plain machine, so that it holds nothing
    of the build machine's."""
    if (Path(path) / "system.reg").exists():
        return
    status = subprocess.run(
        namespace_command() + [sys.executable, str(Path(__file__).resolve()), "boot", str(path)],
        preexec_fn=_die_with_parent, stdin=subprocess.DEVNULL).returncode
    # The machine has said why, with Wine's own lines.
    if status != 0:
        raise SystemExit(f"guest.py: no template prefix could be booted (status {status})")


def run_command_line(argv, within=False):
    """guest.py run: a plain machine with the adapters given, one program;
    guest.py within: the SMBIOS texts too, one Linux command."""
    guest, overrides = Guest(), None
    options = ("--nic", "--smbios") if within else ("--nic", "--dll-overrides")
    while len(argv) > 1 and argv[0] in options:
        if argv[0] == "--nic":
            guest.adapters.append(argv[1].split("=", 1))
        elif argv[0] == "--smbios":
            name, text = argv[1].split("=", 1)
            guest.smbios[name] = text
        else:
            overrides = argv[1]
        argv = argv[2:]
    if not argv:
        raise SystemExit(__doc__)
    with Machine(guest) as machine:
        if within:
            result = machine.within(*argv)
        else:
            result = machine.wine(*argv, dll_overrides=overrides, timeout=600)
    sys.stdout.buffer.write(result.stdout)
    sys.stderr.buffer.write(result.stderr)
    return result.status


def main(argv):
    if argv == ["check"]:
        namespace_command()
        return 0
    if argv == ["serve"]:
        serve()
        return 0
    if len(argv) == 2 and argv[0] == "boot":
        try:
            _, runtime = lay_out_machine(asdict(Guest()))
            require_seen(Path(argv[1]).parent)
        except LayOutFailed as error:
            raise SystemExit(f"guest.py: no template prefix could be booted: {error}") from None
        make_template(argv[1], runtime)
        return 0
    if len(argv) == 2 and argv[0] == "make-template":
        # Absolute: the boot runs in a folder of its own.
        boot_template(Path(argv[1]).resolve())
        return 0
    if argv and argv[0] in ("run", "within"):
        return run_command_line(argv[1:], within=argv[0] == "within")
    raise SystemExit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
