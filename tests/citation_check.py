#!/usr/bin/env python3
"""Checks CITATION.cff against the build: it parses as YAML, holds the keys
that Citation File Format 1.2.0 requires, and states the build's version
and the license of LICENSE, in the file and in its preferred citation.

    citation_check.py CITATION.cff LICENSE VERSION

Prints what disagrees and exits 1; exits 0 when all agrees.
"""

import sys

import yaml

REQUIRED = ("cff-version", "message", "title", "authors")
# The first line of LICENSE and the SPDX identifier it stands for.
LICENSES = {"MIT License": "MIT"}


def problems(cff_path, license_path, version):
    try:
        with open(cff_path, encoding="utf-8") as f:
            cff = yaml.safe_load(f)
    except (OSError, yaml.YAMLError) as error:
        return [f"{cff_path}: {error}"]
    if not isinstance(cff, dict):
        return [f"{cff_path}: not a mapping of keys"]
    found = [f"{cff_path}: no '{key}'" for key in REQUIRED if key not in cff]
    if cff.get("cff-version") != "1.2.0":
        found.append(f"{cff_path}: cff-version is {cff.get('cff-version')!r}, not '1.2.0'")
    with open(license_path, encoding="utf-8") as f:
        first_line = f.readline().strip()
    spdx = LICENSES.get(first_line)
    if spdx is None:
        found.append(f"{license_path}: unknown license '{first_line}'")
    places = [("", cff)]
    preferred = cff.get("preferred-citation")
    if isinstance(preferred, dict):
        places.append(("preferred-citation: ", preferred))
    elif preferred is not None:
        found.append(f"{cff_path}: preferred-citation is not a mapping of keys")
    for where, entry in places:
        given = entry.get("version")
        if given != version:
            # A version written as a number (0.2) reads as a float: it must be text.
            hint = "" if isinstance(given, str) else " (write it quoted)"
            found.append(f"{cff_path}: {where}version is {given!r}, "
                         f"the build's is '{version}'{hint}")
        if spdx is not None and entry.get("license") != spdx:
            found.append(f"{cff_path}: {where}license is {entry.get('license')!r}, "
                         f"{license_path} is '{spdx}'")
    return found


def main(argv):
    if len(argv) != 4:
        print(__doc__.split("\n\n")[1].strip(), file=sys.stderr)
        return 2
    found = problems(argv[1], argv[2], argv[3])
    for line in found:
        print(line, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
