"""See a tree: as plain data, as a text diagram, as an HTML page.

Each read of ``tree.data`` copies the whole tree (every level, every node), so
the helpers here read it once and work on that copy.
"""

from __future__ import annotations

import html
import unicodedata
from collections.abc import Callable
from typing import Any, TypedDict

__all__ = ["analysis_html", "render_chunks", "render_html", "render_text", "show", "to_dict"]


class NodeDict(TypedDict):
    data: str
    level: int
    index: int
    children: list[int]


class TreeDict(TypedDict):
    levels: list[list[NodeDict]]


def to_dict(tree: Any) -> TreeDict:
    """The tree as plain data: ``{"levels": [[{"data", "level", "index", "children"}, ...], ...]}``.

    Level 0 (the leaves) comes first. ``tree.data`` is read once.
    """
    return {"levels": [[{"data": node.data, "level": node.level, "index": node.index,
                         "children": list(node.children)} for node in level] for level in tree.data]}


def _levels(tree: Any) -> list[list[NodeDict]]:
    if isinstance(tree, dict):
        levels: list[list[NodeDict]] = tree["levels"]
        return levels
    return to_dict(tree)["levels"]


def _visible(text: str, limit: int | None = None) -> str:
    # Control characters, line breaks and the like are shown as escapes so
    # that one node stays on one line (and stays valid XML in the page).
    out = []
    for ch in text:
        cat = unicodedata.category(ch)
        if ch == "\\":
            out.append("\\\\")
        elif cat in ("Cc", "Cs", "Co", "Cn") or ch in "\u2028\u2029" or (cat == "Zs" and ch != " "):
            code = ord(ch)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
        else:
            out.append(ch)
    shown = "".join(out)
    if limit is not None and len(shown) > limit:
        shown = shown[: limit - 1] + "…"
    return shown


def _noun(count: int, word: str) -> str:
    return f"{count} {word}" + ("" if count == 1 else "s")


def render_text(tree: Any, max_nodes: int = 40, width: int = 60) -> str:
    """A readable diagram of the levels, top level first.

    Each node shows its index, its text and its children, with the texts of
    those children in the level below. Levels longer than ``max_nodes`` are
    cut, with a note; texts longer than ``width`` characters are shortened.
    Accepts a ``Tree`` or the result of ``to_dict``.
    """
    levels = _levels(tree)
    lines = [f"{_noun(len(levels), 'level')}: "
             + ", ".join(f"{len(level)}" for level in levels) + " nodes (level 0 first)"]
    for lvl in range(len(levels) - 1, -1, -1):
        level = levels[lvl]
        below = levels[lvl - 1] if lvl > 0 else []
        lines.append("")
        lines.append(f"level {lvl} ({_noun(len(level), 'node')})")
        for pos, node in enumerate(level[:max_nodes]):
            text = f"  [{pos}] {_visible(node['data'], width) or '(empty)'}"
            if node["level"] != lvl or node["index"] != pos:
                text += f"  (recorded at level {node['level']}, index {node['index']})"
            if node["children"]:
                shown = []
                for child in node["children"][:8]:
                    if 0 <= child < len(below):
                        shown.append(f"{child} {_visible(below[child]['data'], 20) or '(empty)'}")
                    else:
                        shown.append(f"{child} (no such node)")
                more = len(node["children"]) - 8
                text += "  -> " + ", ".join(shown) + (f", … {more} more" if more > 0 else "")
            lines.append(text)
        if len(level) > max_nodes:
            lines.append(f"  … {len(level) - max_nodes} more nodes not shown")
    return "\n".join(lines)


