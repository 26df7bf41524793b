# Compares the argument lists of the .pyi stubs with the signatures that the compiled modules
# report themselves; mypy's stubtest cannot see those for functions made by the binding library.
"""Usage: python stub_signatures.py MODULE...

For every function and method of each module's stub, finds the runtime object and reads its
signature: from the binding library's ``__nb_signature__`` (names, kinds and the real default
objects), else from ``inspect.signature``. Checks that the stub has the same parameters in the
same order and kind, that a default exists on both sides or on neither (overloads may leave
one out), and that every literal default of the stub equals the runtime's. Also checks that
an alias in a stub class body (``get = get_obj``) is the very same object at runtime.
Prints one line per mismatch; exits 1 if there is any.
"""

import ast
import importlib
import importlib.util
import inspect
import re
import sys
from pathlib import Path

POSONLY, POS, KWONLY = "positional-only", "positional", "keyword-only"
VARARG, VARKW = "*args", "**kwargs"
NO_DEFAULT = object()
UNKNOWN = object()  # a stub default of "..."


class Param:
    def __init__(self, name, kind, default=NO_DEFAULT):
        self.name, self.kind, self.default = name, kind, default

    def __repr__(self):
        return f"{self.kind} {self.name}" + ("" if self.default is NO_DEFAULT else "=…")


