"""Reading files once while hashing them, over a pool of threads, with progress."""
import contextlib
import hashlib
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from .common import CHUNK, OBJECTS, Refused


def hash_all(files, quiet, digest_of):
    """({path: digest_of(file, progress)}, the progress shown), over a pool of threads."""
    total = sum(f.size for f in files)
    progress = Progress("hashing", len(files), total,
                        enabled=not quiet and (total >= 64 * 2**20 or len(files) >= 5000))

    def one(file):
        digest = digest_of(file, progress)
        progress.file_done()
        return digest

    # Larger files first, so that the pool does not end waiting on one big file.
    by_size = sorted(files, key=lambda f: -f.size)
    with stopping(progress) as pool:
        digests = dict(zip((f.path for f in by_size), pool.map(one, by_size)))
    progress.finish()
    return digests, progress


@contextlib.contextmanager
def stopping(progress):
    """A pool whose work stops within one chunk when the caller fails or is interrupted:
    queued files are never started, and the ones being read end, removing their temporary
    objects, before the failure goes on."""
    pool = ThreadPoolExecutor(workers())
    try:
        yield pool
    except BaseException:
        progress.cancelled.set()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


def hash_build(files, quiet):
    """{path: SHA-256} of the build's files, nothing written."""
    local = threading.local()

    def digest_of(file, progress):
        if not hasattr(local, "buffer"):
            local.buffer = bytearray(CHUNK)
        digest, size = copy_hashing(file.source, None, progress, local.buffer)
        if size != file.size:
            raise Refused(f"{file.path}: changed while it was being read")
        return digest

    return hash_all(files, quiet, digest_of)[0]


class Progress:
    """Bytes and files done, shown at most twice a second on a terminal."""

    def __init__(self, label, files, total, enabled):
        self.label, self.files, self.total = label, files, total
        self.enabled = enabled
        self.tty = sys.stderr.isatty()
        self.done = self.files_done = 0
        self.started = self.last = time.monotonic()
        self.lock = threading.Lock()
        self.cancelled = threading.Event()

    def add(self, n):
        with self.lock:
            self.done += n
            self._show(False)

    def file_done(self):
        with self.lock:
            self.files_done += 1
            self._show(False)

    def finish(self):
        with self.lock:
            self._show(True)
            if self.enabled and self.tty:
                sys.stderr.write("\n")

    def elapsed(self):
        return time.monotonic() - self.started

    def _show(self, final):
        now = time.monotonic()
        if not self.enabled or (not final and now - self.last < (0.5 if self.tty else 5.0)):
            return
        self.last = now
        rate = self.done / max(now - self.started, 1e-6) / 2**20
        line = (f"{self.label}: {self.files_done}/{self.files} files, "
                f"{self.done / 2**20:.0f}/{self.total / 2**20:.0f} MB, {rate:.0f} MB/s")
        sys.stderr.write(("\r" + line + "   ") if self.tty else line + "\n")
        sys.stderr.flush()


def workers():
    return max(1, min(8, os.cpu_count() or 1))


def copy_hashing(source, sink, progress, buffer):
    """Reads source once, feeding the hash and, when given, the sink. Returns (hex, size)."""
    h = hashlib.sha256()
    view = memoryview(buffer)
    size = 0
    with open(source, "rb", buffering=0) as f:
        while True:
            n = f.readinto(buffer)
            if not n:
                break
            h.update(view[:n])
            if sink is not None:
                sink.write(view[:n])
            size += n
            if progress:
                if progress.cancelled.is_set():
                    raise Refused("stopped")
                progress.add(n)
    return h.hexdigest(), size


def hash_file(path, progress, buffer):
    return copy_hashing(path, None, progress, buffer)


def object_problems(out_dir, sizes, label, quiet):
    """{digest: what is wrong} for the objects of the given sizes: missing, of another
    size, or of another content. Hashes every object whose size is right."""
    store = os.path.join(out_dir, OBJECTS)
    problems, present = {}, {}
    for digest, size in sizes.items():
        try:
            actual = os.path.getsize(os.path.join(store, digest))
        except OSError:
            problems[digest] = "missing"
            continue
        if actual != size:
            problems[digest] = f"{actual} bytes instead of {size}"
        else:
            present[digest] = size
    progress = Progress(label, len(present), sum(present.values()),
                        enabled=not quiet and sum(present.values()) >= 64 * 2**20)
    local = threading.local()

    def check(digest):
        if not hasattr(local, "buffer"):
            local.buffer = bytearray(CHUNK)
        actual, _ = hash_file(os.path.join(store, digest), progress, local.buffer)
        progress.file_done()
        return digest, actual

    with stopping(progress) as pool:
        for digest, actual in pool.map(check, sorted(present, key=lambda d: -present[d])):
            if actual != digest:
                problems[digest] = f"damaged: the content's SHA-256 is {actual}"
    progress.finish()
    return problems