def render_chunks(analysis: Any, max_chunks: int = 200, width: int = 60) -> str:
    """The chunks of an ``Analysis``, level by level: index, label, key, the
    tokens covered and their characters, and the words."""
    lines = []
    depth = max((c.level for c in analysis.chunks), default=0)
    if not depth:
        lines.append("no chunk: no window matched")
    for level in range(1, depth + 1):
        mine = [c for c in analysis.chunks if c.level == level]
        lines.append(f"level {level} ({_noun(len(mine), 'chunk')})")
        for c in mine[:max_chunks]:
            words = _visible(analysis.text[c.char_start:c.char_end], width) if c.char_start is not None \
                else _visible(" ".join(c.tokens), width)
            parts = f"  parts {c.parts[0]}-{c.parts[-1]}" if c.parts else ""
            lines.append(f"  [{c.index}] {_visible(c.label) or '∅'} <- {_visible(c.key)}  tokens {c.start}-{c.end - 1}"
                         f"  chars {c.char_start}-{c.char_end}{parts}  {words!r}")
        if len(mine) > max_chunks:
            lines.append(f"  … {len(mine) - max_chunks} more chunks not shown")
    return "\n".join(lines)


# --- HTML -------------------------------------------------------------------------

_CSS = """
.vaskel-tree { font-family: system-ui, -apple-system, "Segoe UI", sans-serif; color: #1d2430; }
.vaskel-tree h1 { font-size: 1.3em; margin: 0 0 .3em 0; }
.vaskel-tree p.meta { margin: .2em 0; color: #4a5566; }
.vaskel-tree p.note { margin: .6em 0; padding: .5em .8em; background: #fff4d6; border-left: 4px solid #e0a800; }
.vaskel-tree div.frame { overflow: auto; background: #fff; border: 1px solid #d6dbe3; border-radius: 6px;
                         padding: 8px; margin-top: 1em; }
.vaskel-tree svg text { font-family: ui-monospace, "DejaVu Sans Mono", Menlo, monospace; font-size: 13px; }
.vaskel-tree svg .lvl { font-family: system-ui, sans-serif; font-size: 12px; fill: #4a5566; font-weight: 600; }
.vaskel-tree svg .leaf rect { fill: #e8f1fb; stroke: #5b8fc9; }
.vaskel-tree svg .inner rect { fill: #eaf6ec; stroke: #4c9a5c; }
.vaskel-tree svg .top rect { fill: #fdf0e4; stroke: #d0873b; }
.vaskel-tree svg .idx { fill: #7a8595; font-size: 10px; }
.vaskel-tree svg line.link { stroke: #8f99a8; stroke-width: 1.2; }
.vaskel-tree svg line.bad { stroke: #c0392b; stroke-dasharray: 4 3; }
.vaskel-tree svg g.node:hover rect { stroke-width: 2.5; }
.vaskel-tree h2 { font-size: 1.05em; margin: .8em 0 .2em 0; color: #4a5566; }
.vaskel-tree div.side { display: flex; flex-wrap: wrap; gap: 1.5em; align-items: flex-start; }
.vaskel-tree section.text { flex: 1 1 30em; max-width: 48em; }
.vaskel-tree section.drawing { flex: 1 1 24em; min-width: 0; }
.vaskel-tree section.drawing div.frame { max-height: 85vh; }
.vaskel-tree div.chunked { white-space: pre-wrap; font-size: 1.05em; background: #fff; padding: .8em 1em;
                           border: 1px solid #d6dbe3; border-radius: 6px; }
.vaskel-tree div.chunked mark { background: rgba(255, 255, 255, .55); border: 2px solid; border-radius: .4em;
                                margin: 0 .08em; box-decoration-break: clone; -webkit-box-decoration-break: clone; }
.vaskel-tree div.chunked mark.l1 { background: #e8f0fb; }
.vaskel-tree div.chunked mark .lab { color: #fff; font-size: .62em; font-weight: 700; letter-spacing: .04em;
                                     border-radius: .3em; padding: .05em .35em; margin-left: .3em;
                                     vertical-align: .15em; font-family: system-ui, sans-serif; }
.vaskel-tree ul.legend { list-style: none; padding: 0; margin: .3em 0; color: #4a5566; }
.vaskel-tree ul.legend li { display: inline-block; margin-right: 1.2em; }
.vaskel-tree span.swatch { display: inline-block; width: .9em; height: .9em; border: 2px solid;
                           border-radius: .25em; vertical-align: -.1em; margin-right: .3em; }
"""
# Every rule above is scoped to the drawing, so that it can sit inside a
# notebook without restyling it; the page adds its own margins.
_PAGE_CSS = "body { margin: 1.5em; background: #f7f8fa; }"

