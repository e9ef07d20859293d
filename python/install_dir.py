"""Prints where the interpreter that runs this script looks for modules
under the install prefix given as the argument, relative to it: the entry
of its sys.path below the prefix (Debian's /usr/local/lib/python3.X/
dist-packages for /usr/local, /usr/lib/python3/dist-packages for /usr, a
virtual environment's site-packages), else the platlib path of its scheme
for prefixes (lib/python3.X/site-packages)."""
import os
import sys
import sysconfig


def main(prefix):
    prefix = os.path.realpath(prefix)
    for entry in sys.path:
        if not entry or os.path.basename(entry) not in ("site-packages", "dist-packages"):
            continue
        relative = os.path.relpath(os.path.realpath(entry), prefix)
        if relative.split(os.sep)[0] in ("lib", "lib64"):
            return relative
    scheme = "posix_prefix" if "posix_prefix" in sysconfig.get_scheme_names() else None
    path = sysconfig.get_path("platlib", scheme, vars={"base": prefix, "platbase": prefix})
    return os.path.relpath(path, prefix)


if __name__ == "__main__":
    print(main(sys.argv[1]))