def params_of(fn, default_of):
    """The parameters of a parsed ``def``, each default turned into a value by default_of."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults)) + [
        default_of(d) for d in a.defaults
    ]
    out = [
        Param(arg.arg, POSONLY if i < len(a.posonlyargs) else POS, default)
        for i, (arg, default) in enumerate(zip(positional, defaults))
    ]
    if a.vararg:
        out.append(Param(a.vararg.arg, VARARG))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append(Param(arg.arg, KWONLY, NO_DEFAULT if default is None else default_of(default)))
    if a.kwarg:
        out.append(Param(a.kwarg.arg, VARKW))
    return out


def stub_default(node):
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return UNKNOWN
    return ast.literal_eval(node)


def stub_params(fn):
    return params_of(fn, stub_default)


def nb_params(obj):
    """Parameters from the binding library's own signature text, or None if there is none.
    The text names each default as a placeholder (\\0, \\1 ...) for the objects it lists."""
    sig = getattr(obj, "__nb_signature__", None)
    if not sig:
        return None
    text, _doc, defaults = sig[0]
    text = re.sub(r"\\(\d+)", lambda m: f"__default_{m.group(1)}", text)
    fn = ast.parse(text + ": pass").body[0]

    def default_of(node):
        if isinstance(node, ast.Name) and node.id.startswith("__default_"):
            return defaults[int(node.id[len("__default_"):])]
        return ast.literal_eval(node)

    return params_of(fn, default_of)


def inspect_params(obj):
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    kinds = {
        inspect.Parameter.POSITIONAL_ONLY: POSONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD: POS,
        inspect.Parameter.VAR_POSITIONAL: VARARG,
        inspect.Parameter.KEYWORD_ONLY: KWONLY,
        inspect.Parameter.VAR_KEYWORD: VARKW,
    }
    return [
        Param(p.name, kinds[p.kind], NO_DEFAULT if p.default is p.empty else p.default)
        for p in sig.parameters.values()
    ]


def runtime_params(obj):
    """(params, source) of a runtime callable; params None when it reports no signature."""
    func = getattr(obj, "__func__", obj)  # staticmethod, bound method
    params = nb_params(func)
    if params is not None:
        return params, "binding signature"
    return inspect_params(func), "inspect.signature"


def same_default(a, b):
    try:
        return type(a) is type(b) and a == b
    except Exception:
        return False


def shape(params):
    """Names and kinds; positional-only and positional count alike here (checked below)."""
    return [(p.name, POS if p.kind == POSONLY else p.kind) for p in params]


def compare(where, stub, runtime, overloaded):
    problems = []
    runtime_names = {p.name for p in runtime}
    if any(p.kind == VARKW for p in runtime):
        # keywords that the runtime takes through its **kwargs
        stub = [p for p in stub if p.kind != KWONLY or p.name in runtime_names]
    if shape(stub) != shape(runtime):
        problems.append(f"{where}: stub parameters {stub} differ from runtime {runtime}")
        return problems
    for s, r in zip(stub, runtime):
        if s.kind == POSONLY and r.kind not in (POS, POSONLY):
            problems.append(f"{where}: {s.name} is positional-only in the stub only")
        if s.default is NO_DEFAULT and r.default is not NO_DEFAULT and not overloaded:
            problems.append(f"{where}: {s.name} has a default at runtime but not in the stub")
        if s.default is not NO_DEFAULT and r.default is NO_DEFAULT:
            problems.append(f"{where}: {s.name} has a default in the stub but not at runtime")
        if s.default not in (NO_DEFAULT, UNKNOWN) and r.default is not NO_DEFAULT:
            if not same_default(s.default, r.default):
                problems.append(
                    f"{where}: default of {s.name} is {s.default!r} in the stub, "
                    f"{r.default!r} at runtime"
                )
    return problems


def is_overload(fn):
    return any(isinstance(d, ast.Name) and d.id == "overload" for d in fn.decorator_list)


def is_static(fn):
    return any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)


def static_lookup(owner, name):
    if isinstance(owner, type):
        for klass in owner.__mro__:
            if name in vars(klass):
                return vars(klass)[name]
        raise AttributeError(name)
    return getattr(owner, name)


def check_function(where, node, obj, owner, in_class, problems, counts):
    params, source = runtime_params(obj)
    stub = stub_params(node)
    if in_class and not is_static(node) and stub and stub[0].name in ("self", "cls"):
        stub = stub[1:]
    # the instance: named in a method's own signature, also when the package offers
    # the method bound to the global interpreter
    if params and params[0].name == "self":
        params = params[1:]
    if params is not None and [p.kind for p in params] == [VARARG, VARKW]:
        # a generic slot: the class itself may say what its constructor takes
        params = None
        if node.name == "__init__" and getattr(owner, "__text_signature__", None):
            params, source = inspect_params(owner), "class text signature"
    if params is None:
        counts["unchecked"] += 1
        return
    found = compare(f"{where} ({source})", stub, params, is_overload(node))
    problems.extend(found)
    counts["checked"] += 1


def is_type_check_only(cls):
    return any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in cls.decorator_list)


def check_body(qualname, body, owner, in_class, problems, counts, protocols=None):
    for node in body:
        if isinstance(node, ast.FunctionDef):
            where = f"{qualname}.{node.name}"
            try:
                obj = static_lookup(owner, node.name)
            except AttributeError:
                problems.append(f"{where}: in the stub but not at runtime")
                continue
            check_function(where, node, obj, owner, in_class, problems, counts)
        elif isinstance(node, ast.ClassDef) and is_type_check_only(node):
            # a typing-only protocol: checked where a module attribute is declared with it
            if protocols is not None:
                protocols[node.name] = node
        elif (
            protocols
            and isinstance(node, ast.AnnAssign)
            and isinstance(node.annotation, ast.Name)
            and node.annotation.id in protocols
        ):
            # a callable object with attributes (scriptify.from_sequence ...): its call and
            # each of its methods against the runtime object
            name = node.target.id
            runtime = getattr(owner, name, None)
            if runtime is None:
                problems.append(f"{qualname}.{name}: in the stub but not at runtime")
                continue
            for member in protocols[node.annotation.id].body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                if member.name == "__call__":
                    target = getattr(runtime, "func", runtime)  # functools.partial carrier
                else:
                    target = getattr(runtime, member.name, None)
                    if target is None:
                        problems.append(f"{qualname}.{name}.{member.name}: not at runtime")
                        continue
                check_function(
                    f"{qualname}.{name}.{member.name}",
                    member, target, owner, True, problems, counts,
                )
        elif isinstance(node, ast.ClassDef):
            try:
                klass = static_lookup(owner, node.name)
            except AttributeError:
                problems.append(f"{qualname}.{node.name}: in the stub but not at runtime")
                continue
            check_body(f"{qualname}.{node.name}", node.body, klass, True, problems, counts)
        elif isinstance(node, ast.Assign) and len(node.targets) == 1:
            target = node.targets[0]
            if not isinstance(target, ast.Name):
                continue
            source_obj = resolve_alias(node.value, owner)
            if source_obj is None:
                continue
            try:
                alias = static_lookup(owner, target.id)
            except AttributeError:
                continue
            counts["aliases"] += 1
            if alias is not source_obj:
                problems.append(
                    f"{qualname}.{target.id}: the stub makes it an alias of "
                    f"{ast.unparse(node.value)}, but at runtime it is another object"
                )


def resolve_alias(expr, owner):
    """The runtime object that a stub alias names: a sibling method or Class.method."""
    try:
        if isinstance(expr, ast.Name):
            return static_lookup(owner, expr.id)
        if isinstance(expr, ast.Attribute) and isinstance(expr.value, ast.Name):
            module = sys.modules[owner.__module__]
            return static_lookup(getattr(module, expr.value.id), expr.attr)
    except (AttributeError, KeyError):
        return None
    return None


def stub_path(module):
    spec = importlib.util.find_spec(module)
    origin = Path(spec.origin)
    if origin.name.startswith("__init__."):
        return origin.parent / "__init__.pyi"
    return origin.parent / (module.rsplit(".", 1)[-1] + ".pyi")


def main(modules):
    problems = []
    counts = {"checked": 0, "unchecked": 0, "aliases": 0}
    for name in modules:
        module = importlib.import_module(name)
        path = stub_path(name)
        if not path.exists():
            problems.append(f"{name}: no stub at {path}")
            continue
        tree = ast.parse(path.read_text(), str(path))
        check_body(name, tree.body, module, False, problems, counts, protocols={})
    for line in problems:
        print(line)
    print(
        f"stub signatures: {counts['checked']} callables and {counts['aliases']} aliases "
        f"checked, {counts['unchecked']} without a runtime signature, "
        f"{len(problems)} mismatches"
    )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
