"""Hostile values: each protocol method runs a drawn hook (raise, collect,
re-enter the module, swap a global, touch `state`), then answers as the plain
value would or oddly. A Scene owns one call's hooks and restores the module."""

import contextlib
import functools
import gc
import math
import operator
import sys
import types

from hypothesis import strategies as st

import pdf_module

STATE_NAMES = ("pdf_scale_ratio", "shrink_scale", "original_ratio", "image_dpi",
               "pdf_width_pt", "pdf_height_pt")
GLOBAL_NAMES = ("format_mm_value", "update_image_position", "update_image_size", "mm_to_pt",
                "show_dialog", "get_unique_filename", "fitz", "Image", "os", "io", "ft", "base64",
                "state")
ORIGINAL = dict(vars(pdf_module))   # the namespace as the import left it
SWAPPED = set()   # globals swapped since the current call began, by any scene's hooks


class Dying:   # runs its hook when freed
    def __init__(self, scene, hook):
        self.scene, self.hook = scene, hook

    def __del__(self):
        if not sys.is_finalizing():
            gc.collect()
            self.scene.run(self.hook)


def raiser(error):
    def refuse(*args, **kwargs):
        raise error("hostile")
    return refuse


class SelfDropping:   # a global that, called, drops itself from the namespace
    def __init__(self, name):
        self.name = name

    def __call__(self, *args, **kwargs):
        if vars(pdf_module).get(self.name) is self:
            del vars(pdf_module)[self.name]
        gc.collect()


def restore_namespace():
    namespace = vars(pdf_module)
    for name in [n for n in namespace if n not in ORIGINAL]:
        del namespace[name]
    namespace.update(ORIGINAL)


def reenter_dialog():
    page = types.SimpleNamespace(open=lambda d: None, close=lambda d: None, update=lambda: None)
    pdf_module.confirm_exit(page)
    page.dialog.actions[1].on_click(None)
    # a page-dialog cycle made in a finaliser can outlive later collections
    # (plain Python too): the block-count check would call it a leak
    del page.dialog


FIELD = types.SimpleNamespace(value="12.5", update=lambda: None)
REENTRIES = {
    "units": lambda: (pdf_module.mm_to_pt(3), pdf_module.format_mm_value(2.675),   # the last fails
                      pdf_module.scale_image_to_pdf(300, 100, 210, 297), pdf_module.mm_to_pt(None)),
    "position": lambda: pdf_module.update_image_position(FIELD, FIELD, FIELD, FIELD),
    "dialog": reenter_dialog,
}


class Scene:
    """One call's hooks; begin and restore reset the namespace, `state` and gc."""

    def __init__(self):
        self.depth = 0   # re-entries go only one level deep

    def begin(self, state_values):
        self.saved_threshold, self.swapped_out = gc.get_threshold(), []
        SWAPPED.clear()
        restore_namespace()
        state = vars(pdf_module.state)   # plain dictionary operations: no hook runs
        for name in [n for n in state if not n.startswith("__")]:
            state.pop(name, None)   # a value freed here may run hooks that remove others
        for name, value in state_values.items():
            state[name] = self.value(value)

    def restore(self):
        gc.set_threshold(*self.saved_threshold)
        restore_namespace()
        self.swapped_out.clear()   # frees what hooks put in, with the hooks still possible

    def value(self, spec):
        kind, payload = spec
        return {
            "plain": lambda: payload, "dying": lambda: Dying(self, payload),
            "num": lambda: Num(self, *payload), "text": lambda: Text(self, *payload),
            "raiser": lambda: raiser(payload), "function": lambda: ORIGINAL[payload],
            "self": lambda: SelfDropping(payload), "handler": lambda: self.dropping_handler(payload),
        }[kind]()

    def dropping_handler(self, name):
        """An exit-dialog handler held only by the global `name`, which its close() drops."""
        page = Page(self, {"close": ("swap_global", (name, None)), "update": ("gc", None)})
        ORIGINAL["confirm_exit"](page)
        handler = page.dialog.actions[1].on_click
        page.dialog = None   # no cycle through the dialog: the namespace holds the handler
        return handler

    def run(self, hook):
        action, arg = hook or (None, None)
        state = pdf_module.state
        if action == "raise":
            raise arg("hostile")
        if action == "gc":
            gc.collect()
        elif action == "gc_storm":   # a young collection at nearly every allocation from here on
            gc.set_threshold(1, 10**6, 10**6)
        elif action == "reenter" and self.depth == 0:
            self.depth += 1
            try:
                with contextlib.suppress(Exception):
                    REENTRIES[arg]()
            finally:
                self.depth -= 1
        elif action == "swap_global":
            name, replacement = arg
            SWAPPED.add(name)
            vars(pdf_module).pop(name, None)   # the original stays in ORIGINAL
            if replacement is not None:
                kind = replacement if isinstance(replacement, str) else None
                vars(pdf_module)[name] = self.value((kind, name) if kind else replacement)
        elif action == "del_state" and hasattr(state, arg):
            self.swapped_out.append(getattr(state, arg))
            with contextlib.suppress(Exception):
                delattr(state, arg)
        elif action == "set_state":
            with contextlib.suppress(Exception):
                setattr(state, arg[0], self.value(arg[1]))


