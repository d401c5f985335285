"""The module's surface: what `import kavrel` gives and what the class allows."""

import inspect
import weakref

import numpy as np
import pytest

import kavrel
from conftest import FREE_THREADED_BUILD, run_python

# Attributes that the import system puts on every extension module.
STANDARD_MODULE_ATTRIBUTES = {
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
}


def test_module_holds_only_encoder_and_all():
    assert type(kavrel.__all__) is list
    assert kavrel.__all__ == ["Encoder"]
    assert set(vars(kavrel)) - STANDARD_MODULE_ATTRIBUTES == {"Encoder", "__all__"}
    assert kavrel.__name__ == "kavrel"
    assert isinstance(kavrel.__doc__, str) and kavrel.__doc__.strip()


def test_class_names_signatures_and_docs():
    enc_type = kavrel.Encoder
    assert enc_type.__module__ == "builtins"
    assert enc_type.__name__ == "Encoder"
    assert enc_type.__qualname__ == "Encoder"
    assert repr(enc_type) == "<class 'builtins.Encoder'>"
    assert enc_type.__mro__ == (enc_type, object)

    assert enc_type.__text_signature__ == "(encoding=None)"
    assert str(inspect.signature(enc_type)) == "(encoding=None)"
    # The doc slot is only a signature, so there is no docstring body.
    assert not enc_type.__doc__

    for name in ("encode", "decode", "transform"):
        method = getattr(enc_type, name)
        assert method.__name__ == name
        assert method.__qualname__ == f"Encoder.{name}"
        keywords = ", *, unknown=math.nan, missing=math.nan" if name == "transform" else ""
        assert method.__text_signature__ == f"($self, obj{keywords})"
        assert method.__doc__ is None
        keywords = ", *, unknown=nan, missing=nan" if name == "transform" else ""
        assert str(inspect.signature(method)) == f"(self, /, obj{keywords})"
        assert str(inspect.signature(getattr(enc_type(), name))) == f"(obj{keywords})"
    assert str(inspect.signature(enc_type.from_labels)) == "(labels, n_columns, *, counts=None, sort=True)"


def test_class_defines_only_its_surface():
    enc_type = kavrel.Encoder
    own = set(vars(enc_type)) - {"__doc__", "__module__"}
    assert own == {"__new__", "encode", "decode", "transform", "labels", "counts", "from_labels", "__reduce__",
                   "__setstate__"}
    for name in ("__init__", "__repr__", "__hash__", "__eq__", "__setattr__"):
        assert getattr(enc_type, name) is getattr(object, name), name


def test_class_is_closed():
    with pytest.raises(TypeError, match="not an acceptable base type"):

        class Sub(kavrel.Encoder):  # noqa: F841
            pass

    enc = kavrel.Encoder()
    with pytest.raises(AttributeError):
        enc.__dict__  # noqa: B018
    with pytest.raises(AttributeError):
        enc.strategy = "label"
    with pytest.raises(TypeError):
        weakref.ref(enc)


def test_reimport_reuses_the_one_class():
    out = run_python(
        "import sys\n"
        "import kavrel as first\n"
        "del sys.modules['kavrel']\n"
        "import kavrel as second\n"
        "assert second is not first\n"
        "assert second.Encoder is first.Encoder\n"
        "assert first.__all__ == ['Encoder'], first.__all__\n"
        "assert second.__all__ == ['Encoder'], second.__all__\n"
        "assert first.__all__ is not second.__all__\n"
        "print('ok')\n"
    )
    assert out == "ok\n"


def test_import_does_not_load_pandas():
    out = run_python(
        "import sys\nimport kavrel\nprint('pandas' in sys.modules)\n"
    )
    assert out == "False\n"