_MAX_DRAWN = 2000
_CHAR_W = 7.9
_BOX_H = 26
_ROW_H = 78
_GAP = 10
_LEFT = 80
_COL_GAP = 70
_PAGE_W = 1100  # wider drawings are drawn with the levels as columns


def render_html(tree: Any, title: str = "vaskel tree", max_nodes: int = _MAX_DRAWN) -> str:
    """One self-contained HTML page (inline SVG and CSS, nothing fetched) that
    draws the levels, the nodes and the links to their children.

    The top level is drawn at the top, the leaves at the bottom; a drawing
    wider than a page is drawn with the levels as columns instead. A tree of
    more than ``max_nodes`` nodes is drawn cut, with a note saying what was
    left out. The page is also well-formed XML. Accepts a ``Tree``, the
    result of ``to_dict``, or an ``Analysis`` (from ``analyse``): then the
    page shows the text with each level's chunks marked over it, beside the
    drawing of the tree.
    """
    body = _body_of(tree, title, max_nodes)
    return ("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"fr\">\n<head>\n"
            "<meta charset=\"utf-8\"/>\n"
            f"<title>{html.escape(_visible(title))}</title>\n<style>{_PAGE_CSS}{_CSS}</style>\n</head>\n"
            f"<body>\n<div class=\"vaskel-tree\">\n{body}\n</div>\n</body>\n</html>\n")


def _fragment(tree: Any, title: str, max_nodes: int) -> str:
    return f"<div class=\"vaskel-tree\"><style>{_CSS}</style>{_body_of(tree, title, max_nodes)}</div>"


def _body_of(tree: Any, title: str, max_nodes: int) -> str:
    from .spans import Analysis

    if isinstance(tree, Analysis):
        drawing = _html_body(_levels(tree.tree), title, max_nodes, heading=False)
        return (f"<h1>{html.escape(_visible(title))}</h1>\n<div class=\"side\">\n"
                f"<section class=\"text\">{_text_view(tree)}</section>\n"
                f"<section class=\"drawing\"><h2>The tree</h2>\n{drawing}</section>\n</div>")
    return _html_body(_levels(tree), title, max_nodes)


def analysis_html(analysis: Any, title: str = "vaskel analysis", max_nodes: int = _MAX_DRAWN) -> str:
    """The text with its chunks and the tree, as a fragment for a notebook."""
    return _fragment(analysis, title, max_nodes)


# The colour of each level's marks, in turn.
_LEVEL_COLOURS = ["#3b6fb6", "#3f8f4f", "#c2702a", "#8a4fb0", "#b03f5e", "#2f8f8f"]


def _xml_safe(text: str) -> str:
    # Whitespace stays as it is (the text view keeps the line breaks); what
    # XML 1.0 cannot hold is shown as an escape.
    out = []
    for ch in text:
        code = ord(ch)
        if (code < 0x20 and ch not in "\t\n\r") or 0xD800 <= code < 0xE000 or code in (0xFFFE, 0xFFFF) \
                or 0x7F <= code < 0xA0:
            out.append(_visible(ch))
        else:
            out.append(ch)
    return html.escape("".join(out), quote=False)


