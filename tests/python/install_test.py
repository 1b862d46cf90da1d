"""The package installs without the network into a fresh virtual environment, exactly as README.md
says, and the README's pytest example then runs there as printed, with the installed plugin and
no PYTHONPATH.

    PYTHONPATH=python GALLION_HEADLESS=build/src/headless/gallion-headless \\
        /usr/bin/python3 -m pytest tests/python/install_test.py
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from gallion.runner import find_program

REPOSITORY = Path(__file__).resolve().parents[2]


def readme_example() -> str:
    """The first Python block of README.md's section "Testing a controller with pytest"."""
    text = (REPOSITORY / "README.md").read_text()
    section = text[text.index("## Testing a controller with pytest"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run(arguments, **options):
    result = subprocess.run([str(word) for word in arguments], capture_output=True, text=True, timeout=240,
                            **options)
    assert result.returncode == 0, f"{arguments}: status {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def test_offline_install_into_a_fresh_venv_then_the_readme_example_under_pytest(tmp_path):
    # From a copy: an in-tree build would leave build/ and *.egg-info in the checkout.
    shutil.copytree(REPOSITORY / "python", tmp_path / "python",
                    ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    environment["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    run([sys.executable, "-m", "venv", "--system-site-packages", "V"], cwd=tmp_path, env=environment)
    run(["V/bin/pip", "install", "--no-build-isolation", "./python"], cwd=tmp_path, env=environment)

    suite = tmp_path / "suite"
    suite.mkdir()
    (suite / "test_filling.py").write_text(readme_example())
    output = run([tmp_path / "V/bin/python", "-m", "pytest", "-p", "no:cacheprovider", "-v",
                  f"--gallion={find_program()}", "test_filling.py"], cwd=suite, env=environment)
    assert re.search(r"test_filling.py::\w+ PASSED", output), output
    assert "1 passed" in output

    # The installed package, not the checkout's; its version is the program's ("About": V1.2.8).
    where = run([tmp_path / "V/bin/python", "-c",
                 "import gallion, importlib.metadata as m; print(gallion.__file__); print(m.version('gallion'))"],
                cwd=suite, env=environment).split()
    assert where[0].startswith(str(tmp_path / "V")), where
    about = (REPOSITORY / "src" / "shell" / "tabout.cpp").read_text()
    assert f'kVersionText = "V{where[1]}"' in about
    # The console scripts.
    assert "--protocol" in run([tmp_path / "V/bin/gallion-companion", "--help"], env=environment)
    assert "--runner" in run([tmp_path / "V/bin/gallion-demo", "--help"], env=environment)
