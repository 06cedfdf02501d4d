"""Where the package finds its library when QELOMSR_LIBRARY is not set: the
build tree of the checkout it lives in (an installed package finds the
installed library, checked by the ctest tools.install_tree)."""

import os
import subprocess
import sys

import pytest

import qelomsr

PACKAGE_PARENT = os.path.dirname(os.path.abspath(qelomsr.__path__[0]))
BUILD_LIBRARY = os.path.join(os.path.dirname(PACKAGE_PARENT), "build", "libqelomsr.so.2")


@pytest.mark.skipif(not os.path.exists(BUILD_LIBRARY), reason="no build/ in this checkout")
def test_a_source_checkout_uses_its_build_tree():
    env = {k: v for k, v in os.environ.items() if k != "QELOMSR_LIBRARY"}
    code = "import qelomsr._library as l\nprint(l.lib()._name)\n"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         timeout=60, cwd=PACKAGE_PARENT)
    assert out.returncode == 0, out
    assert os.path.realpath(out.stdout.strip()) == os.path.realpath(BUILD_LIBRARY)
