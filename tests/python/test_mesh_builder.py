"""MeshModelBuilder: construction checks, transform and name, build errors and states."""

import inspect
import re

import numpy as np
import pytest

import orvik

# One tetrahedron: A = (1, 0, 0), B = (0, 1, 0), C = (0, 0, 1), D = origin.
VERTS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
FACES = np.array([[1, 2, 3, 0]], np.uint64)
BOUNDS = (0.0, 0.0, 0.0, 1.0, 1.0, 1.0)
QUALS = np.array(
    [
        [1, 10, 5, 100, 50, 1],
        [2, 20, 6, 200, 60, 1],
        [3, 30, 7, 400, 70, 1],
        [4, 40, 8, 800, 80, 1],
    ],
    np.float32,
)

ALREADY = "MeshModelBuilder has already built a model"
SIMPLEX = 'Model "": degenerate or out-of-range simplex'
COVERAGE = "the field doesn't cover every vertex or simplex of the mesh"


def builder(vertices=VERTS, faces=FACES, priority=0, vertical="elevation", bounds=BOUNDS):
    return orvik.MeshModelBuilder(vertices, faces, priority, vertical, bounds)


def notes(excinfo):
    return getattr(excinfo.value, "__notes__", [])


def test_docstrings_and_signatures():
    assert (
        orvik.MeshModelBuilder.__text_signature__ == "(vertices, faces, priority, vertical, bounds)"
    )
    assert not orvik.MeshModelBuilder.__doc__
    assert (
        str(inspect.signature(orvik.MeshModelBuilder))
        == "(vertices, faces, priority, vertical, bounds)"
    )
    b = builder()
    assert str(inspect.signature(b.transform)) == "(transform)"
    assert b.transform.__doc__ == "Set the 4\u00d74 world-to-local affine transform."
    assert b.name.__doc__ == "Set the human-readable name (empty by default)."
    assert b.interpolated.__doc__ == (
        "Finish with barycentric interpolation of the ``(N, 6)`` quality of\neach vertex."
    )
    assert str(inspect.signature(b.depth_profile)) == "(alpha, depth, tops, layers)"
    assert b.depth_profile.__doc__.startswith(
        "Finish with a 1-D depth profile, evaluated at the barycentrically\n"
        "interpolated depth below the profile's reference surface.\n\nParameters"
    )
    names = [n for n in vars(orvik.MeshModelBuilder) if not n.startswith("__")]
    assert names == ["transform", "name", "interpolated", "depth_profile"]


def test_not_subclassable_and_no_new_attributes():
    with pytest.raises(TypeError):
        type("Sub", (orvik.MeshModelBuilder,), {})
    with pytest.raises(AttributeError):
        builder().extra = 1


def test_binding_errors():
    with pytest.raises(
        TypeError,
        match=re.escape(
            "MeshModelBuilder.__new__() missing 1 required positional argument: 'bounds'"
        ),
    ):
        orvik.MeshModelBuilder(VERTS, FACES, 0, "depth")
    with pytest.raises(
        TypeError,
        match=re.escape("MeshModelBuilder.__new__() got an unexpected keyword argument 'colour'"),
    ):
        orvik.MeshModelBuilder(VERTS, FACES, 0, "depth", BOUNDS, colour=1)
    b = builder()
    with pytest.raises(
        TypeError,
        match=re.escape(
            "MeshModelBuilder.interpolated() missing 1 required positional argument: 'qualities'"
        ),
    ):
        b.interpolated()


def test_keywords_accepted():
    b = orvik.MeshModelBuilder(
        bounds=BOUNDS, vertical="depth", priority=7, faces=FACES, vertices=VERTS
    )
    m = (
        b.name(name="kw")
        .transform(transform=np.eye(4, dtype=np.float32))
        .interpolated(qualities=QUALS)
    )
    assert (m.name, m.priority, m.view()["vertical"]) == ("kw", 7, "Depth")


