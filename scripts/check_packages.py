#!/usr/bin/env python3
"""Checks that the Debian package list in setup.sh covers what the build uses.

Reads the files a traced CMake configure opened (strace output) and the system
headers and libraries the compiler used (the build tree's dependency files and
link lines), finds the Debian package that owns each, and fails, naming them,
when a package is neither in the list nor pulled in by it (its dependencies,
recursively) nor essential. A file that no package owns but that lies under
/usr/local or /opt was installed by hand: that fails too.

Usage: check_packages.py TRACE BUILD_DIR PACKAGE...
"""
import glob
import os
import re
import subprocess
import sys

SYSTEM_ROOTS = ("/usr/", "/bin/", "/sbin/", "/lib/", "/lib64/", "/opt/")
UNMANAGED_ROOTS = ("/usr/local/", "/opt/")
# Read by the C library for every process, not by the build.
IGNORED_ROOTS = ("/usr/share/locale/", "/usr/lib/locale/")


def traced_files(trace_path):
    """Regular files under the system roots that the traced process reached."""
    files = set()
    quoted = re.compile(r'"(/[^"]*)"')
    with open(trace_path, errors="replace") as trace:
        for line in trace:
            if " = -1 " in line or "<unfinished" in line:
                continue
            for path in quoted.findall(line):
                if path.startswith(SYSTEM_ROOTS) and not path.startswith(IGNORED_ROOTS) and os.path.isfile(path):
                    files.add(os.path.normpath(path))
    return files


def build_files(build_dir):
    """System headers from the compilers' dependency records, libraries from link lines."""
    files = set()
    token = re.compile(r"(/(?:usr|opt|lib)[^\s:\\]*)")
    patterns = ["**/compiler_depend.make", "**/depend.make", "**/*.d", "**/link.txt"]
    for pattern in patterns:
        for path in glob.glob(os.path.join(build_dir, pattern), recursive=True):
            # "*.d" also matches directories, such as a staged package's lib/udev/rules.d.
            if not os.path.isfile(path):
                continue
            with open(path, errors="replace") as text:
                for found in token.findall(text.read()):
                    if os.path.isfile(found):
                        files.add(os.path.normpath(found))
    return files


def owners_of_paths():
    """path -> package, from dpkg's own file lists (merged-/usr aware)."""
    owner = {}
    for listing in glob.glob("/var/lib/dpkg/info/*.list"):
        package = os.path.basename(listing)[: -len(".list")].split(":")[0]
        with open(listing, errors="replace") as names:
            for name in names:
                owner.setdefault(name.rstrip("\n"), package)
    return owner


def owner_of(path, owner):
    candidates = [path, os.path.realpath(path)]
    for p in list(candidates):
        for a, b in (("/usr/lib/", "/lib/"), ("/usr/bin/", "/bin/"), ("/usr/sbin/", "/sbin/")):
            if p.startswith(a):
                candidates.append(b + p[len(a):])
            elif p.startswith(b):
                candidates.append(a + p[len(b):])
    for p in candidates:
        if p in owner:
            return owner[p]
    return None


def installed_packages():
    """name -> (dependency groups, provides, essential) for every installed package."""
    fields = "${Package}\t${Status}\t${Essential}\t${Priority}\t${Pre-Depends}\t${Depends}\t${Provides}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f", fields], capture_output=True, text=True, check=True).stdout
    packages = {}
    for row in out.splitlines():
        name, status, essential, priority, predepends, depends, provides = row.split("\t")
        if not status.endswith(" installed"):
            continue
        groups = []
        for clause in filter(None, (predepends + "," + depends).split(",")):
            groups.append([alt.strip().split(" ")[0].split(":")[0] for alt in clause.split("|")])
        provided = [p.strip().split(" ")[0] for p in provides.split(",") if p.strip()]
        packages[name] = (groups, provided, essential == "yes" or priority == "required")
    return packages


def closure(roots, packages):
    """Every installed package that installing the roots brings in."""
    providers = {}
    for name, (_, provided, _) in packages.items():
        for virtual in provided:
            providers.setdefault(virtual, []).append(name)
    seen, todo = set(), [r for r in roots]
    while todo:
        name = todo.pop()
        if name in seen:
            continue
        seen.add(name)
        for candidate in [name] + providers.get(name, []):
            if candidate in packages:
                for group in packages[candidate][0]:
                    for alt in group:
                        todo.extend([alt] + providers.get(alt, []))
    return seen


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    trace, build_dir, listed = sys.argv[1], sys.argv[2], sys.argv[3:]
    files = traced_files(trace)
    # A trace that saw no compiler and no CMake module proves nothing.
    if not any("/cmake" in f for f in files) or not files:
        print("check: the traced configure read no CMake files; is strace working?", file=sys.stderr)
        return 1
    files |= build_files(build_dir)

    packages = installed_packages()
    missing_list = [p for p in listed if p not in packages]
    if missing_list:
        print("check: listed but not installed (run scripts/setup.sh): " + " ".join(missing_list), file=sys.stderr)
        return 1
    allowed = closure(listed, packages)
    allowed |= {name for name, (_, _, essential) in packages.items() if essential}
    allowed |= closure([n for n in allowed], packages)

    owner = owners_of_paths()
    outside, unmanaged = {}, []
    for path in sorted(files):
        package = owner_of(path, owner)
        if package is None:
            if path.startswith(UNMANAGED_ROOTS):
                unmanaged.append(path)
        elif package not in allowed:
            outside.setdefault(package, path)

    for package, path in sorted(outside.items()):
        print(f"check: the build uses package {package} ({path}), which the setup list does not bring in")
    for path in unmanaged:
        print(f"check: the build uses {path}, which no Debian package installed")
    if outside or unmanaged:
        print("check: add the packages to scripts/setup.sh (or stop using those files)")
        return 1
    print(f"check: {len(files)} system files used by the build, all from the {len(listed)} listed packages or their dependencies")
    return 0


if __name__ == "__main__":
    sys.exit(main())
