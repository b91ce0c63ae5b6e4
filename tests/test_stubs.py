"""The typed stubs of ketsim and rhosim (stubs/<module>-stubs/__init__.pyi) held to the built modules: the
same public names both ways (a new binding without a stub entry fails here), the same parameter names,
order and defaults as the signatures pybind11 writes into the docstrings (every overload), the same kind of
member (static method, method, property), the enum's members, the docstrings the bindings carry, and the
Literal sets of the stubs against what the modules accept. Last, mypy itself (where installed) must accept
correct calls and reject wrong ones through the stubs."""

import ast
import os
import re
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import pytest

import ketsim
import rhosim

ROOT = Path(__file__).resolve().parents[1]
MODULES = {"ketsim": ketsim, "rhosim": rhosim}
# What every extension module has and no stub lists.
MODULE_BOILERPLATE = {"__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
CLASS_BOILERPLATE = {"_pybind11_conduit_v1_"}


def stub_path(name):
    return ROOT / "stubs" / f"{name}-stubs" / "__init__.pyi"


# ---- reading the stubs -----------------------------------------------------------------------------

@dataclass
class Signature:
    """Parameter names with their defaults (NO_DEFAULT where none), in order."""

    params: list


NO_DEFAULT = object()


def _stub_default(node):
    if isinstance(node, ast.Constant):
        return node.value
    if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
        return f"{node.value.id}.{node.attr}"
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub) and isinstance(node.operand, ast.Constant):
        return -node.operand.value
    raise AssertionError(f"unexpected default in stub: {ast.dump(node)}")


def _stub_signature(fn):
    args = fn.args
    assert not args.vararg and not args.kwarg and not args.kwonlyargs, f"{fn.name}: only plain parameters"
    positional = args.posonlyargs + args.args
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + [_stub_default(d) for d in args.defaults]
    return Signature([(a.arg, d) for a, d in zip(positional, defaults)])


def _decorators(fn):
    return {d.id if isinstance(d, ast.Name) else d.attr for d in fn.decorator_list}


@dataclass
class StubFunction:
    kind: str  # "function", "method", "staticmethod" or "property"
    overloads: list  # one Signature per overload (one for a plain definition)
    docstrings: list  # the docstring of each


@dataclass
class StubClass:
    members: dict
    enum_values: dict
    docstring: str | None


def _functions(body):
    out = {}
    for node in body:
        if isinstance(node, ast.FunctionDef):
            decorators = _decorators(node)
            kind = "property" if "property" in decorators else "staticmethod" if "staticmethod" in decorators \
                else "function"
            entry = out.setdefault(node.name, StubFunction(kind, [], []))
            entry.overloads.append(_stub_signature(node))
            entry.docstrings.append(ast.get_docstring(node))
    return out


