#!/usr/bin/env python3
"""Every message the kit and the samples can show has a row in the messages
table (docs/messages.md), and INSTALL.txt mentions every row.

  check_messages.py --table docs/messages.md --install examples/INSTALL.txt
                    SOURCE... [--self-test]

THE MESSAGES. In each SOURCE (the kit's parambridge.mqh and the sample
programs), every call of Print, Alert, Comment, PrintFormat or MessageBox is
one message (comments are ignored; both #ifdef branches are read). Its text
is the call's arguments (for PrintFormat and MessageBox: the first only),
read as a sum of parts separated by top-level commas and '+':
  * a string literal is text (escapes decoded; "\\n" ends a fragment);
  * StringFormat(...) is its format string;
  * a lone variable is the text assigned to it last before the call
    (`line = ...;`, or its declaration) in the same file;
  * anything else (a variable, a call, a parenthesised expression) is a
    variable part, as is every %-directive inside a format string.
The literal text between variable parts forms the message's fragments
(whitespace collapsed, trimmed). A call whose only argument is "" (Comment("")
clears the chart) is no message; any other message without literal text
fails.

THE RULE. A message has a row when some row of the table holds, in its first
column (backticks dropped, whitespace collapsed), every fragment of the
message cut to its first 40 characters, in the message's order. So the table
writes a message with "..." for its variable parts, and may cut a long
fragment after its first 40 characters; one row may hold several messages
(the MQL4 and the MQL5 wording, a Print and its Alert).

THE TABLE is the first Markdown table after the heading "Messages in the
Experts log" (of any level) in the page given by --table. Each row's message
is the first `code span` of its first column; its INSTALL KEY is the first 40
characters of the longest piece of that span between "..." marks, and
INSTALL.txt must contain it (whitespace collapsed).

--self-test plants faults in copies of the files (a new Print in the kit, a
new Comment through a variable in a sample, a row's message dropped from
INSTALL.txt, a message made only of variables) and fails unless each is
reported.
"""

import argparse
import os
import re
import sys

KEY = 40
CALLS = {"Print": "all", "Alert": "all", "Comment": "all", "PrintFormat": "first",
         "MessageBox": "first"}
HEADING = re.compile(r"^#{1,6}[ \t]+Messages in the Experts log[ \t]*#*[ \t]*$", re.M)
DIRECTIVE = re.compile(r"%[-+ 0#]*(\d+|\*)?(\.(\d+|\*))?[a-zA-Z]")
VARIABLE = object()  # a variable part of a message


def collapse(text):
    return " ".join(text.split())


def strip_comments(text):
    """The source with // and /* */ comments blanked, string literals kept."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i)
            i = n if j < 0 else j + 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def string_end(text, i):
    """Index of the '"' that closes the string literal opening at text[i]."""
    i += 1
    while text[i] != '"':
        i += 2 if text[i] == "\\" else 1
    return i


def outside_strings(text, i=0):
    """(index, character, bracket depth after it) of each character from
    text[i] on that is not inside a string literal."""
    depth = 0
    while i < len(text):
        c = text[i]
        if c == '"':
            i = string_end(text, i)
        else:
            depth += (c in "([") - (c in ")]")
            yield i, c, depth
        i += 1


def closing(text, i):
    """Index of the ')' that closes the '(' at text[i]."""
    for j, c, depth in outside_strings(text, i):
        if depth == 0 and c in ")]":
            return j
    raise ValueError("unbalanced parentheses")


def split_top(expr, seps):
    """Splits at top-level separators outside strings and brackets."""
    parts, start = [], 0
    for i, c, depth in outside_strings(expr):
        if depth == 0 and c in seps:
            parts.append(expr[start:i])
            start = i + 1
    parts.append(expr[start:])
    return [p.strip() for p in parts]


def decode(literal):
    """The text of one string literal, with '\\n' as a variable part."""
    body, out, i = literal[1:-1], [], 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            e = body[i + 1]
            out.append(VARIABLE if e == "n" else {"t": " "}.get(e, e))
            i += 2
        else:
            out.append(body[i])
            i += 1
    return out


def parts_of(expr, source, at, fmt=False, depth=0):
    """The message's parts (characters and VARIABLE) for one expression."""
    expr = expr.strip()
    if re.fullmatch(r'"(?:[^"\\]|\\.)*"', expr):
        chars = decode(expr)
        if fmt:
            text = "".join("\0" if c is VARIABLE else c for c in chars)
            text = DIRECTIVE.sub("\0", text.replace("%%", "%"))
            chars = [VARIABLE if c == "\0" else c for c in text]
        return chars
    m = re.match(r"StringFormat\s*\(", expr)
    if m and closing(expr, m.end() - 1) == len(expr) - 1:
        return parts_of(split_top(expr[m.end():-1], ",")[0], source, at, True, depth)
    if re.fullmatch(r"[A-Za-z_]\w*", expr) and depth < 3:
        assigned = None
        for a in re.finditer(r"\b%s\s*=(?!=)\s*" % re.escape(expr), source[:at]):
            end = a.end()
            while source[end] != ";":
                end = closing(source, end) + 1 if source[end] in "([" else (
                    source.index('"', end + 1) + 1 if source[end] == '"' else end + 1)
            assigned = source[a.end():end]
        if assigned is not None:
            return message_parts(assigned, source, at, "+", depth + 1)
    if any(s in expr for s in "+,") and split_top(expr, "+") != [expr]:
        return message_parts(expr, source, at, "+", depth)
    return [VARIABLE]