def _text_view(a: Any) -> str:
    esc = html.escape
    depth = max((c.level for c in a.chunks), default=0)
    opening: dict[int, list[Any]] = {}
    for c in sorted(a.chunks, key=lambda c: (c.start, -c.level)):
        if c.end > c.start:
            opening.setdefault(c.start, []).append(c)
    out: list[str] = []
    stack: list[Any] = []
    text, offsets = a.text, a.offsets
    for i, token in enumerate(a.tokens):
        for c in opening.get(i, []):
            colour = _LEVEL_COLOURS[(c.level - 1) % len(_LEVEL_COLOURS)]
            tip = (f"level {c.level}, chunk {c.index}: {_visible(c.key)} gives {_visible(c.label) or '∅'}; "
                   f"tokens {c.start}-{c.end - 1}, characters {c.char_start}-{c.char_end}"
                   + (f"; spans chunks {c.parts[0]}-{c.parts[-1]} of level {c.level - 1}" if c.parts else ""))
            out.append(f'<mark class="l{min(c.level, 6)}" style="border-color: {colour}; '
                       f'padding: {0.1 + 0.32 * (c.level - 1):.2f}em 0.2em" title="{esc(tip)}">')
            stack.append(c)
        out.append(f'<span class="tok">{_xml_safe(token)}</span>')
        while stack and stack[-1].end == i + 1:
            c = stack.pop()
            colour = _LEVEL_COLOURS[(c.level - 1) % len(_LEVEL_COLOURS)]
            out.append(f'<span class="lab" style="background: {colour}">{esc(_visible(c.label, 20)) or "∅"}'
                       f'</span></mark>')
        end = offsets[i][1]
        following = offsets[i + 1][0] if i + 1 < len(offsets) else len(text)
        out.append(_xml_safe(text[end:following]))
    while stack:  # only for chunks past the tokens, which analyse never gives
        stack.pop()
        out.append("</mark>")
    lines = [f'<p class="meta">{_noun(len(a.tokens), "token")}, {_noun(len(a.chunks), "chunk")}. '
             "Each level's chunks are framed in its colour, the label at their end; hover a chunk for its "
             "key, its tokens and its offsets.</p>"]
    legend = []
    for level in range(1, depth + 1):
        mine = [c for c in a.chunks if c.level == level]
        counts: dict[str, int] = {}
        for c in mine:
            counts[c.label] = counts.get(c.label, 0) + 1
        named = ", ".join(f"{esc(_visible(k, 20)) or '∅'} ×{n}" for k, n in sorted(counts.items()))
        colour = _LEVEL_COLOURS[(level - 1) % len(_LEVEL_COLOURS)]
        legend.append(f'<li><span class="swatch" style="border-color: {colour}"></span>level {level}: '
                      f'{_noun(len(mine), "chunk")} ({named})</li>')
    if not legend:
        lines.append('<p class="note">No match: nothing is marked (the engine ends with the single node '
                     '"0").</p>')
    else:
        lines.append(f'<ul class="legend">{"".join(legend)}</ul>')
    style = f"line-height: {2.0 + 0.7 * max(0, depth - 1):.1f}em"
    lines.append(f'<div class="chunked" style="{style}">{"".join(out)}</div>')
    return "\n".join(lines)


