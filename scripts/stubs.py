"""Type stubs of the extension modules, generated from the installed package.

    python3 scripts/stubs.py           # rewrite orvaklab/**/*.pyi
    python3 scripts/stubs.py --check   # exit 1 when they differ from those

pybind11-stubgen writes a stub per extension module; this script then
finishes it from what the bindings recorded (orvakpy::constant and
declare_attribute): every constant and declared instance attribute in a
scope's ``__constant_docs__`` gets its attribute docstring and, from
``__constant_types__``, its annotation, and those two mappings are dropped.
Constants are instance-overridable (the core reads the value in force on the
instance), so they are not ``ClassVar``s. A method alias (``cls.b = cls.a``)
is written ``b = a``, and a module's type variable ``T = typing.TypeVar(...)``.
The awaitable drivers' stub (orvaklab/aiodrivers.pyi) is written from the
finished driver stubs (awaitable_stubs.py). Run it from outside the source
tree's root, so that ``orvaklab`` is the installed package, not the sources.
"""

import argparse
import difflib
import importlib
import importlib.machinery
import pathlib
import re
import sys
import tempfile

SOURCE_ROOT = pathlib.Path(__file__).resolve().parent.parent
CONSTANT_LINE = re.compile(
    r"^(?P<indent> *)(?P<name>\w+)(?:: (?P<annotation>.+?))?(?P<value> = .*)?$")
CLASS_LINE = re.compile(r"^class (?P<name>\w+)\b")
# The module of a qualified name in an annotation: its lower-case leading parts.
QUALIFIED = re.compile(r"\b([a-z_]\w*(?:\.[a-z_]\w*)*)\.[A-Z]\w*")
CLASS_VAR = re.compile(r"^typing\.ClassVar\[(?P<inner>.*)\]$")
RECORDS = ("__constant_docs__", "__constant_types__")


def extension_modules(package_dir):
    """The dotted names of the extension modules below the installed package."""
    names = []
    # The bare ".so" would take the shared core library for a module too.
    for suffix in set(importlib.machinery.EXTENSION_SUFFIXES) - {".so"}:
        for path in package_dir.rglob(f"*{suffix}"):
            relative = path.relative_to(package_dir.parent)
            names.append(".".join([*relative.parent.parts, path.name[:-len(suffix)]]))
    return sorted(set(names))


def records(scope):
    """The scope's own constant docs and types (not a base class's)."""
    own = vars(scope)
    return own.get("__constant_docs__", {}), own.get("__constant_types__", {})


def declaration(indent, name, annotation, value, doc):
    """A constant's or attribute's stub lines: `name: annotation = value` and its doc."""
    lines = [f"{indent}{name}" + (f": {annotation}" if annotation else "") + (value or "")]
    if doc:
        doc = doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
        lines.append(f'{indent}"""{doc}"""')
    return lines


def finish(text, module):
    """The generated stub `text` of `module`, with its constants documented and
    the recorded instance attributes declared."""
    out, annotations = [], []
    scope, indent, in_docstring, undeclared = module, "", False, []
    for line in text.splitlines():
        if line.count('"""') % 2:
            in_docstring = not in_docstring
        if in_docstring or '"""' in line:
            out.append(line)
            continue
        starts_scope = line and not line.startswith(" ")
        if undeclared and (starts_scope or line.startswith(("    def ", "    @"))):
            # Instance attributes go after the class's constants.
            docs, types = records(scope)
            for name in undeclared:
                out.extend(declaration(indent, name, types[name], None, docs[name]))
            undeclared = []
        if (header := CLASS_LINE.match(line)) is not None:
            scope, indent = getattr(module, header["name"]), "    "
            docs, types = records(scope)
            undeclared = sorted(name for name in types if name not in vars(scope))
            annotations.extend(types.values())
        elif starts_scope:
            scope, indent = module, ""
        match = CONSTANT_LINE.match(line)
        if match is None or match["indent"] != indent:
            out.append(line)
            continue
        docs, types = records(scope)
        name = match["name"]
        if name in RECORDS:
            continue
        if name not in docs:
            out.append(line)
            continue
        annotation = types.get(name)
        if scope is module and annotation is not None:
            annotations.append(annotation)
        if annotation is None and match["annotation"] is not None:
            class_var = CLASS_VAR.match(match["annotation"])
            annotation = class_var["inner"] if class_var else match["annotation"]
        out.extend(declaration(indent, name, annotation, match["value"], docs[name]))
    if undeclared:
        raise ValueError(f"{module.__name__}: a class that ends the stub declares attributes")
    return "\n".join(with_imports(out, annotations)) + "\n"