@pytest.mark.parametrize(
    "param,args",
    [
        ("vertices", dict(vertices=VERTS.astype(np.float64))),
        ("vertices", dict(vertices=VERTS[0])),
        ("vertices", dict(vertices=VERTS.tolist())),
        ("faces", dict(faces=FACES.astype(np.int64))),
        ("faces", dict(faces=FACES.astype(np.uint32))),
        ("faces", dict(faces=None)),
        ("vertical", dict(vertical=1)),
        ("vertical", dict(vertical=b"depth")),
        ("bounds", dict(bounds=5)),
        ("bounds", dict(bounds=(0, 0, 0, 1, 1, "x"))),
    ],
)
def test_argument_type_errors(param, args):
    with pytest.raises(TypeError) as excinfo:
        builder(**args)
    assert notes(excinfo) == [f"while processing '{param}'"]


def test_array_type_error_message():
    with pytest.raises(TypeError, match=re.escape("'list' object is not an instance of 'ndarray'")):
        builder(faces=[[1, 2, 3, 0]])


def test_bounds_str_is_not_a_sequence_of_numbers():
    with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")) as excinfo:
        builder(bounds="abcdef")
    assert notes(excinfo) == ["while processing 'bounds'"]


@pytest.mark.parametrize(
    "priority,message",
    [
        (256, "number too large to fit in target type"),
        (-1, "number too small to fit in target type"),
    ],
)
def test_priority_range(priority, message):
    with pytest.raises(OverflowError, match=re.escape(message)) as excinfo:
        builder(priority=priority)
    assert notes(excinfo) == ["while processing 'priority'"]


def test_priority_must_be_an_integer():
    with pytest.raises(TypeError) as excinfo:
        builder(priority=1.5)
    assert notes(excinfo) == ["while processing 'priority'"]


@pytest.mark.parametrize(
    "text,shown",
    [
        ("Depth", '"Depth"'),
        ("", '""'),
        ("ELEVATION", '"ELEVATION"'),
        ('d"e\\p\n', '"d\\"e\\\\p\\n"'),
    ],
)
def test_vertical_error(text, shown):
    with pytest.raises(
        ValueError, match=re.escape(f"vertical must be 'elevation' or 'depth', got {shown}")
    ):
        builder(vertical=text)


def test_vertical_checked_before_bounds():
    with pytest.raises(ValueError, match="vertical must be"):
        builder(vertical="up", bounds=5)


@pytest.mark.parametrize("bounds,n", [([0, 0, 0, 1, 1], 5), ((), 0), ([0] * 7, 7)])
def test_bounds_length(bounds, n):
    with pytest.raises(ValueError, match=re.escape(f"expected a sequence of length 6 (got {n})")):
        builder(bounds=bounds)


def test_bounds_ints_and_objects_become_float32():
    class Half:
        def __float__(self):
            return 0.1

    m = builder(bounds=(1, 2, 3, 4, 5, Half())).interpolated(QUALS)
    assert m.view()["bounds"] == (1.0, 2.0, 3.0, 4.0, 5.0, float(np.float32(0.1)))


def test_vertex_indices_must_fit_in_32_bits():
    with pytest.raises(ValueError, match=re.escape("vertex indices must fit in 32 bits")):
        builder(faces=np.array([[1, 2, 3, 4294967296]], np.uint64))
    b = builder(faces=np.array([[1, 2, 3, 4294967295]], np.uint64))
    with pytest.raises(ValueError, match=re.escape(SIMPLEX)):
        b.interpolated(QUALS)


@pytest.mark.parametrize("kind,shape", [("vertices", (4, 2)), ("faces", (1, 3))])
def test_too_few_columns(kind, shape):
    arr = VERTS[:, :2].copy() if kind == "vertices" else FACES[:, :3].copy()
    with pytest.raises(ValueError, match=re.escape(kind)):
        builder(**{kind: arr})


def test_too_few_columns_without_rows_is_fine():
    m = builder(
        vertices=np.zeros((0, 2), np.float32), faces=np.zeros((0, 1), np.uint64)
    ).interpolated(np.zeros((0, 6), np.float32))
    assert m.query(0, 0, 0) is None