def _html_body(levels: list[list[NodeDict]], title: str, max_nodes: int, heading: bool = True) -> str:
    esc = html.escape
    total = sum(len(level) for level in levels)
    # Cut: every level keeps the same share of the drawing, at least one node.
    keep = [len(level) for level in levels]
    if total > max_nodes:
        per = max(1, max_nodes // max(1, len(levels)))
        spare = max_nodes - sum(min(n, per) for n in keep)
        for lvl, n in enumerate(keep):
            extra = min(max(0, n - per), max(0, spare))
            spare -= extra
            keep[lvl] = min(n, per) + extra
    drawn = sum(keep)

    svg = _svg_rows(levels, keep, title)
    if svg is None:
        svg = _svg_columns(levels, keep, title)
        how = ("Each box is a node with its index; levels go from left (level 0, the tokens) to right, and "
               "lines go to its children in the level before. ")
    else:
        how = "Each box is a node with its index; lines go to its children in the level below. "

    counts = ", ".join(f"level {lvl}: {len(level)}" for lvl, level in enumerate(levels))
    out = [f"<h1>{esc(_visible(title))}</h1>"] if heading else []
    out += [f"<p class=\"meta\">{_noun(len(levels), 'level')}, {_noun(total, 'node')} ({esc(counts)}). "
           + how + "∅ marks an empty text; hover a box for its full text.</p>"]
    if len(levels) > 1:
        out.append("<p class=\"meta\">A node made by the engine from a match records one child: the node of "
                   "the level below at its own index (the engine does not record which nodes formed the "
                   "window).</p>")
    if drawn < total:
        out.append(f"<p class=\"note\">This tree has {total} nodes: only {drawn} are drawn "
                   f"(the first ones of each level).</p>")
    out.append(f"<div class=\"frame\">{svg}</div>")
    return "\n".join(out)


def _box_widths(levels: list[list[NodeDict]], keep: list[int]) -> list[list[float]]:
    return [[max(3, len(_visible(n["data"], 24)) + 0) * _CHAR_W + 34 for n in level[:k]]
            for level, k in zip(levels, keep)]



def _node_box(node: NodeDict, j: int, kind: str, x: float, y: float, w: float) -> str:
    """One node of the drawing: its box, index and text, with the whole node as a tooltip."""
    esc = html.escape
    label = _visible(node["data"], 24)
    tip = (f"level {node['level']}, index {node['index']}: {_visible(node['data'])}"
           + (f"; children {node['children']}" if node["children"] else ""))
    return (f'<g class="node {kind}"><title>{esc(tip)}</title>'
            f'<rect x="{x:.1f}" y="{y:.1f}" width="{w:.1f}" height="{_BOX_H}" rx="5"/>'
            f'<text class="idx" x="{x + 4:.1f}" y="{y + 11:.1f}">{j}</text>'
            f'<text x="{x + 22:.1f}" y="{y + 18:.1f}">{esc(label) if label else "∅"}</text></g>')

def _links(parts: list[str], levels: list[list[NodeDict]], keep: list[int], lvl: int, children: list[int],
           start: tuple[float, float], stub: tuple[float, float],
           end_of: Callable[[int], tuple[float, float]]) -> None:
    """Draws the links of one node of level `lvl`, from `start`: to each child
    that is drawn, at end_of(child); for a child that does not exist, a short
    line marked bad, to `stub`. A child that exists but is cut from the
    drawing gets no line."""
    x1, y1 = start
    for child in children:
        if lvl > 0 and 0 <= child < keep[lvl - 1]:
            x2, y2 = end_of(child)
            parts.append(f'<line class="link" x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" '
                         f'y2="{y2:.1f}"/>')
        elif lvl == 0 or child >= len(levels[lvl - 1]):
            x2, y2 = stub
            parts.append(f'<line class="link bad" x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" '
                         f'y2="{y2:.1f}"><title>child {child}: no such node</title></line>')


def _svg_rows(levels: list[list[NodeDict]], keep: list[int], title: str) -> str | None:
    """The levels as rows, the leaves at the bottom; None when that drawing
    would be wider than a page (``_PAGE_W``)."""
    esc = html.escape
    # Positions: the leaves side by side; a node above sits over its first
    # child when that place is free, else right after its left neighbour.
    width_of = _box_widths(levels, keep)
    xs: list[list[float]] = []
    for lvl, k in enumerate(keep):
        row: list[float] = []
        right = float(_LEFT)
        for j in range(k):
            w = width_of[lvl][j]
            want = right
            children = levels[lvl][j]["children"]
            if lvl > 0 and children and 0 <= children[0] < keep[lvl - 1]:
                child = children[0]
                want = max(right, xs[lvl - 1][child] + width_of[lvl - 1][child] / 2 - w / 2)
            row.append(want)
            right = want + w + _GAP
        xs.append(row)
    width = max([_LEFT + 200.0] + [xs[lvl][k - 1] + width_of[lvl][k - 1] + 20 for lvl, k in enumerate(keep) if k])
    if width > _PAGE_W:
        return None
    height = _ROW_H * max(1, len(levels)) + 10

    def y_of(lvl: int) -> float:
        return 10 + (len(levels) - 1 - lvl) * _ROW_H

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width:.0f}" height="{height:.0f}" '
             f'viewBox="0 0 {width:.0f} {height:.0f}" role="img" aria-label="{esc(_visible(title))}">']
    for lvl in range(len(levels)):  # links under the boxes
        for j in range(keep[lvl]):
            node = levels[lvl][j]
            x1 = xs[lvl][j] + width_of[lvl][j] / 2
            y1 = y_of(lvl) + _BOX_H
            _links(parts, levels, keep, lvl, node["children"], (x1, y1), (x1, y1 + 18),
                   lambda child: (xs[lvl - 1][child] + width_of[lvl - 1][child] / 2, y_of(lvl - 1)))
    for lvl in range(len(levels)):
        y = y_of(lvl)
        parts.append(f'<text class="lvl" x="8" y="{y + 17:.1f}">level {lvl}</text>')
        kind = "leaf" if lvl == 0 else "top" if lvl == len(levels) - 1 else "inner"
        for j in range(keep[lvl]):
            node = levels[lvl][j]
            x, w = xs[lvl][j], width_of[lvl][j]
            parts.append(_node_box(node, j, kind, x, y, w))
        if keep[lvl] < len(levels[lvl]):
            x = xs[lvl][keep[lvl] - 1] + width_of[lvl][keep[lvl] - 1] + 12 if keep[lvl] else _LEFT
            parts.append(f'<text class="lvl" x="{x:.1f}" y="{y + 17:.1f}">… '
                         f'{len(levels[lvl]) - keep[lvl]} more</text>')
    parts.append("</svg>")
    return "".join(parts)


