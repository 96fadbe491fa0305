"""Writing into the served tree: whole files or none, and one command at a time."""
import fcntl
import os
import tempfile

from .common import LOCK, TEMP_PREFIX, Refused


def public_mode():
    umask = os.umask(0)
    os.umask(umask)
    return 0o644 & ~umask


def fsync_dir(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomic(path, data):
    """The file appears whole under its name or not at all."""
    folder = os.path.dirname(path)
    fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temp, public_mode())
        os.replace(temp, path)
    except BaseException:
        unlink_quietly(temp)
        raise
    fsync_dir(folder)


def unlink_quietly(path):
    try:
        os.unlink(path)
    except OSError:
        pass


class Lock:
    """Publish, prune and rollback of one tree take turns."""

    def __init__(self, out_dir):
        self.path = os.path.join(out_dir, LOCK)

    def __enter__(self):
        self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.fd)
            raise Refused(f"{self.path}: another publish, prune or rollback is working on this tree")
        return self

    def __exit__(self, *exc):
        os.close(self.fd)
