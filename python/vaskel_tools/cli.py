"""The ``vaskel`` command: demo, tokenize, explain, show, run."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Iterator, Sequence
from typing import NoReturn

from .files import InputError, UsageError, load_rules, one_line, read_text

EXIT_FAILED = 1
EXIT_USAGE = 2


def _say(*lines: str) -> None:
    # Flushed at once: vaskel's own lines bypass sys.stdout and must come
    # out after ours.
    for line in lines:
        print(line)
    sys.stdout.flush()


def _sample() -> tuple[str, dict[str, str]]:
    from importlib import resources

    data = resources.files("vaskel_tools") / "data"
    text = (data / "texte.txt").read_text(encoding="utf-8")
    rules = json.loads((data / "regles.json").read_text(encoding="utf-8"))
    return text, rules


def _rules_first(command: str, rules_path: str, text_path: str | None) -> dict[str, str]:
    """The rule base of ``rules_path``; when it is not one but ``text_path``
    is, the error says that the two were given the other way round."""
    try:
        return load_rules(rules_path)
    except InputError as exc:
        if text_path is not None:
            try:
                load_rules(text_path)
            except InputError:
                pass
            else:
                raise InputError(f"{exc}; {text_path} is a rule base: the rule base comes first, "
                                 f"vaskel {command} RULES.json TEXT_FILE") from None
        raise


def cmd_demo(args: argparse.Namespace) -> int:
    import vaskel

    from .explain import explain
    from .render import render_text

    if args.text is None:
        text, rules = _sample()
    else:
        rules = _rules_first("demo", args.rules, args.text)
        text = read_text(args.text)
    tokens = vaskel.tokenize(text)
    _say(f"== {len(tokens)} tokens", " | ".join(tokens), "", "== the rule base explained",
         str(explain(rules)), "", "== engine trace")
    tree = vaskel.engine(tokens, rules)
    _say("", "== the tree", render_text(tree), "", "== XML export (node lines first)")
    xml = tree.to_xml()
    _say(xml)
    return 0


def _inputs(files: Sequence[str]) -> list[tuple[str, str]]:
    if not files:
        data = sys.stdin.buffer.read()
        try:
            return [("<stdin>", data.decode("utf-8-sig"))]
        except UnicodeDecodeError as exc:
            raise InputError(f"<stdin>: not UTF-8 text (byte 0x{data[exc.start]:02x} at offset {exc.start})") \
                from None
    return [(name, read_text(name)) for name in files]


def cmd_tokenize(args: argparse.Namespace) -> int:
    import vaskel

    failed = False
    for name, text in _read_each(args.files):
        if text is None:
            failed = True
            continue
        tokens = vaskel.tokenize(text)
        if args.json:
            sys.stdout.write(json.dumps(tokens, ensure_ascii=False) + "\n")
        else:
            sys.stdout.write("".join(token + "\n" for token in tokens))
    return EXIT_FAILED if failed else 0


def _read_each(files: Sequence[str]) -> Iterator[tuple[str, str | None]]:
    # One file at a time, so that a long list of files is never all in memory.
    if not files:
        yield from _inputs(files)
        return
    for name in files:
        try:
            text: str | None = read_text(name)
        except InputError as exc:
            _error(str(exc))
            text = None
        yield name, text


def cmd_explain(args: argparse.Namespace) -> int:
    import vaskel

    from .explain import explain

    rules = _rules_first("explain", args.rules, args.text)
    tokens = vaskel.tokenize(_inputs([args.text])[0][1]) if args.text else None
    _say(str(explain(rules, tokens)))
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    from .render import render_chunks, render_html, render_text
    from .spans import analyse

    rules = _rules_first("show", args.rules, args.text)
    analysis = analyse(_inputs([args.text])[0][1], rules)
    if args.html:
        from .files import write_whole

        try:
            write_whole(args.html, render_html(analysis, title=os.path.basename(args.text)))
        except OSError as exc:
            raise InputError(f"{args.html}: cannot write: {exc.strerror or exc}") from None
        _say(f"wrote {args.html}")
    else:
        _say(render_text(analysis.tree), "", render_chunks(analysis))
    return 0


class Stopped(KeyboardInterrupt):
    """SIGTERM or SIGHUP, taken like Ctrl-C (exit status 128 + the signal's number)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: object) -> None:
    import signal

    # The cleanup that follows is not cut short by a second signal.
    for other in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(other, signal.SIG_IGN)
    raise Stopped(signum)


def _foreign_entries(out: str, mine: set[str]) -> list[str]:
    try:
        entries = os.listdir(out)
    except OSError:
        return []
    return sorted(e for e in entries if e not in mine and not e.startswith(".vaskel-run-"))


def cmd_run(args: argparse.Namespace) -> int:
    from .corpus import FORMATS, DocResult, check_trace_path, effective_jobs, find_documents, run_corpus

    import signal

    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _stop)
    suffix = FORMATS[args.format].suffix
    if args.dask is not None:
        from .corpus_dask import check_address

        check_address(args.dask)
    lexicon_options = {"--lexicon-format": args.lexicon_format, "--lexicon-label": args.lexicon_label,
                       "--lexicon-tags": args.lexicon_tags, "--lexicon-several": args.lexicon_several,
                       "--lexicon-case-variants": args.lexicon_case_variants or None}
    if args.lexicon is None:
        given = [name for name, value in lexicon_options.items() if value is not None]
        if given:
            raise UsageError(f"{', '.join(given)}: no --lexicon to read")
    rules = load_rules(args.rules)
    if args.lexicon is not None:
        from .lexicon import LexiconError, merge_rules, read_lexicon

        tags = None if args.lexicon_tags is None else load_rules(args.lexicon_tags, "tag map")
        try:
            lexicon = read_lexicon(args.lexicon, args.lexicon_format or "tsv", label=args.lexicon_label or "category",
                                   tag_map=tags, several=args.lexicon_several or "first",
                                   case_variants=args.lexicon_case_variants)
        except OSError as exc:
            raise InputError(f"{args.lexicon}: cannot read the lexicon: {exc.strerror or exc}") from None
        except LexiconError as exc:
            raise InputError(str(exc)) from None  # it names the file
        except ValueError as exc:  # options the format cannot take
            raise UsageError(f"--lexicon options: {exc}") from None
        for line in lexicon.report().splitlines():
            print(f"vaskel: {one_line(line)}", file=sys.stderr)
        rules = merge_rules(rules, lexicon)
    docs, refused = find_documents(args.inputs, suffix)
    for _, message in refused:
        _error(message)
    # A folder with no document is an input error (exit status 1), not a
    # failed document.
    empty_folders = sum(1 for path, _ in refused if os.path.isdir(path))
    refused = [r for r in refused if not os.path.isdir(r[0])]
    if not docs:
        raise InputError("no document to process")
    trace_path = None if args.trace == "none" else (args.trace or os.path.join(args.out, "trace.txt"))
    if trace_path is not None:
        check_trace_path(trace_path, args.rules, docs, args.out, suffix)
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as exc:
        raise InputError(f"{args.out}: cannot create the output folder: {exc.strerror or exc}") from None
    if not os.access(args.out, os.W_OK | os.X_OK):
        raise InputError(f"{args.out}: cannot write in the output folder: Permission denied")
    mine = {doc.name + suffix for doc in docs}
    if trace_path is not None and os.path.dirname(os.path.abspath(trace_path)) == os.path.abspath(args.out):
        mine.add(os.path.basename(trace_path))
    others = _foreign_entries(args.out, mine)
    if others:
        _error(f"{args.out}: already holds {len(others)} file(s) this run does not write, left as they are "
               f"(such as {others[0]})")

    from tqdm import tqdm

    tqdm.monitor_interval = 0  # no monitor thread: worker processes may be forked
    written = 0
    with tqdm(total=len(docs), unit="doc", file=sys.stderr, leave=False, disable=None) as bar:
        def on_result(result: DocResult) -> None:
            nonlocal written
            if result.ok:
                written += 1
            else:
                tqdm.write(f"vaskel: {one_line(result.error)}", file=sys.stderr)
            bar.update(1)

        try:
            summary = run_corpus(rules, docs, args.out, fmt=args.format, trace_path=trace_path,
                                 jobs=args.jobs, dask=args.dask, on_result=on_result,
                                 all_rule_lines=args.all_rule_lines)
        except KeyboardInterrupt as exc:
            bar.close()
            _error(f"interrupted: {written} of {len(docs) + len(refused)} documents written to {args.out}"
                   + (f"; their traces in {trace_path}" if trace_path else ""))
            return 128 + exc.signum if isinstance(exc, Stopped) else 130
        except OSError as exc:
            name = exc.filename or (trace_path or args.out)
            raise InputError(f"{name}: {exc.strerror or exc}") from None
    failed = len(summary.failed) + len(refused)
    rate = summary.tokens / summary.seconds if summary.seconds > 0 else 0.0
    _say(f"vaskel run: {summary.written} of {summary.documents + len(refused)} documents written to "
         f"{args.out} ({args.format}), {failed} failed; {summary.tokens} tokens in {summary.seconds:.2f} s "
         f"({rate:,.0f} tokens/s)" + (f"; trace in {trace_path}" if trace_path else ""))
    if summary.replaced:
        shown = ", ".join(summary.replaced[:3]) + (", ..." if len(summary.replaced) > 3 else "")
        _say(f"vaskel run: {len(summary.replaced)} documents hold characters XML 1.0 cannot carry, "
             f"written as U+FFFD: {shown}")
    return EXIT_FAILED if failed or empty_folders else 0