def test_extra_columns_and_strides_are_read_in_place():
    wide_v = np.concatenate([VERTS, np.full((4, 2), 99, np.float32)], axis=1)
    wide_f = np.concatenate([FACES, np.full((1, 3), 12345, np.uint64)], axis=1)
    plain = builder().interpolated(QUALS)
    wide = builder(vertices=wide_v, faces=wide_f).interpolated(QUALS)
    # Reversed vertex rows with the faces renumbered to match.
    rev = builder(
        vertices=VERTS[::-1], faces=(3 - FACES.astype(np.int64)).astype(np.uint64)
    ).interpolated(QUALS[::-1])
    fortran = builder(vertices=np.asfortranarray(VERTS)).interpolated(np.asfortranarray(QUALS))
    for p in [(0.1, 0.2, 0.3), (0.25, 0.25, 0.25), (0.6, 0.1, 0.1)]:
        ref = plain.query(*p)
        assert wide.query(*p) == ref
        assert fortran.query(*p) == ref
        assert rev.query(*p) == pytest.approx(ref, rel=1e-6)


def test_transform_and_name_return_the_builder():
    b = builder()
    assert b.transform(np.eye(4, dtype=np.float32)) is b
    assert b.name("x") is b


def test_transform_takes_sixteen_elements_row_by_row():
    b = builder()
    b.transform(np.arange(16, dtype=np.float32).reshape(4, 4) * 7)
    t = np.eye(4, dtype=np.float32)
    t[3, :3] = (10, 20, 30)
    b.transform(t.reshape(2, 8))  # the second call wins; any 2-D shape is read row by row
    v = b.interpolated(QUALS).view()
    assert v["transform"] == tuple(float(x) for x in t.ravel())


def test_transform_extra_elements_and_strides():
    t = np.eye(4, dtype=np.float32)
    t[3, :3] = (1, 2, 3)
    big = np.zeros((5, 5), np.float32)
    big[:4, :4] = t
    m = builder().transform(big[:, :4].T.copy().T).interpolated(QUALS)  # (5, 4), extra row ignored
    assert m.view()["transform"] == tuple(float(x) for x in t.ravel())
    col = np.asfortranarray(t)
    assert builder().transform(col).interpolated(QUALS).view()["transform"] == m.view()["transform"]


@pytest.mark.parametrize("shape", [(3, 5), (1, 15), (0, 4)])
def test_transform_needs_sixteen_elements(shape):
    b = builder()
    with pytest.raises(ValueError, match="16"):
        b.transform(np.ones(shape, np.float32))
    assert b.interpolated(QUALS).view()["transform"] is None


@pytest.mark.parametrize("bad", [np.eye(4), np.eye(4, dtype=np.float32).ravel(), [[1.0] * 4] * 4])
def test_transform_type_errors(bad):
    with pytest.raises(TypeError) as excinfo:
        builder().transform(bad)
    assert notes(excinfo) == ["while processing 'transform'"]


def test_name_type_error():
    with pytest.raises(
        TypeError, match=re.escape("'int' object is not an instance of 'str'")
    ) as excinfo:
        builder().name(5)
    assert notes(excinfo) == ["while processing 'name'"]


def test_name_last_wins_and_reaches_the_model():
    m = builder().name("first").name("K\u00f6ln \u6771").interpolated(QUALS)
    assert m.name == "K\u00f6ln \u6771"
    assert builder().interpolated(QUALS).name == ""


def test_finishing_twice_fails():
    b = builder()
    b.interpolated(QUALS)
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.interpolated(QUALS)
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.depth_profile(
            np.ones(4, np.float32),
            np.ones(4, np.float32),
            np.zeros(1, np.float32),
            np.ones((1, 5), np.float32),
        )


def test_transform_and_name_still_work_after_build():
    b = builder()
    b.interpolated(QUALS)
    assert b.name("later") is b
    assert b.transform(np.eye(4, dtype=np.float32)) is b
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.interpolated(QUALS)


