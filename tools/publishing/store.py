"""The objects: one file per distinct content, named by its SHA-256, never changed."""
import os
import tempfile
import threading

from . import hashing
from .common import CHUNK, OBJECTS, TEMP_PREFIX, Refused
from .files import public_mode, unlink_quietly


class ObjectStore:
    def __init__(self, out_dir, verify_existing=False):
        self.dir = os.path.join(out_dir, OBJECTS)
        os.makedirs(self.dir, exist_ok=True)
        self.mode = public_mode()
        self.written = self.written_bytes = 0
        self.verify_existing = verify_existing
        self.rehashed = 0
        self.damaged = {}     # digest: the path whose content was written again
        self.fresh = set()    # written by this publish: nothing to re-hash
        self.lock = threading.Lock()
        self.local = threading.local()

    def buffer(self):
        if not hasattr(self.local, "buffer"):
            self.local.buffer = bytearray(CHUNK)
        return self.local.buffer

    def has(self, digest, size):
        return ObjectStore.present(os.path.dirname(self.dir), digest, size)

    @staticmethod
    def present(out_dir, digest, size):
        try:
            return os.path.getsize(os.path.join(out_dir, OBJECTS, digest)) == size
        except OSError:
            return False

    def reusable(self, digest, size, path):
        """The tree holds the object: by its size, or with verify_existing by its content."""
        if not self.has(digest, size):
            return False
        with self.lock:
            if not self.verify_existing or digest in self.fresh:
                return True
        actual, _ = hashing.hash_file(os.path.join(self.dir, digest), None, self.buffer())
        with self.lock:
            self.rehashed += 1
            if actual != digest:
                self.damaged.setdefault(digest, path)
        return actual == digest

    def add(self, file, likely_new, progress):
        """Hashes the file and stores its object when the tree lacks it. A file that
        is likely new is copied while it is hashed, so it is read only once; a file
        the last publish had with the same size is only hashed, and read a second
        time in the rare case that its content changed after all."""
        fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=self.dir) if likely_new else (None, None)
        sink = os.fdopen(fd, "wb") if fd is not None else None
        try:
            digest, size = hashing.copy_hashing(file.source, sink, progress, self.buffer())
            if size != file.size:
                raise Refused(f"{file.path}: changed while it was being published")
            if self.reusable(digest, size, file.path):
                return digest
            if sink is None:
                fd, temp = tempfile.mkstemp(prefix=TEMP_PREFIX, dir=self.dir)
                sink = os.fdopen(fd, "wb")
                again, _ = hashing.copy_hashing(file.source, sink, None, self.buffer())
                if again != digest:
                    raise Refused(f"{file.path}: changed while it was being published")
            sink.flush()
            os.fsync(sink.fileno())
            sink.close()
            self._commit(temp, digest, size)
            temp = None
            return digest
        finally:
            if sink:
                sink.close()
            if temp:
                unlink_quietly(temp)

    def _commit(self, temp, digest, size):
        os.chmod(temp, self.mode)
        # Two files of equal content may race here; either rename leaves the same bytes.
        os.replace(temp, os.path.join(self.dir, digest))
        with self.lock:
            self.fresh.add(digest)
            self.written += 1
            self.written_bytes += size