def test_frames_read_directly_once_pandas_is_imported_after_kavrel():
    # kavrel has looked for pandas' frames before pandas came (a frame of
    # its own name, whose "values" raises); threads then meet the frame
    # road for the first time at once.  That road never asks for "values",
    # which here raises.
    out = run_python(
        "import sys, threading\n"
        "import kavrel\n"
        "class DataFrame:\n"
        "    shape, columns = (1, 1), ['a']\n"
        "    values = property(lambda self: 1 / 0)\n"
        "try: kavrel.Encoder().encode(DataFrame())\n"
        "except BaseException as e: assert 'ZeroDivisionError' in str(e), e\n"
        "assert 'pandas' not in sys.modules\n"
        "import pandas as pd\n"
        "def no_values(self): raise AssertionError('values read')\n"
        "frame = pd.DataFrame({'a': ['y', 'x', 'y'], 'b': [1.5, 2.5, 3.5]})\n"
        "pd.DataFrame.values = property(no_values)\n"
        "barrier = threading.Barrier(8)\n"
        "results = []\n"
        "def run():\n"
        "    barrier.wait()\n"
        "    results.append(kavrel.Encoder().encode(frame).to_numpy().tolist())\n"
        "threads = [threading.Thread(target=run) for _ in range(8)]\n"
        "for t in threads: t.start()\n"
        "for t in threads: t.join()\n"
        "assert len(results) == 8 and len({repr(r) for r in results}) == 1, results\n"
        "print(results[0])\n"
    )
    assert out == "[[1.0, 1.5], [0.0, 2.5], [1.0, 3.5]]\n"


@pytest.mark.skipif(not FREE_THREADED_BUILD, reason="needs a free-threaded build")
def test_import_leaves_the_gil_off():
    # PYTHON_GIL is dropped so that the interpreter decides from the modules'
    # own declarations; a module that does not declare itself free-threaded
    # turns the GIL on with a RuntimeWarning, which -W error makes fatal.
    out = run_python(
        "import sys, warnings\n"
        "warnings.simplefilter('error')\n"
        "import kavrel\n"
        "print(sys._is_gil_enabled())\n"
        "import numpy, pandas\n"
        "before = sys._is_gil_enabled()\n"
        "enc = kavrel.Encoder()\n"
        "a = numpy.empty((2, 1), dtype=object)\n"
        "a[0, 0] = 'x'; a[1, 0] = 'y'\n"
        "enc.decode(enc.encode(a))\n"
        "enc.encode(pandas.DataFrame({'a': ['x', 'y']}))\n"
        "print(before, sys._is_gil_enabled())\n",
        drop_env=("PYTHON_GIL",),
    )
    kavrel_only, with_libraries = out.splitlines()
    assert kavrel_only == "False"
    before, after = with_libraries.split()
    if before == "True":
        pytest.skip("numpy or pandas turned the GIL on by themselves")
    assert after == "False"


@pytest.mark.skipif(not FREE_THREADED_BUILD, reason="needs a free-threaded build")
def test_the_whole_stack_leaves_the_gil_off():
    # What a user of the estimator and the Dask road imports, each module
    # under -W error, without PYTHON_GIL: the first one that turns the GIL
    # on is named.  Runs where all of them are installed (314t).
    import importlib.util

    stack = ["numpy", "pandas", "pyarrow", "sklearn", "dask.dataframe", "distributed", "kavrel", "kavrel_sklearn"]
    missing = [name for name in stack if importlib.util.find_spec(name.split(".")[0]) is None]
    if missing:
        pytest.skip(f"not installed here: {', '.join(missing)}")
    out = run_python(
        "import importlib, sys, warnings\n"
        "warnings.simplefilter('error')\n"
        f"for name in {stack!r}:\n"
        "    importlib.import_module(name)\n"
        "    if sys._is_gil_enabled():\n"
        "        print('GIL on after importing', name); break\n"
        "else:\n"
        "    print('GIL off')\n",
        drop_env=("PYTHON_GIL",),
    )
    assert out == "GIL off\n"


def test_instances_are_independent():
    first, second = kavrel.Encoder(), kavrel.Encoder()
    assert first is not second
    first.encode(np.array([["x"]], dtype=object))
    # `second` learned nothing, so it decodes to float codes.
    assert second.decode(np.zeros((1, 1))).dtype == np.float64
    assert first.decode(np.zeros((1, 1))).tolist() == [["x"]]
