"""The package as a user installs it: `pip install .` (no build isolation, no
index: against the system's setuptools and pybind11) into a fresh virtual
environment that sees the system's NumPy, then vorc imported from there and
the sample read; and `python3 -m build --wheel` gives a wheel with the
extension and the type stubs.

usage: venv_install_check.py SOURCE_DIR WORK_DIR (emptied first)"""
import pathlib
import shutil
import subprocess
import sys
import zipfile


def main(source, work):
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(work / "venv")], check=True)
    python = str(work / "venv" / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps", "--no-index",
                    str(source)], check=True)
    check = ("import sys, vorc\n"
             "assert vorc.__file__.startswith(sys.prefix), vorc.__file__\n"
             "frames = list(vorc.open(sys.argv[1], format='gray'))\n"
             "print('vorc', vorc.__version__, 'from the virtual environment:', len(frames), 'frames')\n")
    subprocess.run([python, "-c", check, str(source / "data" / "sample.tesra")], check=True, cwd=work)
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(work / "dist"),
                    str(source)], check=True, stdout=subprocess.DEVNULL)
    wheel = next((work / "dist").glob("vorc-*.whl"))
    names = zipfile.ZipFile(wheel).namelist()
    for wanted in ("vorc/__init__.py", "vorc/__init__.pyi", "vorc/_vorc.pyi", "vorc/py.typed"):
        assert wanted in names, f"{wanted} is not in {wheel.name}"
    assert any(name.startswith("vorc/_vorc.") and name.endswith(".so") for name in names), names
    print(wheel.name, "holds the extension and the stubs")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2]).resolve())
