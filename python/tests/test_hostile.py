"""No argument ends the interpreter: every public function and method of the
module, called with hostile arguments in every place, returns or raises a
Python exception, and never lets a C++ exception or a crash end the process.
The calls run in a child interpreter, which must exit cleanly, having said
which call it was on when it stopped."""
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import lintrace

WALKER = textwrap.dedent(r'''
    import inspect, os, re, sys
    import numpy as np
    import lintrace

    closed_file = open(os.devnull)
    closed_file.close()
    grey = (np.arange(24 * 30).reshape(24, 30) * 37 % 256).astype(np.uint8)
    traced = lintrace.trace(grey, gradient=True)
    with open("good.list", "wb") as f:
        f.write(traced.to_list())
    read_back = lintrace.read_list("good.list")
    empty = lintrace.trace(np.zeros((0, 0), np.uint8))
    row = np.zeros(1 << 20, np.uint8)
    HOSTILE = [
        None, True, "text", "", "-", "\0", b"bytes", "/nonexistent/folder/file.svg", ".", -1, 0, 1, 2 ** 31,
        2 ** 63, -2 ** 63 - 1, 10 ** 30, float("nan"), float("inf"), -float("inf"), 1e300, -0.0, 1e-300, [], (),
        [[1, 2], [3]], (2 ** 40, 2 ** 40), (-1, 5), (0, 0, 0, 0), {}, object(), closed_file, sys.stdout,
        np.empty((0, 0)), np.zeros((0, 5), np.uint8), np.zeros((3, 0)), np.array(np.nan), np.float64(np.nan),
        np.full((9, 9), np.nan), np.full((9, 9), 2.0), np.zeros((9, 9, 9)), np.zeros((9, 9), np.complex64),
        np.zeros((9, 9), object), np.array(["a"]), grey.astype(">u2"), grey.astype(">f8") / 255, grey[::-3, ::2],
        (grey / 255.0)[:, ::-1].T, np.broadcast_to(row, (1 << 20, 1 << 20)),
        np.broadcast_to(np.float32(0), (1 << 30, 1 << 30)), np.zeros((2, 3, 4, 5), np.uint8), np.zeros((9, 2)),
        traced, read_back, empty, (1, True, 3, 4, False, np.zeros((2, 2)), np.array([0, 5]), None, None, None),
        (2, True, 1, 1, False, np.zeros((1, 2)), np.array([0, 1]), [1], [1], [1], None, None, "settings"),
    ]
    GOOD = {"image": grey, "edges": traced, "path": "out.list", "state": traced.__getstate__()}

    def parameters(function):
        """The names of a function's parameters, from its signature or, for a
        compiled one, from the first line of its docstring."""
        try:
            return [p for p in inspect.signature(function).parameters if p != "self"]
        except (TypeError, ValueError):
            line = (function.__doc__ or "").splitlines()[0] if function.__doc__ else ""
            return [p for p in re.findall(r"(?:\(|, )(\w+): ", line) if p != "self"]

    def calls(function):
        names = parameters(function)
        yield (), {}
        for value in HOSTILE:
            yield (value,), {}
            for k, name in enumerate(names):
                given = {n: GOOD[n] for n in names[:k] if n in GOOD}
                if len(given) == k:
                    yield (), dict(given, **{name: value})

    callables = [("lintrace." + name, getattr(lintrace, name)) for name in lintrace.__all__]
    callables.append(("lintrace._edges_from_state", lintrace._edges_from_state))
    members = [m for m in dir(lintrace.Edges) if not m.startswith("_")] + [
        "__len__", "__getitem__", "__iter__", "__repr__", "__reduce__", "__reduce_ex__", "__getstate__",
        "__setstate__"]
    for edges_name, edges in [("traced", traced), ("read_back", read_back), ("empty", empty)]:
        for member in members:
            attribute = getattr(type(edges), member)
            if isinstance(attribute, property):
                callables.append((edges_name + "." + member, lambda e=edges, m=member: getattr(e, m)))
            else:
                callables.append((edges_name + "." + member, getattr(edges, member)))
    walked = 0
    for name, function in callables:
        for args, kwargs in calls(function):
            print(name, len(args), sorted(kwargs), flush=True)
            try:
                result = function(*args, **kwargs)
                if hasattr(result, "__next__"):
                    list(result)
            except Exception:
                pass
            walked += 1
    print("walked", walked, "calls of", ";".join(sorted({n.split(".")[-1] for n, _ in callables})), flush=True)
''')


def test_no_argument_ends_the_interpreter(tmp_path):
    # Files the calls write land in tmp_path; the module is the one under test.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(lintrace.__file__))))
    run = subprocess.run([sys.executable, "-c", WALKER], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=600)
    lines = run.stdout.splitlines()
    assert run.returncode == 0, "the interpreter ended with status %d on the call %s\n%s" % (
        run.returncode, lines[-1] if lines else "(none)", run.stderr[-2000:])
    assert lines[-1].startswith("walked"), lines[-1]
    covered = set(lines[-1].split(" of ")[1].split(";"))
    public = set(lintrace.__all__) | {m for m in dir(lintrace.Edges) if not m.startswith("_")}
    assert public <= covered
    assert "terminate called" not in run.stderr


@pytest.fixture(scope="module")
def edges_kinds(photo, tmp_path_factory):
    grey = photo("coffee")[1]
    folder = tmp_path_factory.mktemp("lists")
    kinds = {
        "pixel": lintrace.trace(grey, sigma=1.0),
        "sub-pixel, gradient": lintrace.trace(grey, sigma=1.0, subpixel=True, gradient=True),
        "none": lintrace.trace(np.zeros((0, 0), np.uint8)),
    }
    path = str(folder / "coffee.list")
    kinds["pixel"].write_list(path)
    kinds["read from a list"] = lintrace.read_list(path)
    return kinds


def same(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a.dtype == b.dtype and np.array_equal(a, b)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("kind", ["pixel", "sub-pixel, gradient", "none", "read from a list"])
def test_every_pickle_protocol_gives_the_edges_back(edges_kinds, kind, protocol):
    edges = edges_kinds[kind]
    back = pickle.loads(pickle.dumps(edges, protocol))
    assert back.to_list() == edges.to_list() and back.shape == edges.shape and back.subpixel == edges.subpixel
    for name in ["points", "offsets", "closed", "starts_at_junction", "ends_at_junction", "magnitudes",
                 "directions"]:
        assert same(getattr(back, name), getattr(edges, name)), name
    again = pickle.loads(pickle.dumps(back, protocol))
    assert same(again.magnitudes, edges.magnitudes) and same(again.closed, edges.closed)


# (a state that is not one of pickled edges)
BAD_STATES = [(), (1,), (3,) + (None,) * 12, (2, True, 1, 1, False, "points", np.array([0]), None, None, None, None,
                                              None, (0.4, 1.4, 2.0, False)),
              (2, True, 1, 1, False, np.zeros((1, 2)), np.array([0, 2]), None, None, None, None, None,
               (0.4, 1.4, 2.0, False)),
              (2, True, 1, 1, False, np.zeros((1, 2)), np.array([0, 1]), [1], [1], [1], [1.0, 2.0], [1.0],
               (0.4, 1.4, 2.0, True))]


@pytest.mark.parametrize("state", BAD_STATES)
def test_a_state_that_is_not_of_pickled_edges_is_refused(state):
    with pytest.raises((ValueError, TypeError)):
        lintrace._edges_from_state(state)