def _svg_columns(levels: list[list[NodeDict]], keep: list[int], title: str) -> str:
    """The levels as columns, level 0 on the left, each level's nodes top to
    bottom: as wide as the number of levels, however long the text."""
    esc = html.escape
    width_of = _box_widths(levels, keep)
    col_w = [max(row, default=60.0) for row in width_of]
    xs: list[float] = []
    left = float(_GAP)
    for w in col_w:
        xs.append(left)
        left += w + _COL_GAP
    step = _BOX_H + 6
    top = 24.0  # room for the level names
    ys: list[list[float]] = []
    for lvl, k in enumerate(keep):
        col: list[float] = []
        below = top
        for j in range(k):
            want = below
            children = levels[lvl][j]["children"]
            if lvl > 0 and children and 0 <= children[0] < keep[lvl - 1]:
                want = max(below, ys[lvl - 1][children[0]])
            col.append(want)
            below = want + step
        ys.append(col)
    width = left - _COL_GAP + _GAP
    height = max([top + step] + [col[-1] + step + 24 for col in ys if col]) + 4
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width:.0f}" height="{height:.0f}" '
             f'viewBox="0 0 {width:.0f} {height:.0f}" role="img" aria-label="{esc(_visible(title))}">']
    for lvl in range(len(levels)):  # links under the boxes
        for j in range(keep[lvl]):
            x1 = xs[lvl]
            y1 = ys[lvl][j] + _BOX_H / 2
            _links(parts, levels, keep, lvl, levels[lvl][j]["children"], (x1, y1), (x1 - 18, y1),
                   lambda child: (xs[lvl - 1] + width_of[lvl - 1][child], ys[lvl - 1][child] + _BOX_H / 2))
    for lvl in range(len(levels)):
        parts.append(f'<text class="lvl" x="{xs[lvl]:.1f}" y="16">level {lvl}</text>')
        kind = "leaf" if lvl == 0 else "top" if lvl == len(levels) - 1 else "inner"
        for j in range(keep[lvl]):
            node = levels[lvl][j]
            x, y, w = xs[lvl], ys[lvl][j], width_of[lvl][j]
            parts.append(_node_box(node, j, kind, x, y, w))
        if keep[lvl] < len(levels[lvl]):
            y = ys[lvl][keep[lvl] - 1] + step + 14 if keep[lvl] else top + 14
            parts.append(f'<text class="lvl" x="{xs[lvl]:.1f}" y="{y:.1f}">… '
                         f'{len(levels[lvl]) - keep[lvl]} more</text>')
    parts.append("</svg>")
    return "".join(parts)


def show(tree: Any, title: str = "vaskel tree", max_nodes: int = _MAX_DRAWN) -> None:
    """Displays the drawing of ``render_html`` in a notebook (IPython/Jupyter)."""
    try:
        from IPython.display import HTML, display
    except ImportError:
        raise RuntimeError("show() needs IPython; render_html() gives the page to write to a file") from None
    display(HTML(_fragment(tree, title, max_nodes)))