def with_imports(lines, annotations):
    """`lines` with an ``import`` for every module the `annotations` name."""
    wanted = {f"import {match[1]}" for text in annotations for match in QUALIFIED.finditer(text)}
    first = next(i for i, line in enumerate(lines) if line.startswith("import "))
    last = first
    while lines[last + 1].startswith("import "):
        last += 1
    imports = sorted(set(lines[first:last + 1]) | wanted)
    return [*lines[:first], *imports, *lines[last + 1:]]


def with_method_aliases(text, module):
    """`text` with each class-level alias of a method (`cls.alias = cls.method`,
    the same function object) written as `alias = method` after the method:
    the generator, seeing a function whose name is not the attribute's, writes
    an untyped static method instead."""
    for class_name, cls in vars(module).items():
        if not isinstance(cls, type) or cls.__module__ != module.__name__:
            continue
        own = vars(cls)
        for alias, value in own.items():
            target = getattr(value, "__name__", alias)
            if target == alias or own.get(target) is not value:
                continue
            stub_block = re.compile(
                rf"^    @staticmethod\n    def {alias}\(\*args, \*\*kwargs\):\n"
                rf'        """\n(?:(?:        .*)?\n)*?        """\n', re.MULTILINE)
            text, removed = stub_block.subn("", text)
            method = re.compile(rf"^    def {target}\(.*\n(?:(?:        .*)?\n)*", re.MULTILINE)
            found = method.search(text)
            if removed != 1 or found is None:
                raise ValueError(f"{class_name}.{alias}: no stub of the aliased {target}")
            text = f"{text[:found.end()]}    {alias} = {target}\n{text[found.end():]}"
    return text


def with_type_variables(text, module):
    """`text` with each module-level type variable declared as one: the
    generator writes ``Name: typing.TypeVar``, which a checker takes for a
    plain value."""
    def declared(match):
        variable = getattr(module, match[1])
        bound = getattr(variable, "__bound__", None)
        bound_text = "" if bound is None else f", bound={bound.__module__}.{bound.__qualname__}"
        return f'{match[1]} = typing.TypeVar("{variable.__name__}"{bound_text})'
    return re.sub(r"^(\w+): typing\.TypeVar$", declared, text, flags=re.MULTILINE)


def generate(directory, modules):
    """Writes the finished stub of each of `modules` below `directory`, then
    the stub of the awaitable drivers made from them."""
    import pybind11_stubgen

    from awaitable_stubs import awaitable_stub

    pybind11_stubgen.main([*modules, "--exit-code", "-o", str(directory)])
    finished = {}
    for name in modules:
        path = directory.joinpath(*name.split(".")).with_suffix(".pyi")
        module = importlib.import_module(name)
        text = with_type_variables(with_method_aliases(path.read_text(), module), module)
        finished[name] = finish(text, module)
        path.write_text(finished[name])
    directory.joinpath("orvaklab", "aiodrivers.pyi").write_text(awaitable_stub(finished))


def stub_files(root):
    return {path.relative_to(root): path for path in root.glob("orvaklab/**/*.pyi")}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail when the stubs differ")
    args = parser.parse_args(argv)

    import orvaklab

    package_dir = pathlib.Path(orvaklab.__file__).resolve().parent
    modules = extension_modules(package_dir)
    if package_dir == SOURCE_ROOT / "orvaklab" or not modules:
        sys.exit("stubs.py: orvaklab imports from the source tree; install it and run from "
                 "outside the source tree's root")
    with tempfile.TemporaryDirectory() as temporary:
        generate(pathlib.Path(temporary), modules)
        generated = stub_files(pathlib.Path(temporary))
        committed = stub_files(SOURCE_ROOT)
        if not args.check:
            for relative in committed.keys() - generated.keys():
                committed[relative].unlink()
            for relative, path in generated.items():
                (SOURCE_ROOT / relative).write_text(path.read_text())
            print(f"stubs.py: wrote {len(generated)} stubs")
            return 0
        stale = []
        for relative in sorted(generated.keys() | committed.keys()):
            new = generated[relative].read_text() if relative in generated else ""
            old = committed[relative].read_text() if relative in committed else ""
            if new != old:
                stale.append(relative)
                sys.stdout.writelines(difflib.unified_diff(
                    old.splitlines(keepends=True), new.splitlines(keepends=True),
                    f"committed/{relative}", f"generated/{relative}"))
        if stale:
            print(f"stubs.py: {len(stale)} stubs differ from the built modules; run "
                  "scripts/stubs.sh and commit the result", file=sys.stderr)
            return 1
        print(f"stubs.py: {len(generated)} stubs up to date")
        return 0


if __name__ == "__main__":
    sys.exit(main())
