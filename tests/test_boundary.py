"""The Python surface of vaskel: registration, argument binding and
conversion, error mapping and the class machinery."""

import collections
import operator
import re
import threading
import types
import weakref

import pytest

import vaskel
from vaskel import Node, Tree, engine, tokenize
from vaskel_tools import PanicException

from helpers import run_python

TREE_METHODS = ["decapsulate", "concat", "get_children", "subtree", "to_xml"]


# --- module surface -------------------------------------------------------

def test_module_registration():
    assert vaskel.__name__ == "vaskel"
    assert vaskel.__all__ == ["tokenize", "engine", "Node", "Tree"]
    names = [n for n in vars(vaskel) if n in vaskel.__all__]
    assert names == vaskel.__all__
    for f in (tokenize, engine):
        assert isinstance(f, types.BuiltinFunctionType)
        assert f.__self__ is vaskel and f.__module__ == "vaskel"
    for cls in (Node, Tree):
        assert cls.__module__ == "vaskel" and cls.__bases__ == (object,)
        assert cls.__qualname__ == cls.__name__ and f"vaskel.{cls.__name__}" in repr(cls)
    assert isinstance(vaskel.__doc__, str) and vaskel.__doc__.strip()
    assert not hasattr(vaskel, "PanicException")


LVL = ":param lvl: le niveau de l'arbre (coordonnée x)\n:type lvl: int\n"
POS = ":param i: la position du noeud (coordonnée y)\n:type i: int\n"
DOCS = [
    (tokenize, "(txt)", "tokenize(txt: str)\n--\n\nFonction de tokenisation utilisant un transducteur à "
     "états finis.\n\n:param txt: la chaîne de caractères à tokeniser\n:type txt: str"),
    (engine, "(tokens, ruleset)", "engine(tokens: list[str], ruleset: dict)\n--\n\nFonction faisant "
     "tourner le moteur à base de règles, à partir de tokens et d'un ensemble de règles.\n\n:param "
     "tokens: la liste des tokens à traiter\n:type tokens: list[str]\n:param ruleset: la base de "
     "règles\n:type ruleset: dict\n:return: l'arbre résultant\n:rtype: Tree"),
    (Tree, "(leaves: list[str])", "Tree(leaves: list[str])\n--\n\nClasse représentant une "
     "arborescence, les noeuds ayant pour seule valeur une chaîne de caractère. \nLe package utilise "
     "cette dernière pour garder une trace de chaque étape de transformation.\n\n:param leaves: les "
     "feuilles de l'arbre\n:type leaves: list[str]"),
    (Node, "(txt: str, lvl: int, i: int)", "Node(txt: str, lvl: int, i: int)\n--\n\nClasse "
     "représentant le noeud d'un arbre, avec pour valeur une chaîne de caractères.\n\n:param txt: la "
     "valeur du noeud\n:type txt: str\n" + LVL + POS.rstrip("\n")),
    (Tree.decapsulate, "($self, lvl, i)", "decapsulate(self, lvl: int, i: int)\n\nMéthode permettant "
     "de récupérer les feuilles auquel a accès le noeud spécifié (sous la forme d'une liste de "
     "noeuds).\n" + LVL + ":param i: index du noeud dans le niveau\n:type i: int\n"
     ":return: la liste des feuilles\n:rtype: list[Node]"),
    (Tree.concat, "($self, lvl, i, sep)", "concat(self, lvl: int, i: int, sep: str)\n\nMéthode "
     "permettant de récupérer le texte des feuilles auquel le noeud a accès, avec possibilité d'un "
     "séparateur entre chaque.\n\n" + LVL + POS + ":param sep: le séparateur à utiliser\n"
     ":type sep: str\n:return: la chaîne résultante\n:rtype: str"),
    (Tree.get_children, "($self, lvl, i)", "get_children(self, lvl: int, i: int)\n\nMéthode "
     "permettant de récupérer les enfants du noeud.\n\n" + LVL + POS +
     ":return: la liste des noeuds enfants\n:rtype: list[Node]"),
    (Tree.subtree, "($self, lvl, i)", "subtree(self, lvl: int, i: int)\n\nPermet de récupérer un "
     "sous-arbre sous la forme d'un objet Tree.\n" + LVL + ":param i: la position du nouveau noeud "
     "racine (coordonnée y)\n:type i: int\n:return: le sous arbre partant du noeud spécifié\n"
     ":rtype: Tree"),
    (Tree.to_xml, "($self)", "to_xml(self)\n\nMéthode fournissant une chaîne de caractère décrivant "
     "l'arbre au format XML. Format d'export à privilégier.\n\n:return: l'arbre structuré en XML\n"
     ":rtype: str"),
]