def read_stub(name):
    """(public top-level names, functions, classes, annotations of variables) of a stub file."""
    tree = ast.parse(stub_path(name).read_text(), filename=str(stub_path(name)))
    names, classes, variables = set(), {}, {}
    functions = _functions(tree.body)
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
            variables[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        if isinstance(node, ast.ClassDef):
            members = _functions(node.body)
            for fn in members.values():
                if fn.kind == "function":
                    fn.kind = "method"
            values = {t.id: node_.value.value for node_ in node.body if isinstance(node_, ast.Assign)
                      for t in node_.targets}
            classes[node.name] = StubClass(members, values, ast.get_docstring(node))
    public = {n for n in names if not n.startswith("_") or (n.startswith("__") and n.endswith("__"))}
    return public, functions, classes, variables


STUBS = {name: read_stub(name) for name in MODULES}


# ---- reading the modules ---------------------------------------------------------------------------

def _split_top_level(text):
    """Split a parameter list at the commas outside brackets, angle brackets and quotes."""
    parts, depth, quote, current = [], 0, None, ""
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(current)
            current = ""
            continue
        current += ch
    if current.strip():
        parts.append(current)
    return [p.strip() for p in parts]


def _runtime_default(text):
    enum = re.fullmatch(r"<(\w+)\.(\w+): -?\d+>", text)
    if enum:
        return f"{enum.group(1)}.{enum.group(2)}"
    return ast.literal_eval(text)


def _parse_signature(line, name):
    match = re.fullmatch(rf"{re.escape(name)}\((.*)\) -> .+", line.strip())
    assert match, f"no signature for {name} in {line!r}"
    params = []
    for part in _split_top_level(match.group(1)):
        head, _, default = part.partition(" = ")
        params.append((head.split(":")[0].strip(), _runtime_default(default) if default else NO_DEFAULT))
    return Signature(params)


def runtime_signatures(obj, name):
    """Every signature pybind11 wrote into the docstring (one per overload) and the docstring proper of each
    (None where the binding gives none)."""
    doc = obj.__doc__ or ""
    lines = doc.split("\n")
    if len(lines) > 1 and lines[1] == "Overloaded function.":
        parts = re.split(rf"^\d+\. ({re.escape(name)}\(.*)$", doc, flags=re.MULTILINE)[1:]
        signatures = [_parse_signature(line, name) for line in parts[0::2]]
        return signatures, [text.strip() or None for text in parts[1::2]]
    text = "\n".join(lines[1:]).strip()
    return [_parse_signature(lines[0], name)], [text or None]


def runtime_kind(cls, attr):
    raw = vars(cls)[attr]
    if isinstance(raw, property):
        return "property"
    if isinstance(raw, staticmethod):
        return "staticmethod"
    return "method"


def runtime_public(module):
    return {n for n in dir(module) if not n.startswith("_")} | ({n for n in vars(module) if n.startswith("__")}
                                                                - MODULE_BOILERPLATE)


def runtime_classes(module):
    return {n: v for n, v in vars(module).items() if isinstance(v, type) and not n.startswith("_")}


def runtime_functions(module):
    return {n: v for n, v in vars(module).items()
            if not n.startswith("_") and callable(v) and not isinstance(v, type) and not hasattr(v, "value")}


def class_members(cls):
    return {n for n in vars(cls) if not n.startswith("_") and n not in CLASS_BOILERPLATE}


def normalised(text):
    return " ".join((text or "").split())


FUNCTION_CASES = [(m, f) for m in MODULES for f in sorted(runtime_functions(MODULES[m]))]
CLASS_CASES = [(m, c) for m in MODULES for c in sorted(runtime_classes(MODULES[m]))
               if not issubclass(runtime_classes(MODULES[m])[c], int)]
MEMBER_CASES = [(m, c, a) for m, c in CLASS_CASES for a in sorted(class_members(runtime_classes(MODULES[m])[c]))]


def case_id(case):
    return ".".join(case)


# ---- names -----------------------------------------------------------------------------------------

class TestNames:
    @pytest.mark.parametrize("name", MODULES)
    def test_every_binding_has_a_stub(self, name):
        missing = runtime_public(MODULES[name]) - STUBS[name][0]
        assert not missing, f"{name} binds {sorted(missing)} but stubs/{name}-stubs/__init__.pyi lacks them"

    @pytest.mark.parametrize("name", MODULES)
    def test_every_stub_is_bound(self, name):
        extra = STUBS[name][0] - runtime_public(MODULES[name])
        assert not extra, f"stubs/{name}-stubs/__init__.pyi declares {sorted(extra)}, which {name} lacks"

    @pytest.mark.parametrize("case", CLASS_CASES, ids=case_id)
    def test_class_members_match(self, case):
        module, cls = case
        runtime = class_members(runtime_classes(MODULES[module])[cls])
        stub = set(STUBS[module][2][cls].members)
        assert runtime == stub, \
            f"{module}.{cls}: only bound {sorted(runtime - stub)}, only in the stub {sorted(stub - runtime)}"

    def test_stub_only_helpers_are_private(self):
        # A helper type the stubs invent must not look like part of the module.
        for name in MODULES:
            tree = ast.parse(stub_path(name).read_text())
            for node in tree.body:
                if isinstance(node, ast.ClassDef) and any(
                        isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list):
                    assert node.name.startswith("_"), node.name


# ---- signatures ------------------------------------------------------------------------------------

class TestSignatures:
    @pytest.mark.parametrize("case", FUNCTION_CASES, ids=case_id)
    def test_function_parameters_and_defaults(self, case):
        module, name = case
        signatures, _ = runtime_signatures(getattr(MODULES[module], name), name)
        stub = STUBS[module][1][name]
        assert stub.kind == "function"
        assert stub.overloads == signatures
        assert len(stub.overloads) == 1 or stub.docstrings.count(None) == 0, "an overload without a docstring"

    @pytest.mark.parametrize("case", MEMBER_CASES, ids=case_id)
    def test_member_kind_and_parameters(self, case):
        module, cls_name, attr = case
        cls = runtime_classes(MODULES[module])[cls_name]
        stub = STUBS[module][2][cls_name].members[attr]
        kind = runtime_kind(cls, attr)
        assert stub.kind == kind
        if kind == "property":
            assert [p for p, _ in stub.overloads[0].params] == ["self"]
            return
        signatures, _ = runtime_signatures(getattr(cls, attr), attr)
        assert stub.overloads == signatures

    def test_parser_reads_defaults_and_overloads(self):
        # The docstring reader on the forms pybind11 writes, so that the checks above compare real values.
        class Fake:
            __doc__ = ("f(*args, **kwargs)\nOverloaded function.\n\n"
                       "1. f(state: m.A, mode: m.KernelMode = <KernelMode.PairAuto: 2>, s: str = 'a,b') -> None\n\n"
                       "2. f(state: m.B, t: collections.abc.Sequence[int, str] = None, x: float = -1.5) -> None\n")

        class Documented:
            __doc__ = ("g(*args, **kwargs)\nOverloaded function.\n\n1. g(a: int) -> None\n\nFirst, on\ntwo lines.\n\n"
                       "2. g(b: str = '1. g(') -> None\n\nSecond.\n")
        signatures, docs = runtime_signatures(Documented, "g")
        assert docs == ["First, on\ntwo lines.", "Second."]
        assert signatures == [Signature([("a", NO_DEFAULT)]), Signature([("b", "1. g(")])]
        signatures, docs = runtime_signatures(Fake, "f")
        assert docs == [None, None]
        assert signatures == [
            Signature([("state", NO_DEFAULT), ("mode", "KernelMode.PairAuto"), ("s", "a,b")]),
            Signature([("state", NO_DEFAULT), ("t", None), ("x", -1.5)]),
        ]


# ---- enum, constants, docstrings -------------------------------------------------------------------

class TestValues:
    def test_kernel_mode_members_and_values(self):
        stub = STUBS["ketsim"][2]["KernelMode"].enum_values
        assert stub == {m.name: int(m) for m in ketsim.KernelMode}

    @pytest.mark.parametrize("member", [m.name for m in ketsim.KernelMode])
    def test_exported_mode_constants(self, member):
        # The stub's module constant names the enum member the module exports under that name.
        node = STUBS["ketsim"][3][member]
        assert ast.unparse(node.value) == f"KernelMode.{member}"
        assert getattr(ketsim, member) is ketsim.KernelMode[member]

    @pytest.mark.parametrize("name", MODULES)
    def test_backend_is_in_the_stub_literal(self, name):
        annotation = STUBS[name][3]["__backend__"].annotation
        values = {e.value for e in ast.walk(annotation) if isinstance(e, ast.Constant)}
        assert MODULES[name].__backend__ in values

    @pytest.mark.parametrize("case", FUNCTION_CASES, ids=case_id)
    def test_function_docstrings_match_binding(self, case):
        module, name = case
        _, docs = runtime_signatures(getattr(MODULES[module], name), name)
        stub = STUBS[module][1][name]
        assert len(stub.docstrings) == len(docs)
        for stub_doc, doc in zip(stub.docstrings, docs):
            assert stub_doc, f"{module}.{name} has an overload without a docstring in the stub"
            if doc is not None:
                assert normalised(stub_doc) == normalised(doc)

    @pytest.mark.parametrize("case", MEMBER_CASES, ids=case_id)
    def test_member_docstrings_match_binding(self, case):
        module, cls_name, attr = case
        cls = runtime_classes(MODULES[module])[cls_name]
        stub = STUBS[module][2][cls_name].members[attr]
        assert all(stub.docstrings), f"{module}.{cls_name}.{attr} has no docstring in the stub"
        if runtime_kind(cls, attr) == "property":
            docs = [vars(cls)[attr].__doc__ or None]
        else:
            _, docs = runtime_signatures(getattr(cls, attr), attr)
        for stub_doc, doc in zip(stub.docstrings, docs):
            if doc is not None:
                assert normalised(stub_doc) == normalised(doc)

    @pytest.mark.parametrize("case", CLASS_CASES, ids=case_id)
    def test_class_docstring_matches_binding(self, case):
        module, cls_name = case
        stub = STUBS[module][2][cls_name]
        assert stub.docstring
        doc = runtime_classes(MODULES[module])[cls_name].__doc__
        if doc:
            assert normalised(stub.docstring) == normalised(doc)


# ---- Literal sets against the modules --------------------------------------------------------------

def literal_values(module, alias):
    tree = ast.parse(stub_path(module).read_text())
    for node in tree.body:
        if isinstance(node, ast.Assign) and node.targets[0].id == alias:
            return {e.value for e in ast.walk(node.value) if isinstance(e, ast.Constant)}
    raise AssertionError(f"{alias} not in the {module} stub")


class TestLiterals:
    @pytest.mark.parametrize("module", MODULES)
    def test_dtype_literal_is_what_zero_state_accepts(self, module):
        values = literal_values(module, "_Dtype")
        assert values == {"complex64", "complex128"}
        cls = ketsim.DeviceState if module == "ketsim" else rhosim.DeviceDensityState
        for value in values:
            assert cls.zero_state(1, value).dtype == value
        for outside in ("complex", "float64", "COMPLEX64"):
            with pytest.raises(ValueError, match="dtype must be"):
                cls.zero_state(1, outside)

    @pytest.mark.parametrize("module", MODULES)
    def test_endian_literal_is_what_measurement_accepts(self, module):
        values = literal_values(module, "_Endian")
        assert values == {"little", "big"}
        mod = MODULES[module]
        make = ketsim.DeviceState.zero_state if module == "ketsim" else rhosim.DeviceDensityState.zero_state
        for value in values:
            assert mod.measure_device(make(2), [0, 1], endian=value, seed=1) == "00"
        for outside in ("Little", "middle", ""):
            with pytest.raises(ValueError, match="endian must be"):
                mod.measure_device(make(2), [0], endian=outside)


# ---- velloran_gpu: marked typed, every public name documented --------------------------------------

def public_modules():
    """velloran_gpu and its public submodules, the front ends only where their toolkit is installed."""
    import importlib
    import pkgutil

    import velloran_gpu

    names = ["velloran_gpu"] + [m.name for m in pkgutil.walk_packages(velloran_gpu.__path__, "velloran_gpu.")]
    modules = []
    for name in names:
        if any(part.startswith("_") for part in name.split(".")):
            continue
        try:
            modules.append(importlib.import_module(name))
        except ImportError as exc:
            if "needs" not in str(exc):  # a front end whose toolkit is missing says what it needs
                raise
    return modules


def public_objects(module):
    """The module's exported classes and functions (``__all__``, else what it defines), with the public
    methods and properties of the classes."""
    import inspect

    names = getattr(module, "__all__", None) or [n for n, v in vars(module).items()
                                                 if getattr(v, "__module__", None) == module.__name__]
    for name in names:
        obj = getattr(module, name)
        if not (inspect.isclass(obj) or inspect.isfunction(obj)) or name.startswith("_"):
            continue
        yield f"{module.__name__}.{name}", obj
        if inspect.isclass(obj):
            for attr, value in vars(obj).items():
                value = value.__func__ if isinstance(value, (staticmethod, classmethod)) else value
                if not attr.startswith("_") and (inspect.isfunction(value) or isinstance(value, property)):
                    yield f"{module.__name__}.{name}.{attr}", value


class TestPackage:
    def test_py_typed_marker(self):
        import velloran_gpu

        assert (Path(velloran_gpu.__file__).parent / "py.typed").is_file()

    def test_every_public_name_has_a_docstring(self):
        modules = public_modules()
        assert "velloran_gpu" in [m.__name__ for m in modules]
        undocumented = [m.__name__ for m in modules if not (m.__doc__ or "").strip()]
        undocumented += [name for m in modules for name, obj in public_objects(m) if not (obj.__doc__ or "").strip()]
        assert not undocumented, f"no docstring: {undocumented}"

    def test_the_check_sees_classes_methods_and_properties(self):
        # The walk above reaches the members it is meant to hold to a docstring.
        import velloran_gpu

        names = dict(public_objects(velloran_gpu))
        assert {"velloran_gpu.Program", "velloran_gpu.Program.validate", "velloran_gpu.Program.has_channels",
                "velloran_gpu.final_state"} <= set(names)


# ---- mypy through the stubs ------------------------------------------------------------------------

GOOD_USE = """
    import numpy as np
    import ketsim, rhosim

    state = ketsim.DeviceState.zero_state(3, "complex64")
    gates = [{"id": "h", "target": [0], "control": [], "control_state": [], "parameter": []}]
    ketsim.run_circuit_device(state, gates, endian="big", mode=ketsim.PairAutoFusion)
    counts, last = ketsim.sample_measure_device(state, [0, np.int64(1)], 100, seed=7)
    total: int = sum(counts.values())
    values = ketsim.pauli_expectations(state, ["XYZ", "III"])
    mean: float = float(values.mean())
    array = np.zeros(8, dtype=np.complex128)
    same: np.ndarray[tuple[int], np.dtype[np.complex128]] = ketsim.run_circuit(3, array, gates)
    chunk = ketsim.prepare_fusion_chunk_gates(3, [], densemm_max_qubits=5)
    ketsim.execute_prepared_fusion_chunk(state, chunk)
    rho = rhosim.DeviceDensityState.zero_state(2)
    rhosim.run_density_operations_device(rho, 2, [])
    outcome: str = rhosim.measure_device(rho.copy(), [0, 1], "big", 3)


    def collective(shared: ketsim.DistributedState) -> str:
        ketsim.run_circuit_device(shared, gates, mode=ketsim.PairAuto)
        ketsim.execute_prepared_fusion_chunk(shared, chunk)
        where: list[int] = shared.qubit_map
        return ketsim.measure_device(shared, where[:1], seed=1)
"""

BAD_USE = [
    'ketsim.DeviceState.zero_state(3, "float64")',
    'ketsim.measure_device(ketsim.DeviceState.zero_state(2), [0], endian="middle")',
    "ketsim.run_circuit_device(ketsim.DeviceState.zero_state(2), ({},))",
    "ketsim.sample_measure_device(ketsim.DeviceState.zero_state(2), [0], 1.5)",
    "ketsim.run_circuit(2, [1, 0, 0, 0], [])",
    "ketsim.DeviceState.from_numpy(1, np.zeros(2))",
    "rhosim.measure_device(ketsim.DeviceState.zero_state(2), [0])",
    "x: int = ketsim.DeviceState.zero_state(2).dtype",
    "ketsim.DeviceState.zero_state(2).n = 3",
    "ketsim.execute_prepared_fusion_chunk(ketsim.DeviceState.zero_state(2), None)",
    "ketsim.pauli_expectations(rhosim.DeviceDensityState.zero_state(2), ['ZZ'])",
    "ketsim.DistributedState.zero_state(2, comm=None).to_numpy(True)",
]


def run_mypy(tmp_path, source):
    (tmp_path / "use.py").write_text(source)
    (tmp_path / "none.ini").write_text("[mypy]\n")
    stub_links = tmp_path / "stubs"
    stub_links.mkdir()
    for name in MODULES:
        (stub_links / name).symlink_to(stub_path(name).parent)
    # mypy reads the stubs, not the modules: a sanitizer preloaded for the test run stays out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    env["MYPYPATH"] = str(stub_links)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--config-file", str(tmp_path / "none.ini"), str(tmp_path / "use.py")],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout + result.stderr


def test_mypy_accepts_correct_calls_and_rejects_wrong_ones(tmp_path):
    pytest.importorskip("mypy.api")
    source = textwrap.dedent(GOOD_USE) + "".join(f"{code}  # wrong {i}\n" for i, code in enumerate(BAD_USE))
    rc, output = run_mypy(tmp_path, source)
    assert rc == 1, output
    line_of = {i: n for n, text in enumerate(source.splitlines(), 1) for i in range(len(BAD_USE))
               if text.endswith(f"# wrong {i}")}
    flagged = {int(m.group(1)) for m in re.finditer(r"use\.py:(\d+): error", output)}
    assert flagged <= set(line_of.values()), output  # the correct calls pass
    for i, code in enumerate(BAD_USE):
        assert line_of[i] in flagged, f"mypy accepted {code!r}:\n{output}"