# --- the values behind hostile objects --------------------------------------------

def _hooked(name, compute):
    def method(self, *args):
        self._scene.run(self._hooks.get(name))
        if name in self._odd:
            return self._scene.value(self._odd[name])
        return compute(self, *args)
    method.__name__ = name
    return method


NUMBER_ANSWERS = {
    "__float__": lambda n: float(n._base), "__index__": lambda n: operator.index(n._base),
    "__int__": lambda n: int(n._base), "__mul__": lambda n, o: n._base * o,
    "__rmul__": lambda n, o: o * n._base, "__truediv__": lambda n, o: n._base / o,
    "__rtruediv__": lambda n, o: o / n._base, "__add__": lambda n, o: n._base + o,
    "__radd__": lambda n, o: o + n._base, "__gt__": lambda n, o: n._base > o,
    "__lt__": lambda n, o: n._base < o, "__eq__": lambda n, o: n._base == o,
    "__bool__": lambda n: bool(n._base), "__round__": lambda n, d=None: round(n._base, d),
    "__format__": lambda n, spec: format(n._base, spec), "__str__": lambda n: str(n._base),
    "__hash__": lambda n: hash(n._base),
}
TEXT_ANSWERS = {
    "strip": lambda t, *chars: str.strip(t, *chars),
    "split": lambda t, *args: [Text(t._scene, piece, t._hooks, t._odd)
                               for piece in str.split(t, *args)],
    "isdigit": str.isdigit, "__float__": lambda t: float(str.__str__(t)),
    "__int__": lambda t: int(str.__str__(t)),
    "__index__": lambda t: operator.index(int(str.__str__(t))),
    "__bool__": lambda t: str.__len__(t) > 0, "__str__": str.__str__, "__format__": str.__format__,
    "__add__": str.__add__, "__radd__": lambda t, o: o + str.__str__(t), "__eq__": str.__eq__,
    "__hash__": str.__hash__, "__len__": str.__len__, "__fspath__": str.__str__,
}


class Num:
    def __init__(self, scene, base, hooks, odd):
        self._scene, self._base, self._hooks, self._odd = scene, base, hooks, odd


class Text(str):
    def __new__(cls, scene, base, hooks, odd):
        self = super().__new__(cls, base)
        self._scene, self._hooks, self._odd = scene, hooks, odd
        return self


for _cls, _answers in ((Num, NUMBER_ANSWERS), (Text, TEXT_ANSWERS)):
    for _name, _compute in _answers.items():
        setattr(_cls, _name, _hooked(_name, _compute))


class Control:
    def __init__(self, scene, value, hooks):
        vars(self).update(_scene=scene, _hooks=hooks, _value=value)

    @property
    def value(self):
        self._scene.run(self._hooks.get("get"))
        return self._scene.value(self._value)

    @value.setter
    def value(self, new):
        self._scene.run(self._hooks.get("set"))
        vars(self)["_value"] = ("plain", new)

    def __setattr__(self, name, new):
        self._scene.run(self._hooks.get("set"))
        object.__setattr__(self, name, new)

    def update(self):
        self._scene.run(self._hooks.get("update"))

    def reset(self, value):
        vars(self)["_value"] = value


