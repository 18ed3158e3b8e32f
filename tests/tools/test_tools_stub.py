import ast
import inspect
import sysconfig
from pathlib import Path

import palettra

REPO_STUB = Path(__file__).parents[2] / "python" / "palettra.pyi"


def installed_stubs():
    site = Path(sysconfig.get_paths()["platlib"])
    return [Path(palettra.__file__).with_name("palettra.pyi"), site / "palettra-stubs" / "__init__.pyi"]


def stub_function(tree, name):
    return next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name)


def test_stub_is_installed_for_editors_and_for_mypy():
    for path in installed_stubs():
        assert path.read_text() == REPO_STUB.read_text(), path


def test_stub_matches_the_module():
    tree = ast.parse(REPO_STUB.read_text())
    stub_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]
    )
    assert stub_all == palettra.__all__
    public = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert public == set(palettra.__all__)

    convert = stub_function(tree, "convert")
    assert palettra.convert.__text_signature__ == "(img, color_palette)"
    runtime = inspect.signature(palettra.convert).parameters.values()
    assert [(p.name, p.kind, p.default) for p in runtime] == [
        (a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for a in convert.args.args
    ]
    assert not (convert.args.posonlyargs or convert.args.kwonlyargs or convert.args.defaults)
    assert not (convert.args.vararg or convert.args.kwarg)
    assert ast.unparse(convert.returns) == "npt.NDArray[np.uint64]"


def test_tools_package_is_marked_typed():
    import palettra_tools

    assert Path(palettra_tools.__file__).with_name("py.typed").is_file()