def message_parts(args, source, at, seps, depth=0):
    parts = []
    for piece in split_top(args, seps):
        parts.extend(parts_of(piece, source, at, False, depth))
    return parts


def fragments(parts):
    frags, cur = [], []
    for p in parts + [VARIABLE]:
        if p is VARIABLE:
            text = collapse("".join(cur))
            if text:
                frags.append(text)
            cur = []
        else:
            cur.append(p)
    return frags


def messages(path, text):
    """(where, fragments) for every message call in one source file."""
    source = strip_comments(text)
    found = []
    for m in re.finditer(r"\b(%s)\s*\(" % "|".join(CALLS), source):
        start = m.end() - 1
        args = source[start + 1:closing(source, start)]
        if args.strip() == '""':
            continue  # Comment(""): clears the chart
        if CALLS[m.group(1)] == "first":
            parts = parts_of(split_top(args, ",")[0], source, m.start(), True)
        else:
            parts = message_parts(args, source, m.start(), ",+")
        line = source.count("\n", 0, m.start()) + 1
        found.append(("%s:%d %s" % (os.path.basename(path), line, m.group(1)), fragments(parts)))
    return found


def table_rows(page):
    """The first column of each row of the messages table."""
    heading = HEADING.search(page)
    if not heading:
        raise SystemExit("the messages page has no heading \"Messages in the Experts log\"")
    rows, seen = [], False
    for line in page[heading.end():].splitlines()[1:]:
        if line.startswith("#"):
            break
        if line.startswith("|"):
            seen = True
            cells = re.split(r"(?<!\\)\|", line)[1:-1]
            if cells and not re.fullmatch(r"\s*-+\s*", cells[0]):
                rows.append(cells[0].replace("\\|", "|"))
        elif seen:
            break
    return rows[1:]  # the header row


def install_key(cell):
    m = re.search(r"`([^`]+)`", cell)
    if not m:
        return None
    pieces = [collapse(p) for p in m.group(1).split("...")]
    return max(pieces, key=len)[:KEY]


def has_row(frags, rows):
    for row in rows:
        at = 0
        for f in frags:
            at = row.find(f[:KEY], at)
            if at < 0:
                break
            at += len(f[:KEY])
        else:
            return True
    return False


def check(page, install, sources):
    errors = []
    rows = [collapse(r.replace("`", "")) for r in table_rows(page)]
    for path, text in sources:
        for where, frags in messages(path, text):
            if not frags:
                errors.append("%s: a message with no literal text: give it one, and a row" % where)
                continue
            if not has_row(frags, rows):
                errors.append("%s: no row in the messages table holds %r" %
                              (where, " ... ".join(f[:KEY] for f in frags)))
    flat = collapse(install)
    for cell in table_rows(page):
        key = install_key(cell)
        if key is None:
            errors.append("the messages table: a row without a `message`: %s" % cell.strip())
        elif key not in flat:
            errors.append("INSTALL.txt does not mention %r" % key)
    return errors


def self_test(args):
    planted = [
        ("a new Print in the kit", 0,
         "bool PbDllsAllowed()\n  {\n",
         "bool PbDllsAllowed()\n  {\n   Print(\"parambridge: a line nobody documented \", 1);\n",
         "a line nobody documented"),
        ("a new Comment through a variable in a sample", 1,
         "void ShowState()\n  {\n",
         "void ShowState()\n  {\n   string why = StringFormat(\"parambridge: %d charts say nothing useful\", 2);\n"
         "   Comment(why);\n",
         "charts say nothing useful"),
        ("a message made only of variables", 1,
         "void ShowState()\n  {\n",
         "void ShowState()\n  {\n   Print(g_failure);\n", "no literal text"),
        ("a row's message dropped from INSTALL.txt", "install",
         "Could not connect to server.", "(gone)", "INSTALL.txt does not mention"),
    ]
    texts = [(p, open(p, encoding="utf-8").read()) for p in args.sources]
    page = open(args.table, encoding="utf-8").read()
    install = open(args.install, encoding="utf-8").read()
    caught = 0
    for what, target, old, new, want in planted:
        srcs, inst = list(texts), install
        if target == "install":
            if old not in inst:
                raise SystemExit("self-test: %r is no longer in INSTALL.txt" % old)
            inst = inst.replace(old, new)
        else:
            path, text = srcs[target]
            if old not in text:
                raise SystemExit("self-test: %r is no longer in %s" % (old, path))
            srcs[target] = (path, text.replace(old, new, 1))
        errors = check(page, inst, srcs)
        if any(want in e for e in errors):
            caught += 1
            print("caught: %s" % what)
        else:
            print("MISSED: %s (%s)" % (what, "; ".join(errors) or "no error"))
    print("self-test: %d of %d planted faults caught" % (caught, len(planted)))
    return 0 if caught == len(planted) else 1


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("--table", required=True, help="the page holding the messages table")
    ap.add_argument("--install", required=True)
    ap.add_argument("--self-test", action="store_true")
    ap.add_argument("--list", action="store_true", help="print every message's key")
    ap.add_argument("sources", nargs="+")
    args = ap.parse_args(argv)
    if args.self_test:
        return self_test(args)
    texts = [(p, open(p, encoding="utf-8").read()) for p in args.sources]
    if args.list:
        for path, text in texts:
            for where, frags in messages(path, text):
                print(where, "|", " ... ".join(frags))
        return 0
    errors = check(open(args.table, encoding="utf-8").read(),
                   open(args.install, encoding="utf-8").read(), texts)
    for e in errors:
        print(e)
    print("messages: %s" % ("%d problems" % len(errors) if errors else "every message has its row"))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