class Page:   # counts the dialogs it opens and keeps their last titles
    def __init__(self, scene, hooks):
        self.scene, self.hooks, self.opened, self.messages = scene, hooks, 0, []
        self.close = lambda dialog: scene.run(hooks.get("close"))
        self.update = lambda: scene.run(hooks.get("update"))

    def open(self, dialog):
        self.opened += 1
        self.messages = self.messages[-3:] + [str(dialog.title.value)]
        self.scene.run(self.hooks.get("open"))


class Callback:
    def __init__(self, scene, hook, names):
        self.scene, self.hook, self.names = scene, hook, names

    def __call__(self, *values):
        self.scene.run(self.hook)
        for name, value in zip(self.names, values):
            setattr(pdf_module.state, name, value)


class Sink:   # keeps the last lines written
    def __init__(self):
        self.lines = []

    def write(self, text):
        self.lines = self.lines[-7:] + [text]
        return len(text)

    flush = lambda self: None   # noqa: E731


# --- strategies ------------------------------------------------------------------------

ERRORS = st.sampled_from([ValueError, TypeError, RuntimeError, ZeroDivisionError, OverflowError,
                          KeyError, MemoryError, RecursionError, KeyboardInterrupt])
plain_numbers = st.one_of(
    st.integers(-10**6, 10**6), st.integers(), st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0, 0.0, -0.0, 1e-300, 5e-324, 1e308, 2.675, 0.005, 25.4, 72, 10**400, True]))


def plain(values):
    return st.tuples(st.just("plain"), st.sampled_from(values))


@functools.lru_cache(maxsize=None)
def hooks_for(methods, max_size=3):
    return st.dictionaries(st.sampled_from(methods), HOOK, max_size=max_size)


def hooked(kind, bases, methods):
    return st.tuples(st.just(kind), st.tuples(bases, hooks_for(methods), st.dictionaries(
        st.sampled_from(methods), SIMPLE_ODD, max_size=2)))


@functools.lru_cache(maxsize=None)
def odd_value(base=None):
    return st.one_of(
        st.tuples(st.just("plain"), st.one_of(plain_numbers, st.text(max_size=8))
                  if base is None else base),
        plain([None, b"12", [], "12,5", " 7 ", "１２", "²", "nan", "-inf", "1e999", "0x10"]),
        st.tuples(st.just("dying"), st.none() | HOOK),
        hooked("num", plain_numbers, tuple(NUMBER_ANSWERS)),
        hooked("text", st.sampled_from(["12.5", "0", "", " 3 ", "1,2,3", "abc", "2,x,²", "７"]),
               tuple(TEXT_ANSWERS)))


# Odd answers of protocol methods.
SIMPLE_ODD = plain([None, "3", 3, 3.5, -1, 10**30, math.nan, math.inf, [], (), True, b"x"]) | (
    st.tuples(st.just("dying"), st.none() | st.just(("gc", None))))
# What a swapped global becomes.
REPLACEMENT = st.one_of(
    st.tuples(st.just("raiser"), ERRORS), st.sampled_from(["self", "handler"]),
    st.tuples(st.just("function"), st.sampled_from(["mm_to_pt", "format_mm_value", "show_dialog",
                                                    "update_image_position"])),
    plain([None, 0, "text", ()]))
ODD = st.deferred(lambda: odd_value())
HOOK = st.deferred(lambda: st.one_of(
    st.tuples(st.just("raise"), ERRORS),
    st.tuples(st.sampled_from(["gc", "gc_storm"]), st.none()),
    st.tuples(st.just("reenter"), st.sampled_from(sorted(REENTRIES))),
    st.tuples(st.just("swap_global"),
              st.tuples(st.sampled_from(GLOBAL_NAMES), st.none() | REPLACEMENT)),
    st.tuples(st.just("del_state"), st.sampled_from(STATE_NAMES)),
    st.tuples(st.just("set_state"), st.tuples(st.sampled_from(STATE_NAMES), ODD))))


@functools.lru_cache(maxsize=None)
def state_values():
    return st.dictionaries(st.sampled_from(STATE_NAMES), plain(
        [1.0, 0.5, 2.0833333333333335, 0.6313131313131313, 96, 72, 1.5]) | odd_value(),
        max_size=len(STATE_NAMES))
