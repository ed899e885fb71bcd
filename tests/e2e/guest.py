#!/usr/bin/env python3
"""Runs Guestwise.exe under Wine on a machine dressed as a guest.

A Guest says what the machine shows: SMBIOS identity, network adapters,
registry keys (some of them refusing access), files, folders and running
guest-tools processes. run_guest() runs one scenario in namespaces of its
own, so that everything it starts or mounts dies with it:

- a mount namespace, in which the prefix is an overlay of the template on a
  tmpfs and a fake dmi/id tree lies over /sys/class, where Wine's WMI reads
  the SMBIOS identity;
- a network namespace holding only the scenario's adapters (veth ends), in
  which the prefix's wineserver starts, since Wine lists the adapters of the
  namespace its server session began in;
- a PID namespace, so that no Wine process outlives the scenario.
"""
import base64
import ctypes
import json
import os
import signal
import subprocess
import sys
import tempfile
from dataclasses import asdict, dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from wineprefix import WinePrefix, template_path  # noqa: E402

# ctest's code for a test that reports itself skipped.
SKIP_STATUS = 77

SMBIOS_FILES = ("sys_vendor", "product_name", "bios_vendor", "board_vendor", "board_name")


@dataclass
class Guest:
    # SMBIOS file name -> bytes as latin-1 text (Wine reads them as CP1252).
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
    """The unshare command line for a scenario, or None with the reason."""
    command = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child", "--mount-proc"]
    if os.geteuid() != 0:
        command.append("--map-root-user")
    probe = subprocess.run(command + ["true"], capture_output=True)
    if probe.returncode == 0:
        return command, None
    reason = probe.stderr.decode(errors="replace").strip()
    return None, f"needs root or unprivileged user namespaces ({reason})"


def require_namespaces():
    """Ends the process with ctest's skip status, saying why, when the
    machine cannot give a scenario namespaces of its own."""
    command, reason = namespace_command()
    if command is None:
        print(f"SKIPPED: {reason}")
        sys.exit(SKIP_STATUS)
    return command


def _die_with_parent():
    # The scenario's namespaces go when this test process goes, even killed.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def run_guest(guest, args=(), dll_overrides=None):
    """Runs one scenario; returns its Run."""
    command = require_namespaces()
    with tempfile.TemporaryDirectory(prefix="guestwise-guest-") as scratch:
        spec = Path(scratch) / "guest.json"
        result = Path(scratch) / "result.json"
        spec.write_text(json.dumps({"guest": asdict(guest), "args": list(args),
                                    "dll_overrides": dll_overrides,
                                    "template": str(template_path())}))
        subprocess.run(command + [sys.executable, str(Path(__file__).resolve()), "inside",
                                  scratch], check=True, preexec_fn=_die_with_parent,
                       stdin=subprocess.DEVNULL, timeout=300)
        data = json.loads(result.read_text())
        return Run(data["status"], base64.b64decode(data["stdout"]),
                   base64.b64decode(data["stderr"]))


def sh(*command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL)


def lay_out_mounts(scratch, template, smbios):
    """Prefix overlay and fake SMBIOS, on a tmpfs that dies with the namespace."""
    sh("mount", "--make-rprivate", "/")
    work = Path(scratch) / "mnt"
    work.mkdir()
    sh("mount", "-t", "tmpfs", "tmpfs", str(work))
    for folder in ("upper", "work", "prefix", "smbios/dmi/id"):
        (work / folder).mkdir(parents=True)
    sh("mount", "-t", "overlay", "overlay", "-o",
       f"lowerdir={template},upperdir={work}/upper,workdir={work}/work", str(work / "prefix"))
    for name in SMBIOS_FILES:
        if name in smbios:
            (work / "smbios/dmi/id" / name).write_bytes(smbios[name].encode("latin-1") + b"\n")
    # A sysfs of this network namespace, with the fake dmi/id laid over it.
    sh("mount", "-t", "sysfs", "sysfs", "/sys")
    sh("mount", "-t", "overlay", "overlay", "-o",
       f"lowerdir={work}/smbios:/sys/class", "/sys/class")
    return work / "prefix"


def lay_out_adapters(adapters):
    sh("ip", "link", "set", "lo", "up")
    if not adapters:
        return
    # The peer ends go to a namespace of their own, so that Wine lists only
    # the adapters under test.
    elsewhere = subprocess.Popen(["unshare", "--net", "sleep", "600"])
    for index, (name, mac) in enumerate(adapters):
        peer = f"guestwise-p{index}"
        sh("ip", "link", "add", name, "type", "veth", "peer", "name", peer)
        sh("ip", "link", "set", name, "address", mac)
        sh("ip", "link", "set", name, "up")
        sh("ip", "link", "set", peer, "netns", str(elsewhere.pid))


def dress(prefix, guest):
    for key in guest["registry_keys"] + guest["denied_registry_keys"]:
        prefix.add_registry_key(key)
    for key in guest["denied_registry_keys"]:
        result = prefix.wine(os.environ["GUESTWISE_DENY_REGISTRY_KEY"], key)
        if result.returncode != 0:
            raise RuntimeError(f"could not deny {key}: {result.stderr!r}")
    for path in guest["folders"]:
        prefix.make_folder(path)
    for path in guest["files"]:
        prefix.make_file(path)
    if guest["processes"]:
        prefix.start_processes(guest["processes"])


def inside(scratch):
    spec = json.loads((Path(scratch) / "guest.json").read_text())
    guest = spec["guest"]
    prefix_path = lay_out_mounts(scratch, spec["template"], guest["smbios"])
    lay_out_adapters(guest["adapters"])
    with WinePrefix(laid_out_at=prefix_path) as prefix:
        dress(prefix, guest)
        status, out, err = prefix.run_guestwise(*spec["args"],
                                                dll_overrides=spec["dll_overrides"])
    (Path(scratch) / "result.json").write_text(json.dumps({
        "status": status, "stdout": base64.b64encode(out).decode(),
        "stderr": base64.b64encode(err).decode()}))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "inside":
        inside(sys.argv[2])
    else:
        sys.exit(__doc__)
