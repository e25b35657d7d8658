"""See a tree: as plain data, as a text diagram, as an HTML page.

Each read of ``tree.data`` copies the whole tree (every level, every node), so
the helpers here read it once and work on that copy.
"""

from __future__ import annotations

import html
import unicodedata
from typing import Any, TypedDict

__all__ = ["to_dict", "render_text", "render_html", "show"]


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


def render_html(tree: Any, title: str = "vaskel tree", max_nodes: int = _MAX_DRAWN) -> str:
    """One self-contained HTML page (inline SVG and CSS, nothing fetched) that
    draws the levels, the nodes and the links to their children.

    The top level is drawn at the top, the leaves at the bottom. A tree of
    more than ``max_nodes`` nodes is drawn cut, with a note saying what was
    left out. The page is also well-formed XML. Accepts a ``Tree`` or the
    result of ``to_dict``.
    """
    body = _html_body(_levels(tree), title, max_nodes)
    return ("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"fr\">\n<head>\n"
            "<meta charset=\"utf-8\"/>\n"
            f"<title>{html.escape(_visible(title))}</title>\n<style>{_PAGE_CSS}{_CSS}</style>\n</head>\n"
            f"<body>\n<div class=\"vaskel-tree\">\n{body}\n</div>\n</body>\n</html>\n")


def _fragment(tree: Any, title: str, max_nodes: int) -> str:
    return f"<div class=\"vaskel-tree\"><style>{_CSS}</style>{_html_body(_levels(tree), title, max_nodes)}</div>"


def _html_body(levels: list[list[NodeDict]], title: str, max_nodes: int) -> str:
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

    # Positions: the leaves side by side; a node above sits over its first
    # child when that place is free, else right after its left neighbour.
    width_of = [[max(3, len(_visible(n["data"], 24)) + 0) * _CHAR_W + 34 for n in level[:k]]
                for level, k in zip(levels, keep)]
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
            for child in node["children"]:
                if lvl > 0 and 0 <= child < keep[lvl - 1]:
                    x2 = xs[lvl - 1][child] + width_of[lvl - 1][child] / 2
                    parts.append(f'<line class="link" x1="{x1:.1f}" y1="{y1:.1f}" x2="{x2:.1f}" '
                                 f'y2="{y_of(lvl - 1):.1f}"/>')
                elif lvl == 0 or child >= len(levels[lvl - 1]):
                    parts.append(f'<line class="link bad" x1="{x1:.1f}" y1="{y1:.1f}" x2="{x1:.1f}" '
                                 f'y2="{y1 + 18:.1f}"><title>child {child}: no such node</title></line>')
    for lvl in range(len(levels)):
        y = y_of(lvl)
        parts.append(f'<text class="lvl" x="8" y="{y + 17:.1f}">level {lvl}</text>')
        kind = "leaf" if lvl == 0 else "top" if lvl == len(levels) - 1 else "inner"
        for j in range(keep[lvl]):
            node = levels[lvl][j]
            x, w = xs[lvl][j], width_of[lvl][j]
            label = _visible(node["data"], 24)
            tip = (f"level {node['level']}, index {node['index']}: {_visible(node['data'])}"
                   + (f"; children {node['children']}" if node["children"] else ""))
            parts.append(f'<g class="node {kind}"><title>{esc(tip)}</title>'
                         f'<rect x="{x:.1f}" y="{y:.1f}" width="{w:.1f}" height="{_BOX_H}" rx="5"/>'
                         f'<text class="idx" x="{x + 4:.1f}" y="{y + 11:.1f}">{j}</text>'
                         f'<text x="{x + 22:.1f}" y="{y + 18:.1f}">{esc(label) if label else "∅"}</text></g>')
        if keep[lvl] < len(levels[lvl]):
            x = xs[lvl][keep[lvl] - 1] + width_of[lvl][keep[lvl] - 1] + 12 if keep[lvl] else _LEFT
            parts.append(f'<text class="lvl" x="{x:.1f}" y="{y + 17:.1f}">… '
                         f'{len(levels[lvl]) - keep[lvl]} more</text>')
    parts.append("</svg>")

    counts = ", ".join(f"level {lvl}: {len(level)}" for lvl, level in enumerate(levels))
    out = [f"<h1>{esc(_visible(title))}</h1>",
           f"<p class=\"meta\">{_noun(len(levels), 'level')}, {_noun(total, 'node')} ({esc(counts)}). "
           "Each box is a node with its index; lines go to its children in the level below. "
           "∅ marks an empty text; hover a box for its full text.</p>"]
    if len(levels) > 1:
        out.append("<p class=\"meta\">A node made by the engine from a match records one child: the node of "
                   "the level below at its own index (the engine does not record which nodes formed the "
                   "window).</p>")
    if drawn < total:
        out.append(f"<p class=\"note\">This tree has {total} nodes: only {drawn} are drawn "
                   f"(the first ones of each level).</p>")
    out.append(f"<div class=\"frame\">{''.join(parts)}</div>")
    return "\n".join(out)


def show(tree: Any, title: str = "vaskel tree", max_nodes: int = _MAX_DRAWN) -> None:
    """Displays the drawing of ``render_html`` in a notebook (IPython/Jupyter)."""
    try:
        from IPython.display import HTML, display
    except ImportError:
        raise RuntimeError("show() needs IPython; render_html() gives the page to write to a file") from None
    display(HTML(_fragment(tree, title, max_nodes)))
