"""Model constructors on inputs they cannot use: a ValueError that names the
argument (and the file and line), never an IndexError, a KeyError, a
UnicodeDecodeError, NumPy's own message, or a value accepted as infinity."""

import numpy as np
import pytest

from orvik import models

NO_ROWS = ": the table holds no rows of numbers"


@pytest.mark.parametrize(
    "name, content, said",
    [
        ("empty.tvel", b"", NO_ROWS),
        ("header.tvel", b"ak135 P\nak135 S\n", NO_ROWS),
        ("header.nd", b"# nothing\nmantle\n", NO_ROWS),
        (
            "binary.nd",
            b"0 5.8 3.4 2.7\n\xff\xfe\x00\x01\n",
            ", line 2: not UTF-8 text (is it a table of numbers?)",
        ),
    ],
)
def test_tables_that_hold_no_numbers(tmp_path, name, content, said):
    path = tmp_path / name
    path.write_bytes(content)
    reader = models.read_tvel if name.endswith(".tvel") else models.read_nd
    with pytest.raises(ValueError) as info:
        reader(path)
    assert str(info.value) == f"{path}{said}"


def test_a_table_mapping_without_rho():
    with pytest.raises(ValueError, match="table: the mapping has no 'rho'; it needs depth, vp"):
        models.layered({"depth": [0, 1e3], "vp": [5, 6], "vs": [3, 3.5]}, priority=0)


def test_a_bottom_of_the_wrong_shape():
    cells = np.ones((2, 1, 1))
    with pytest.raises(
        ValueError, match=r"bottom must be one number or of shape .* = \(2, 1\); got shape \(3,\)"
    ):
        models.columns(
            x=[0, 1, 2], y=[0, 1], tops=np.zeros((2, 1, 1)), bottom=np.ones(3),
            rho=cells, vp=cells, vs=cells, priority=0,
        )  # fmt: skip


def test_vertices_beyond_float32():
    vertices = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1e39]])
    with pytest.raises(ValueError, match="vertices must lie within float32's range"):
        models.mesh(
            vertices, np.array([[0, 1, 2, 3]]), np.ones((4, 6)), priority=0, vertical="elevation"
        )
