#!/usr/bin/env python3
"""Publishes a game build for the launcher, and checks, trims or uploads a published tree.

  publish.py publish BUILD_DIR OUT_DIR --version V [--keep GLOB]... [--unkeep GLOB]...
                     [--launcher PATH] [--verify-existing] [--allow-foreign-launcher]
                     [--drop-launcher] [--dry-run]
  publish.py verify OUT_DIR
  publish.py prune OUT_DIR [--grace 24h] [--dry-run]
  publish.py rollback OUT_DIR VERSION
  publish.py resign OUT_DIR
  publish.py upload OUT_DIR REMOTE [--dry-run]
  publish.py keygen KEYFILE

publish, rollback and resign sign the list they serve with --sign-key KEYFILE (or the key
files named by TARSIN_SIGN_KEY), for launchers built with the matching public key, valid
for --valid-for (30 days by default); verify checks the signatures with --public-key HEX and
warns when the served statement expires within a week.

OUT_DIR is what the web server serves under the launcher's base URL:
  manifest.txt        the file list the launcher fetches (replaced last, atomically)
  o/<sha256>          one object per distinct file content, never changed once written
  manifests/<V>.txt   a copy of every published file list, for rollback; prune keeps
                      every object that one of them names
  retired/<time>.txt  every list that stopped being served, for the grace period: prune
                      keeps their objects for the launchers still installing them
  s/<sha256>          the signed statement of the list whose bytes have that SHA-256
"""
import sys

# The commands and the helpers other tools and the tests use, under the names they always had.
import signing  # noqa: F401
from publishing.check import verify  # noqa: F401
from publishing.cli import main
from publishing.common import (HEX64, MANIFEST, MANIFEST_LIMIT, OBJECTS, STALE_TEMP_SECONDS,  # noqa: F401
                               TEMP_PREFIX, Entry, Refused, shown)
from publishing.filelist import format_manifest, parse_manifest, read_manifest_file  # noqa: F401
from publishing.files import Lock, write_atomic  # noqa: F401
from publishing.pe_check import launcher_problems  # noqa: F401
from publishing.prune import prune  # noqa: F401
from publishing.publish_cmd import publish  # noqa: F401
from publishing.remote import remote_path, run_rclone, upload  # noqa: F401
from publishing.rollback import resign, rollback  # noqa: F401
from publishing.scan import manifest_order  # noqa: F401
from publishing.statements import statement_path  # noqa: F401
from publishing.tree import retire, serve  # noqa: F401

if __name__ == "__main__":
    sys.exit(main())