def cmd_score(args: argparse.Namespace) -> int:
    from .scoring import read_conll, score

    gold_text, predicted_text = read_text(args.gold), read_text(args.predicted)
    try:
        result = score(read_conll(gold_text, args.gold), read_conll(predicted_text, args.predicted))
    except ValueError as exc:
        raise InputError(f"{args.gold} against {args.predicted}: {exc}") from None
    _say(str(result))
    return 0



def _positive(value: str) -> int:
    try:
        number = int(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {value!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return number


def _error(message: str) -> None:
    # One line, whatever a file name or an error text holds.
    sys.stderr.write(f"vaskel: {one_line(message)}\n")
    sys.stderr.flush()


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vaskel")
    except PackageNotFoundError:
        return "unknown (not installed)"


class _Version(argparse.Action):
    # importlib.metadata is slow to import: only --version pays for it.
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        print(_version())
        parser.exit()


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vaskel", description="Rule-based processing of French text with vaskel.")
    parser.add_argument("--version", action=_Version, nargs=0, help="print the version of vaskel and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser, required=True)

    p = sub.add_parser("demo", help="the whole job on the shipped French sample (or your own files)")
    p.add_argument("rules", nargs="?", metavar="RULES.json", help="JSON rule base (default: the sample)")
    p.add_argument("text", nargs="?", metavar="TEXT_FILE", help="UTF-8 text (default: the sample)")
    p.set_defaults(run=cmd_demo)

    p = sub.add_parser("tokenize", help="one token per line (standard input when no file is given)")
    p.add_argument("files", nargs="*", metavar="FILE")
    p.add_argument("--json", action="store_true", help="one JSON list of tokens per input")
    p.set_defaults(run=cmd_tokenize)

    p = sub.add_parser("explain", help="what a rule base can and cannot match; with a text, the passes")
    p.add_argument("rules", metavar="RULES.json")
    p.add_argument("text", nargs="?", metavar="TEXT_FILE")
    p.set_defaults(run=cmd_explain)

    p = sub.add_parser("show", help="the chunks and the tree of a text, as text or as an HTML page")
    p.add_argument("rules", metavar="RULES.json")
    p.add_argument("text", metavar="TEXT_FILE")
    p.add_argument("--html", metavar="OUT.html", help="write a self-contained HTML page")
    p.set_defaults(run=cmd_show)

    p = sub.add_parser("score", help="precision, recall and F1 of IOB tags (CoNLL-style files, last column)")
    p.add_argument("gold", metavar="GOLD")
    p.add_argument("predicted", metavar="PRED")
    p.set_defaults(run=cmd_score)

    from .corpus import DEFAULT_FORMAT, FORMATS

    p = sub.add_parser("run", help="a rule base over text files and folders, in parallel")
    p.add_argument("rules", metavar="RULES.json", help="the rule base, a JSON object of str to str")
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="text files, or folders of *.txt")
    p.add_argument("--out", required=True, metavar="DIR", help="the folder the results are written to")
    p.add_argument("--format", choices=sorted(FORMATS), default=DEFAULT_FORMAT,
                   help=f"json: tokens, offsets, chunks and levels; conll: one token a line with its offsets "
                        f"and an IOB column per level; xml: the tree export (default: {DEFAULT_FORMAT})")
    p.add_argument("--lexicon", metavar="FILE",
                   help="a lexicon read as single-label rules, under RULES.json (whose rules win on a clash)")
    p.add_argument("--lexicon-format", choices=("dela", "lefff", "lexique", "tsv"),
                   help="the format of --lexicon (default: tsv)")
    p.add_argument("--lexicon-label", metavar="FIELD",
                   help="the field of the lexicon that gives the label: category (default) or lemma; "
                        "dela: also codes, full; lefff: also features; lexique: any column")
    p.add_argument("--lexicon-tags", metavar="TAGS.json",
                   help='labels renamed as the lexicon is read, a JSON object such as {"N": "NOM"} '
                        '(a label mapped to "" is left out)')
    p.add_argument("--lexicon-several", choices=("first", "most-frequent", "all"),
                   help="a form with several labels keeps the first (default), the most frequent "
                        "(lexique), or all of them joined with |")
    p.add_argument("--lexicon-case-variants", action="store_true",
                   help="also give a form's capitalised variant its label (a word that starts a sentence)")
    p.add_argument("--all-rule-lines", action="store_true",
                   help="run each document with the whole rule base, so that its trace lists every rule "
                        "(default: only the rules its tokens can use; the tree is the same)")
    p.add_argument("--trace", metavar="FILE|none", help="where the traces go (default: DIR/trace.txt)")
    p.add_argument("--jobs", type=_positive, metavar="N",
                   help="worker processes (default and at most: the number of cores this process may use)")
    p.add_argument("--dask", metavar="ADDRESS", help="run on a Dask cluster ('local' starts one)")
    p.set_defaults(run=cmd_run)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    _open_std_streams()
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "demo" and (args.text is None) != (args.rules is None):
        parser.error("demo: give both a rule base and a text file (vaskel demo RULES.json TEXT_FILE), or neither")
    try:
        code: int = args.run(args)
        sys.stdout.flush()
        return code
    except UsageError as exc:
        _error(str(exc))
        return EXIT_USAGE
    except InputError as exc:
        _error(str(exc))
        return EXIT_FAILED
    except BrokenPipeError:
        # The reader went away (`vaskel tokenize | head`): no traceback.
        _drop_stdout()
        return EXIT_FAILED
    except OSError as exc:
        # Standard output could not be written (a full disk...): one line.
        _drop_stdout()
        _error(f"{exc.filename or 'standard output'}: {exc.strerror or exc}")
        return EXIT_FAILED
    except KeyboardInterrupt as exc:
        _error("interrupted")
        return 128 + exc.signum if isinstance(exc, Stopped) else 130
    except BaseException as exc:
        if "vaskel" in sys.modules and isinstance(exc, _panic_or_none()):
            _drop_stdout()
            _error(f"internal failure: {exc.args[0] if exc.args else ''}")
            return EXIT_FAILED
        raise


def _panic_or_none() -> tuple[type[BaseException], ...]:
    from ._panic import __getattr__ as panic_type

    try:
        return (panic_type("PanicException"),)
    except AttributeError:
        return ()


def _drop_stdout() -> None:
    # What is still buffered for a stdout that failed would fail again when
    # Python flushes it at exit; it goes to /dev/null instead.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def _open_std_streams() -> None:
    # Started with standard input, output or error closed (`2>&-`): the
    # descriptor goes to /dev/null, so that no file this command opens takes
    # its number (vaskel would write its trace or a report there), and the
    # work is done with what would have been printed dropped.
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            try:
                null = os.open(os.devnull, os.O_RDWR)
            except OSError:
                continue
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stdout is None:
        sys.stdout = open(1, "w", encoding="utf-8", errors="backslashreplace", closefd=False)
    if sys.stderr is None:
        sys.stderr = open(2, "w", encoding="utf-8", errors="backslashreplace", closefd=False)