def test_failed_build_leaves_builder_built():
    b = builder()
    extra = np.concatenate([QUALS, QUALS[:1]])
    with pytest.raises(ValueError, match=re.escape(f'Model "": {COVERAGE}')):
        b.interpolated(extra)
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.interpolated(QUALS)


def test_coverage_error_names_the_model():
    b = builder().name("basin")
    with pytest.raises(ValueError, match=re.escape(f'Model "basin": {COVERAGE}')):
        b.interpolated(QUALS[:3])


def test_argument_failure_leaves_builder_collecting():
    b = builder()
    with pytest.raises(TypeError):
        b.interpolated(QUALS.astype(np.float64))
    with pytest.raises(ValueError, match="6 columns"):
        b.interpolated(QUALS[:, :5].copy())
    assert b.interpolated(QUALS).query(0.25, 0.25, 0.25) is not None


@pytest.mark.parametrize(
    "faces",
    [
        [[1, 2, 3, 4]],  # index equal to the vertex count
        [[1, 2, 3, 1]],  # A repeated as D
        [[1, 2, 3, 0], [0, 1, 2, 0]],  # the second face is bad
    ],
)
def test_simplex_errors(faces):
    b = builder(faces=np.array(faces, np.uint64))
    with pytest.raises(ValueError, match=re.escape(SIMPLEX)):
        b.interpolated(QUALS)
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.interpolated(QUALS)


def test_flat_simplex_is_degenerate():
    flat = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], np.float32)
    with pytest.raises(
        ValueError, match=re.escape('Model "flat\\n": degenerate or out-of-range simplex')
    ):
        builder(vertices=flat).name("flat\n").interpolated(QUALS)


@pytest.mark.parametrize("scale,builds", [(1e12, True), (1e13, False), (1e19, False)])
def test_simplex_too_large_for_float32_is_degenerate(scale, builds):
    # From edges of 1e13 the determinant overflows: the inverse would be zeros
    # and every point of the box would seem to lie inside with weights (0, 0, 0, 1).
    b = builder(vertices=VERTS * np.float32(scale))
    if builds:
        model = b.interpolated(QUALS)
        third = float(np.float32(scale) / 3)
        assert model.query(third / 2, third / 2, third / 2)["rho"] != QUALS[0, 0]
        assert model.query(scale, scale, scale) is None
    else:
        with pytest.raises(ValueError, match=re.escape(SIMPLEX)):
            b.interpolated(QUALS)


def test_coverage_checked_before_simplices():
    b = builder(faces=np.array([[1, 2, 3, 9]], np.uint64))
    with pytest.raises(ValueError, match=re.escape(COVERAGE)):
        b.interpolated(QUALS[:2])


def test_singular_transform_fails_the_build():
    b = builder().transform(np.zeros((4, 4), np.float32))
    with pytest.raises(ValueError, match="transform"):
        b.interpolated(QUALS)
    with pytest.raises(ValueError, match=re.escape(ALREADY)):
        b.interpolated(QUALS)


def test_singular_transform_without_vertices_builds():
    b = builder(vertices=np.zeros((0, 3), np.float32), faces=np.zeros((0, 4), np.uint64))
    m = b.transform(np.zeros((4, 4), np.float32)).interpolated(np.zeros((0, 6), np.float32))
    assert m.query(0, 0, 0) is None


def test_empty_mesh_builds_and_contains_nothing():
    m = builder(
        vertices=np.zeros((0, 3), np.float32), faces=np.zeros((0, 4), np.uint64)
    ).interpolated(np.zeros((0, 6), np.float32))
    assert m.query(0, 0, 0) is None
    assert m.view()["size"] == 328


def test_vertices_without_faces_build():
    m = builder(faces=np.zeros((0, 4), np.uint64)).interpolated(QUALS)
    assert m.query(0.1, 0.1, 0.1) is None
    assert m.view()["size"] == 328 + 24 * 4
