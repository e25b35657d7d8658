"""Every callable with parameters, read from the module itself: each argument
is bound to the parameter of its name whether given by position or by
keyword, and a refused argument is named by the parameter at its place."""

import inspect

import pytest

import vaskel
from vaskel import Node, Tree

TREE = Tree(["a", "b"])

# One valid call per callable; the parameters come from __text_signature__.
VALID = {
    "tokenize": (vaskel.tokenize, ("le chat",)),
    "engine": (vaskel.engine, (["a"], {})),
    "Node": (Node, ("x", 1, 2)),
    "Tree": (Tree, (["a", "b"],)),
    "Tree.decapsulate": (TREE.decapsulate, (0, 1)),
    "Tree.concat": (TREE.concat, (0, 1, "-")),
    "Tree.get_children": (TREE.get_children, (0, 1)),
    "Tree.subtree": (TREE.subtree, (0, 1)),
}


def callables_with_parameters():
    found = {}
    for name in vaskel.__all__:
        obj = getattr(vaskel, name)
        found[name] = obj
        if obj is Tree:
            for attr, member in vars(obj).items():
                if inspect.ismethoddescriptor(member) and not attr.startswith("_"):
                    found[f"{name}.{attr}"] = getattr(TREE, attr)
    return {k: v for k, v in found.items() if parameter_names(v)}


def parameter_names(obj):
    # Read from the text itself: inspect cannot parse the annotations in the
    # classes' signatures.
    text = obj.__text_signature__
    assert text.startswith("(") and text.endswith(")"), text
    params = [p.split(":")[0].strip() for p in text[1:-1].split(",") if p.strip()]
    return [p for p in params if not p.startswith("$")]


def result(value):
    if isinstance(value, list):
        return [result(v) for v in value]
    if isinstance(value, Node):
        return ("Node", value.data, value.level, value.index, value.children)
    if isinstance(value, Tree):
        return ("Tree", result(value.data))
    return value


def test_every_callable_with_parameters_is_listed():
    assert sorted(callables_with_parameters()) == sorted(VALID)


@pytest.mark.parametrize("name", sorted(VALID))
def test_positional_and_keyword_arguments_bind_alike(name, capfd):
    call, args = VALID[name]
    names = parameter_names(call)
    assert len(names) == len(args)
    expected = result(call(*args))
    for split in range(len(args) + 1):
        kwargs = dict(zip(names[split:], args[split:]))
        assert result(call(*args[:split], **kwargs)) == expected, (name, split)
        # The keywords in reverse order bind the same.
        assert result(call(*args[:split], **dict(reversed(kwargs.items())))) == expected
    capfd.readouterr()


@pytest.mark.parametrize("name", sorted(VALID))
def test_a_refused_argument_is_named_by_its_place(name):
    call, args = VALID[name]
    names = parameter_names(call)
    for k, param in enumerate(names):
        wrong = args[:k] + (object(),) + args[k + 1:]
        with pytest.raises(TypeError) as by_position:
            call(*wrong)
        assert str(by_position.value).startswith(f"argument '{param}': "), (name, param)
        with pytest.raises(TypeError) as by_keyword:
            call(**dict(zip(names, wrong)))
        assert str(by_keyword.value) == str(by_position.value)
