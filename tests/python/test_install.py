"""pip builds and installs the module from the source tree, offline and
without build isolation, into a fresh virtual environment that sees the
interpreter's packages (Debian's pybind11 and CMake), and it imports from
anywhere.

The build backend, scikit-build-core, is the interpreter's own when it has
one; else it is installed into the environment from PTSEG_WHEELHOUSE, a
folder of wheels (scripts/python-env fills build/python-env/wheels).
Debian 12 has no package of it.

The tree is copied first (without build folders and git data), so that
the build pip does in the tree, in build-py/, neither writes into the
checkout nor reuses its files.  The library is built afresh: half a minute
or more.
"""
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def source_files(folder, names):
    if folder == SOURCE:
        return [n for n in names if n.startswith(('build', '.', 'venv'))]
    if folder == os.path.join(SOURCE, 'bench'):
        return ['out']
    return ['__pycache__']


def test_pip_install(tmp_path):
    venv = tmp_path / 'venv'
    made = subprocess.run([sys.executable, '-m', 'venv', '--system-site-packages', str(venv)],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if made.returncode != 0:
        pytest.skip('no virtual environment with pip (python3-venv): ' + made.stdout.strip())
    tree = tmp_path / 'ptseg'
    shutil.copytree(SOURCE, tree, ignore=source_files)
    env = {k: v for k, v in os.environ.items() if not k.startswith(('PYTHON', 'PIP_'))}
    env.update(PIP_NO_INDEX='1', PIP_DISABLE_PIP_VERSION_CHECK='1', PYTHONIOENCODING='utf-8')
    python = str(venv / 'bin' / 'python')
    if importlib.util.find_spec('scikit_build_core') is None:
        wheels = os.environ.get('PTSEG_WHEELHOUSE')
        if not wheels or not os.path.isdir(wheels):
            pytest.skip('%s has no scikit-build-core and PTSEG_WHEELHOUSE names no folder of '
                        'wheels with it (scripts/python-env makes one)' % sys.executable)
        subprocess.run([python, '-m', 'pip', 'install', '--find-links', wheels,
                        'scikit-build-core'], env=env, check=True)
    subprocess.run([python, '-m', 'pip', 'install', '--no-build-isolation', str(tree)],
                   env=env, check=True)
    out = subprocess.run(
        [python, '-c', 'import ptseg; print(ptseg.__file__); print(ptseg.split("Ol\u00e1. Sim."))'],
        cwd=str(tmp_path), env=env, stdout=subprocess.PIPE, encoding='utf-8', check=True).stdout
    where, result = out.splitlines()
    assert where.startswith(str(venv))
    assert result == "['Ol\u00e1. ', 'Sim.']"
