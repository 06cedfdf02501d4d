"""Prints the directory, relative to the installation prefix given as the
argument, where the Python running this script looks for packages under that
prefix: the first of its site directories that lies in PREFIX/lib... (Debian:
lib/python3.11/dist-packages for /usr/local, lib/python3/dist-packages for
/usr), else the upstream layout lib/pythonX.Y/site-packages."""

import os
import site
import sys
import sysconfig

prefix = os.path.normpath(os.path.abspath(sys.argv[1]))
candidates = []
try:
    candidates += site.getsitepackages()
except AttributeError:  # virtualenv's old site module
    pass
candidates.append(sysconfig.get_path("purelib"))
for directory in candidates:
    relative = os.path.relpath(os.path.normpath(directory), prefix)
    if relative.split(os.sep)[0] in ("lib", "lib64"):
        print(relative)
        break
else:
    print(os.path.join("lib", "python%d.%d" % sys.version_info[:2], "site-packages"))
