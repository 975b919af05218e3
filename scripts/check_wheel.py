"""Installs a repaired orvik wheel into a fresh virtual environment and queries it.

Usage: python scripts/check_wheel.py dist/orvik-*.whl

Fails unless the wheel installs with NumPy as its only dependency, imports
outside the source tree, answers a query and a vectorised query correctly,
and loads Embree, TBB and GMP from the copies inside the wheel rather than
from the system.
"""

import subprocess
import sys
import tempfile
from pathlib import Path

QUERY = r"""
import numpy as np
import orvik

cube = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32) * 10
tets = np.array([[0, 3, 5, 1], [0, 3, 6, 2], [0, 5, 6, 4], [3, 5, 6, 7], [0, 3, 5, 6]], np.uint64)
rock = np.tile(np.array([2.7, 6.0, 3.5, 600, 300, 1], np.float32), (8, 1))
model = orvik.MeshModelBuilder(cube, tets, 0, "elevation", (0, 0, 0, 10, 10, 10)).interpolated(rock)
tree = orvik.model_tree([model])
assert abs(tree.query(5.0, 5.0, 5.0, 0.0, 0, 255)["vp"] - 6.0) < 1e-5
assert tree.query(50.0, 5.0, 5.0, 0.0, 0, 255) is None
x = np.linspace(-5, 15, 1001, dtype=np.float32)
out = np.full((x.size, 6), np.nan, np.float32)
tree.query_many(out, orvik.QueryCoordinates(x, x, x, x), orvik.QueryParams(0, 255))
inside = (x > 0.1) & (x < 9.9)
outside = (x < -0.1) | (x > 10.1)
assert np.allclose(out[inside, 1], 6.0, rtol=1e-6) and np.isnan(out[outside]).all()
print(orvik.orvik.__file__)
"""

GRAFTED = ("libembree", "libtbb", "libgmp")


def main(wheel: str) -> int:
    wheel_path = Path(wheel).resolve()
    with tempfile.TemporaryDirectory(prefix="orvik-wheel-") as tmp:
        venv = Path(tmp) / "venv"
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
        python = str(venv / "bin" / "python")
        subprocess.run([python, "-m", "pip", "install", "-q", str(wheel_path)], check=True)
        installed = subprocess.run(
            [python, "-m", "pip", "list", "--format=freeze"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout.split()
        names = sorted(line.split("==")[0].lower() for line in installed)
        query = subprocess.run([python, "-c", QUERY], capture_output=True, text=True, cwd=tmp)
        if query.returncode != 0:
            print(f"check_wheel: the query failed in the new environment:\n{query.stderr}")
            return 1
        extension = query.stdout.strip()
        if not extension.startswith(str(venv)):
            print(f"check_wheel: orvik was imported from {extension}, not from the new environment")
            return 1
        ldd = subprocess.run(["ldd", extension], check=True, capture_output=True, text=True).stdout
        problems = []
        for line in ldd.splitlines():
            name = line.strip().split(" ")[0]
            if "not found" in line:
                problems.append(line.strip())
            elif name.startswith(GRAFTED) and "/orvik.libs/" not in line:
                problems.append(f"{line.strip()} (expected inside orvik.libs)")
        grafted = [
            g
            for g in GRAFTED
            if any(ln.strip().startswith(g) and "/orvik.libs/" in ln for ln in ldd.splitlines())
        ]
        if problems or len(grafted) != len(GRAFTED):
            print(
                "check_wheel: the module does not load its own libraries:\n  "
                + "\n  ".join(problems or [ldd])
            )
            return 1
    print(
        f"check_wheel: {wheel_path.name} installed into a fresh environment "
        f"({', '.join(n for n in names if n != 'pip')}), queried, and loaded {', '.join(grafted)} from orvik.libs"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
