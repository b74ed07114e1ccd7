import pathlib
import re
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
@pytest.mark.skipif(not (ROOT / "CMakeLists.txt").exists(), reason="needs the source tree")
def test_a_tree_without_git_gets_an_unverified_zero_identity(tmp_path):
    src = tmp_path / "src"
    def skip_top_level(directory, names):
        if pathlib.Path(directory) != ROOT:
            return []
        return [n for n in names if n == ".git" or n.startswith(("build", ".venv"))]

    shutil.copytree(ROOT, src, ignore=skip_top_level)
    build = tmp_path / "build"
    subprocess.run(
        ["cmake", "-S", str(src), "-B", str(build), "-DMORVATEL_BUILD_PYTHON=OFF"],
        check=True, capture_output=True,
    )
    generated = (build / "generated" / "build_identity.cc").read_text()
    literals = re.findall(r'"([0-9a-f]+)"', generated)
    assert literals[:2] == ["0" * 40, "0" * 40]
    assert re.fullmatch(r"[0-9a-f]{64}", literals[2])
    assert re.search(r"\btrue,\s*false,\s*};", generated)