@pytest.mark.parametrize(("obj", "signature", "doc"), DOCS, ids=lambda v: getattr(v, "__name__", ""))
def test_signature_and_doc(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_class_members():
    assert [m for m in vars(Tree) if m in TREE_METHODS] == TREE_METHODS
    for cls, attrs in ((Node, ["children", "data", "index", "level"]), (Tree, ["data"])):
        assert [a for a in vars(cls) if isinstance(vars(cls)[a], types.GetSetDescriptorType)] == attrs
        assert all(vars(cls)[a].__doc__ == "" for a in attrs)


# --- argument binding and conversion errors --------------------------------

class Holder:
    class Inner:
        pass


T = Tree(["a", "b"])
MESSAGES = [
    (lambda: tokenize("a", txt="b"), "tokenize() got multiple values for argument 'txt'"),
    (lambda: tokenize(text="b"), "tokenize() got an unexpected keyword argument 'text'"),
    (lambda: tokenize(5, x=1), "tokenize() got an unexpected keyword argument 'x'"),
    (lambda: tokenize("a", **{"txt": "b", "zz": 1}), "tokenize() got multiple values for argument 'txt'"),
    (lambda: tokenize(**{"zz": 1, "txt": "b"}), "tokenize() got an unexpected keyword argument 'zz'"),
    (lambda: tokenize("a", "b"), "tokenize() takes 1 positional arguments but 2 were given"),
    (lambda: tokenize(), "tokenize() missing 1 required positional argument: 'txt'"),
    (lambda: engine([]), "engine() missing 1 required positional argument: 'ruleset'"),
    (lambda: engine([], {}, 1), "engine() takes 2 positional arguments but 3 were given"),
    (lambda: T.decapsulate(1, 2, 3), "Tree.decapsulate() takes 2 positional arguments but 3 were given"),
    (lambda: T.decapsulate(), "Tree.decapsulate() missing 2 required positional arguments: 'lvl' and 'i'"),
    (lambda: T.concat(0), "Tree.concat() missing 2 required positional arguments: 'i' and 'sep'"),
    (lambda: T.get_children(0, j=1), "Tree.get_children() got an unexpected keyword argument 'j'"),
    (lambda: T.subtree(0, 0, 0), "Tree.subtree() takes 2 positional arguments but 3 were given"),
    (lambda: T.subtree(0, 0, lvl=0), "Tree.subtree() got multiple values for argument 'lvl'"),
    (lambda: T.subtree(0, i=0, lvl=0), "Tree.subtree() got multiple values for argument 'lvl'"),
    (lambda: Tree(), "Tree.__new__() missing 1 required positional argument: 'leaves'"),
    (lambda: Node(), "Node.__new__() missing 3 required positional arguments: 'txt', 'lvl', and 'i'"),
    (lambda: Node(i=0), "Node.__new__() missing 2 required positional arguments: 'txt' and 'lvl'"),
    (lambda: Node("x", 1, 2, 3), "Node.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: Node("x", txt="y"), "Node.__new__() got multiple values for argument 'txt'"),
    (lambda: tokenize(**{"\ud800": 1}), "tokenize() got an unexpected keyword argument '\ud800'"),
    (lambda: tokenize(5), "argument 'txt': 'int' object cannot be converted to 'PyString'"),
    (lambda: tokenize(Holder.Inner()), "argument 'txt': 'Holder.Inner' object cannot be converted to 'PyString'"),
    (lambda: engine([1], {}), "argument 'tokens': 'int' object cannot be converted to 'PyString'"),
    (lambda: engine(["a", None], 5), "argument 'tokens': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: engine([], []), "argument 'ruleset': 'list' object cannot be converted to 'PyDict'"),
    (lambda: engine([], {"a": 1}), "argument 'ruleset': 'int' object cannot be converted to 'PyString'"),
    (lambda: engine([], {1: "a"}), "argument 'ruleset': 'int' object cannot be converted to 'PyString'"),
    (lambda: engine([], collections.UserDict()), "argument 'ruleset': 'UserDict' object cannot be converted to 'PyDict'"),
    (lambda: engine(5, {}), "argument 'tokens': 'int' object cannot be converted to 'Sequence'"),
    (lambda: Tree(iter([])), "argument 'leaves': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: Tree({"a": 1}), "argument 'leaves': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: Tree(b"ab"), "argument 'leaves': 'int' object cannot be converted to 'PyString'"),
    (lambda: Node(b"x", -1, 0), "argument 'txt': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Node("x", 1.5, 0), "argument 'lvl': 'float' object cannot be interpreted as an integer"),
    (lambda: Node("x", 0, None), "argument 'i': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: T.concat(0, 0, 1), "argument 'sep': 'int' object cannot be converted to 'PyString'"),
    (lambda: T.concat(sep=1, i="0", lvl=0), "argument 'i': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize(("call", "message"), MESSAGES, ids=[m for _, m in MESSAGES])
def test_type_error_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_unreadable_type_name():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return type.__getattribute__(cls, name)

    with pytest.raises(TypeError, match="^argument 'txt': '<failed to extract type name>' object"):
        tokenize(Meta("Odd", (), {})())


def test_keywords_in_any_order(capfd):
    assert tokenize(txt="a b") == ["a", "b"]
    for node in (Node(i=5, lvl=2, txt="x"), Node("x", i=5, lvl=2), Node(lvl=2, txt="x", i=5)):
        assert (node.data, node.level, node.index) == ("x", 2, 5)
    tree = Tree(leaves=["a", "b"])
    assert [n.data for n in tree.subtree(i=1, lvl=0).data[0]] == ["b"]
    assert tree.concat(sep="-", i=0, lvl=0) == ""
    assert tree.get_children(i=1, lvl=0) == [] and tree.decapsulate(i=7, lvl=0) == []
    assert [n.data for n in engine(ruleset={}, tokens=["a"]).data[0]] == ["a"]
    capfd.readouterr()


# --- conversion kinds -----------------------------------------------------

def test_text_conversion():
    class Text(str):
        def __str__(self):
            return "autre chose "

    assert tokenize(Text("un mot ")) == ["un", "mot"]
    assert Node(Text("x"), 0, 0).data == "x"
    assert type(Node(Text("x"), 0, 0).data) is str
    assert Node("a\x00b\U0001f600", 0, 0).data == "a\x00b\U0001f600"


@pytest.mark.parametrize("call", [
    lambda: tokenize("a\ud800"),
    lambda: Node("\udfff", 0, 0),
    lambda: Tree(["ok", "\ud800"]),
    lambda: engine([], {"\ud800": "x"}),
    lambda: T.concat(0, 0, "\ud800"),
])
def test_lone_surrogate_not_annotated(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert not str(info.value).startswith("argument")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(("value", "expected"), [
    (True, 1), (False, 0), (0, 0), (4294967295, 4294967295), (Index(7), 7),
])
def test_u32_accepted(value, expected):
    assert Node("x", value, value).level == expected
    assert Node("x", 0, value).index == expected


@pytest.mark.parametrize(("value", "exc", "message"), [
    (4294967296, OverflowError, "out of range integral type conversion attempted"),
    (2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
    (Index(2**40), OverflowError, "out of range integral type conversion attempted"),
    (2**64, OverflowError, None),
    (-1, OverflowError, None),
    (Index(-5), OverflowError, None),
    (Index(ValueError("bad index")), ValueError, "bad index"),
])
def test_u32_refused_unannotated(value, exc, message):
    with pytest.raises(exc) as info:
        Node("x", value, 0)
    assert type(info.value) is exc
    assert not str(info.value).startswith("argument")
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("value", [1.5, "1", None, Index(TypeError("not a number"))])
def test_u32_type_error_annotated(value):
    try:
        operator.index(value)
    except TypeError as e:
        plain = str(e)
    with pytest.raises(TypeError) as info:
        Node("x", value, 0)
    assert str(info.value) == f"argument 'lvl': {plain}"


def test_conversion_order_first_failure_wins():
    with pytest.raises(TypeError, match="^argument 'txt'"):
        Node(5, -1, "x")
    with pytest.raises(OverflowError):
        Node("x", -1, "x")


class Seq(collections.abc.Sequence):
    def __init__(self, items, length=None):
        self.items, self.length = items, length

    def __len__(self):
        if self.length is not None:
            raise self.length
        return len(self.items)

    def __getitem__(self, k):
        return self.items[k]


@pytest.mark.parametrize("leaves", [
    ("a", "b"), ["a", "b"], Seq(["a", "b"]), Seq(["a", "b"], length=ValueError("no length")),
])
def test_string_list_accepts_sequences(leaves):
    assert [n.data for n in Tree(leaves).data[0]] == ["a", "b"]


@pytest.mark.parametrize("value", ["ab", type("S", (str,), {})("ab")])
def test_string_list_refuses_str(value):
    with pytest.raises(TypeError) as info:
        Tree(value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'leaves': ")
    assert len(str(info.value)) > len("argument 'leaves': ")


class FailingIter(list):
    def __init__(self, error):
        super().__init__(["a"])
        self.error = error

    def __iter__(self):
        raise self.error


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [KeyError("it"), MyTypeError("sub"), OverflowError("big")])
def test_iteration_error_unchanged(error):
    with pytest.raises(type(error)) as info:
        Tree(FailingIter(error))
    assert info.value is error


def test_annotation_keeps_cause():
    root = ValueError("root")
    plain = TypeError("plain")
    plain.__cause__ = root
    with pytest.raises(TypeError) as info:
        engine(FailingIter(plain), {})
    assert str(info.value) == "argument 'tokens': plain"
    assert info.value.__cause__ is root


def test_map_conversion(capfd):
    class Rules(dict):
        pass

    class Key(str):
        __hash__ = object.__hash__

        def __eq__(self, other):
            return self is other

    engine(["a"], Rules(a="X"))
    assert capfd.readouterr().out == "a : X\n[]\n"
    engine([], collections.OrderedDict(b="Y"))
    assert capfd.readouterr().out == "b : Y\n[]\n"
    colliding = {Key("a"): "first", Key("a"): "second"}
    assert len(colliding) == 2
    engine([], colliding)
    assert capfd.readouterr().out == "a : second\n[]\n"


# --- internal failures ----------------------------------------------------

FAILURE_LINE = re.compile(
    r"^vaskel: internal failure in thread '(.*)': index out of bounds: "
    r"the len is 1 but the index is 1 \(at src/\S+:\d+\)$"
)


def test_panic_exception_type():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__doc__


def test_panic_not_caught_by_exception(capfd):
    tree = Tree([])
    caught = None
    try:
        try:
            tree.get_children(1, 0)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException caught as Exception")
    except BaseException as exc:  # noqa: BLE001
        caught = exc
    assert type(caught) is PanicException
    assert caught.args == ("index out of bounds: the len is 1 but the index is 1",)
    out, err = capfd.readouterr()
    assert out == ""
    lines = err.splitlines()
    assert len(lines) == 2
    assert FAILURE_LINE.match(lines[0]).group(1) == "MainThread"
    assert lines[1].startswith("note:")
    assert tree.data == [[]]  # the tree is still usable


def test_failure_report_names_thread(capfd):
    seen = []

    def work():
        try:
            Tree([]).get_children(1, 0)
        except BaseException as exc:  # noqa: BLE001
            seen.append(exc)

    worker = threading.Thread(target=work, name="travail-7")
    worker.start()
    worker.join()
    assert type(seen[0]) is PanicException
    assert FAILURE_LINE.match(capfd.readouterr().err.splitlines()[0]).group(1) == "travail-7"


class PanicIter(list):
    def __iter__(self):
        raise PanicException("boom")


class PanicIndex:
    def __index__(self):
        raise PanicException("boom")


@pytest.mark.parametrize("call", [
    lambda: Tree(PanicIter(["a"])),
    lambda: engine(PanicIter(), {}),
    lambda: Node("x", PanicIndex(), 0),
])
def test_panic_from_python_is_resumed(call, capfd):
    with pytest.raises(PanicException) as info:
        call()
    assert info.value.args == ("boom",)
    out, err = capfd.readouterr()
    lines = err.splitlines()
    assert lines[0].startswith("vaskel: resuming an internal failure")
    assert lines[1] == "Python stack trace below:"
    assert lines[2] == "Traceback (most recent call last):"
    assert lines[-1].endswith("PanicException: boom")
    assert "internal failure in thread" not in err
    assert out == ""


def test_second_init_refused():
    proc = run_python(
        "import sys, vaskel\n"
        "del sys.modules['vaskel']\n"
        "try:\n    import vaskel\nexcept ImportError as e:\n    print('refused', bool(str(e)))\n"
        "print(vaskel.tokenize('encore ici'))\n",
        text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "refused True\n['encore', 'ici']\n"


def test_failing_dealloc_is_unraisable():
    proc = run_python(
        "import sys, _vaskel_testing\n"
        "seen = []\n"
        "sys.unraisablehook = lambda u: seen.append((u.exc_type.__name__, u.exc_value.args))\n"
        "x = _vaskel_testing.FailingDealloc('msg')\n"
        "del x\n"
        "x = _vaskel_testing.FailingDealloc('')\n"
        "del x\n"
        "print(seen)\n",
        text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout == "[('PanicException', ('msg',))]\n"


# --- class machinery ------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: Tree.concat(Node("a", 0, 0), 0, 0, ""),
    lambda: Tree.get_children(object(), 0, 0),
    lambda: Tree.to_xml(Node("a", 0, 0)),
    lambda: Tree.data.__get__(Node("a", 0, 0)),
    lambda: Node.data.__get__(Tree([])),
    lambda: Node.level.__get__("x"),
    lambda: Tree([]).to_xml(1),
])
def test_receiver_and_no_argument_checked(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(("obj", "attr"), [
    (Node("x", 1, 2), "children"), (Node("x", 1, 2), "data"), (Node("x", 1, 2), "index"),
    (Node("x", 1, 2), "level"), (Tree(["x"]), "data"),
])
def test_attributes_read_only(obj, attr):
    def snapshot():
        value = getattr(obj, attr)
        return [[n.data for n in level] for level in value] if isinstance(obj, Tree) else value

    before = snapshot()
    with pytest.raises(AttributeError):
        setattr(obj, attr, getattr(obj, attr))
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert snapshot() == before


@pytest.mark.parametrize("obj", [Node("x", 0, 0), Tree([])])
def test_no_dict_no_weakref(obj):
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.other = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_node_subclass():
    class Tagged(Node):
        __slots__ = ("tag",)

    class Free(Node):
        def __init__(self, txt, lvl, i):
            self.note = txt.upper()

    tagged = Tagged("mot", 3, 4)
    tagged.tag = "t" * 100
    assert type(tagged) is Tagged
    assert (tagged.data, tagged.level, tagged.index, tagged.children) == ("mot", 3, 4, [])
    assert tagged.tag == "t" * 100
    free = Free(txt="b", i=1, lvl=0)
    assert (free.data, free.note) == ("b", "B")
    assert weakref.ref(free)() is free
    assert Node.data.__get__(free) == "b"


def test_tree_subclass(capfd):
    class Forest(Tree):
        def first(self):
            return self.data[0][0].data

    forest = Forest(("un", "deux"))
    assert type(forest) is Forest and forest.first() == "un"
    assert forest.get_children(0, 1) == [] and forest.decapsulate(0, 9) == []
    part = forest.subtree(0, 1)
    assert type(part) is Tree
    assert [[n.data for n in level] for level in part.data] == [["deux"]]
    assert "deux" in forest.to_xml()
    with pytest.raises(PanicException, match="the len is 2 but the index is 2"):
        forest.get_children(0, 2)
    capfd.readouterr()
