"""What the release ships, and running the build tools that make it."""
import subprocess

ZIP_NAME = "Guestwise-1.0.0-win64.zip"
# Each program in the zip by its file name, and the variable naming the one
# the build made (unsigned).
PROGRAMS = {"Guestwise.exe": "GUESTWISE_EXE", "GuestwiseFacts.exe": "GUESTWISE_FACTS_EXE",
            "GuestwiseReplay.exe": "GUESTWISE_REPLAY_EXE"}


def run(*command, cwd=None):
    """A tool's standard output; its failure raises, with both streams."""
    result = subprocess.run([str(part) for part in command], cwd=cwd, capture_output=True,
                            text=True)
    if result.returncode != 0:
        raise AssertionError(f"{command} failed:\n{result.stdout}\n{result.stderr}")
    return result.stdout
