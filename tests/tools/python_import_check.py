"""Imports the qelomsr package installed under DESTDIR as this Python would
find it once the tree is moved to PREFIX: the site directories it searches
for PREFIX are taken from DESTDIR instead, its other site directories stay
(numpy), nothing else is on the path. Prints the package file, the library
it loaded and the library version.

Usage: python3 -S python_import_check.py DESTDIR PREFIX [FALLBACK_DIR]
FALLBACK_DIR (under DESTDIR) is used when this Python searches no directory
under PREFIX at all (an unusual prefix such as /opt/x)."""

import os
import site
import sys

destdir, prefix = sys.argv[1], os.path.normpath(sys.argv[2])
under_prefix = 0
for directory in site.getsitepackages():
    directory = os.path.normpath(directory)
    if os.path.relpath(directory, prefix).split(os.sep)[0] in ("lib", "lib64"):
        site.addsitedir(destdir + directory)
        under_prefix += 1
    elif not directory.startswith(prefix + os.sep):
        site.addsitedir(directory)
if not under_prefix and len(sys.argv) > 3:
    site.addsitedir(sys.argv[3])

import qelomsr  # noqa: E402
import qelomsr._library as library  # noqa: E402

print(os.path.realpath(qelomsr.__file__))
print(os.path.realpath(library.lib()._name))
print(qelomsr.api_version())
