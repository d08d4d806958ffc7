"""The stub of ``orvaklab.aiodrivers``, written from the finished stubs of the
driver modules: each awaitable class gets every public method of its blocking
class (inherited ones included, aliases too) as an ``async def`` with the same
parameters, result and documentation. Names a driver stub uses unqualified
(its own module's classes) are qualified, since the stub lives elsewhere.
Used by stubs.py.
"""

import ast
import copy
import importlib

HEAD = '''"""
The awaitable driver classes, one per driver class of the package.
"""
from __future__ import annotations
'''


class _Qualify(ast.NodeTransformer):
    """Prefixes the names a module's stub defines with that module's name."""

    def __init__(self, module, names):
        self.module, self.names = module, names

    def visit_Name(self, node):
        if node.id not in self.names:
            return node
        qualified = ast.parse(f"{self.module}.{node.id}", mode="eval").body
        return ast.copy_location(qualified, node)


def _top_level_names(tree):
    """The names a module's stub defines: its classes, constants and aliases."""
    names = set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names |= {target.id for target in node.targets if isinstance(target, ast.Name)}
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def _modules_named(node):
    """The modules the qualified names in `node` come from (``typing`` for
    ``typing.ClassVar``); docstrings are constants, so their text never counts."""
    for found in ast.walk(node):
        if isinstance(found, ast.Attribute) and found.attr[:1].isupper():
            module = ast.unparse(found.value)
            if all(part.isidentifier() and part[:1].islower() for part in module.split(".")):
                yield module


def _public_methods(node):
    """The class body's public methods (name -> its definitions, overloads
    included), aliases (``b = a``) as copies named after the alias."""
    methods = {}
    for item in node.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        decorators = {ast.unparse(decorator) for decorator in item.decorator_list}
        if decorators - {"typing.overload"}:
            continue  # static and class methods, properties: not driver operations
        methods.setdefault(item.name, []).append(item)
    for item in node.body:  # a public alias may name a private method
        if (isinstance(item, ast.Assign) and len(item.targets) == 1
                and isinstance(item.targets[0], ast.Name) and isinstance(item.value, ast.Name)
                and item.value.id in methods):
            methods[item.targets[0].id] = [
                ast.FunctionDef(**{**vars(copy.deepcopy(f)), "name": item.targets[0].id})
                for f in methods[item.value.id]]
    return {name: found for name, found in methods.items() if not name.startswith("_")}


def _awaited(function, qualify):
    """`function` as an ``async def``, its annotations qualified. Its self is
    the awaitable driver, not the blocking class a binding may have named."""
    function = qualify.visit(copy.deepcopy(function))
    if function.args.args:
        function.args.args[0].annotation = None
    awaited = ast.AsyncFunctionDef(name=function.name, args=function.args, body=function.body,
                                   decorator_list=function.decorator_list,
                                   returns=function.returns, type_comment=None)
    return ast.copy_location(awaited, function)


def awaitable_stub(stubs):
    """The text of ``orvaklab/aiodrivers.pyi``, from `stubs`: module name ->
    the text of its finished stub."""
    aio = importlib.import_module("orvaklab.aio")
    aiodrivers = importlib.import_module("orvaklab.aiodrivers")
    trees = {module: ast.parse(text) for module, text in stubs.items()}
    classes = {(module, node.name): node for module, tree in trees.items()
               for node in tree.body if isinstance(node, ast.ClassDef)}
    defined = {module: _top_level_names(tree) for module, tree in trees.items()}
    body = []
    own = set(dir(aio.AsyncDriver))
    for name in aiodrivers.__all__:
        blocking = getattr(aiodrivers, name).blocking
        qualified = f"{blocking.__module__}.{blocking.__name__}"
        methods = {}
        for cls in blocking.__mro__:
            node = classes.get((cls.__module__, cls.__name__))
            if node is None:
                continue
            qualify = _Qualify(cls.__module__, defined[cls.__module__])
            for method, definitions in _public_methods(node).items():
                if method not in methods and method not in own:
                    methods[method] = [_awaited(f, qualify) for f in definitions]
        header = ast.parse(
            f"class {name}(orvaklab.aio.AsyncDriver[{qualified}]):\n"
            f"    {ast.unparse(ast.Constant(getattr(aiodrivers, name).__doc__))}\n"
            f"    blocking: typing.ClassVar[type[{qualified}]]\n"
            f"    sync: {qualified}\n").body[0]
        header.body.extend(f for method in sorted(methods) for f in methods[method])
        body.append(header)
    names = ", ".join(repr(name) for name in aiodrivers.__all__)
    imports = sorted({f"import {module}" for node in body for module in _modules_named(node)})
    return (HEAD + "\n".join(imports) + f"\n__all__: list[str] = [{names}]\n"
            + "\n".join(ast.unparse(node) for node in body) + "\n")
