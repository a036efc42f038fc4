#!/usr/bin/env python3
"""The manuals' links hold: every relative link and #anchor in the project's
Markdown pages resolves, and every file of docs/ is reachable from the
index, docs/README.md.

  check_links.py ROOT [--self-test]

THE PAGES are the Markdown files (*.md) under ROOT, except in folders whose
name starts with "." or "build" (build trees, the git directory).

THE LINKS of a page are its inline links and images ([text](target),
![alt](target), with an optional "title"), its reference definitions
([id]: target) and the href and src attributes of inline HTML, outside
fenced code blocks and code spans. A target with a scheme (https:, mailto:)
or starting with "//" is external and not checked. Every other target is a
path relative to the page (or to ROOT when it starts with "/"), with an
optional #anchor:
  * the path must name a file or folder inside ROOT (a link that leaves the
    tree would not hold in the developer's zip, which ships the tree's
    pages alone);
  * an anchor must name a heading of the target page (the page itself when
    the path is empty; a folder's README.md), by GitHub's rule: the
    heading's text as shown (code spans' text, link texts, no markup), in
    lower case, with every character but letters, digits, "_", "-" and
    spaces removed and each space made a "-"; the second heading of the
    same slug gets "-1", the third "-2". An HTML name= or id= also counts.

REACHABLE: following the links between files from docs/README.md, every
file of docs/ (pages and images) is reached; README.md links docs/README.md.

--self-test plants faults in an in-memory copy of the pages (a broken link,
a broken anchor, an unreachable page, an unreachable image, a link leaving
the tree, a missing anchor in the page itself) and fails unless each is
reported, and plants correct links that must pass (a link inside a code
block, the second of two equal headings, an HTML anchor).
"""

import argparse
import os
import posixpath
import re
import sys

INDEX = "docs/README.md"
ENTRANCE = "README.md"
FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
ATX = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
INLINE = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+(?:\"[^\"]*\"|'[^']*'))?\s*\)")
REFDEF = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
HTMLATTR = re.compile(r"""<[A-Za-z][^>]*?\b(?:href|src)\s*=\s*["']([^"']*)["']""")
HTMLANCHOR = re.compile(r"""<[A-Za-z][^>]*?\b(?:name|id)\s*=\s*["']([^"']*)["']""")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


class Tree:
    """The pages' texts (with planted changes) over the files under root."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.pages, self.files = {}, set()
        for top, dirs, names in os.walk(self.root):
            dirs[:] = sorted(d for d in dirs if not d.startswith((".", "build")))
            rel = os.path.relpath(top, self.root).replace(os.sep, "/")
            rel = "" if rel == "." else rel
            for n in names:
                path = posixpath.join(rel, n)
                self.files.add(path)
                if n.endswith(".md"):
                    with open(os.path.join(top, n), encoding="utf-8") as f:
                        self.pages[path] = f.read()

    def copy(self):
        other = Tree.__new__(Tree)
        other.root, other.pages, other.files = self.root, dict(self.pages), set(self.files)
        return other

    def put(self, path, text):
        self.pages[path] = text
        self.files.add(path)

    def is_file(self, path):
        return path in self.files

    def is_dir(self, path):
        return path == "" or any(f.startswith(path + "/") for f in self.files)


def prose_lines(text):
    """(line number, line) of each line outside fenced code blocks."""
    fence = None
    for number, line in enumerate(text.split("\n"), 1):
        m = FENCE.match(line)
        if fence:
            if m and m.group(1)[0] == fence[0] and len(m.group(1)) >= len(fence) \
                    and not line.strip()[len(m.group(1)):].strip():
                fence = None
            continue
        if m:
            fence = m.group(1)
            continue
        yield number, line


def without_code_spans(text):
    """The text with each code span blanked (a span may wrap, not cross a
    blank line); line breaks are kept."""
    return re.sub(r"(`+)(?:(?!\1)[^\n]|\n(?![ \t]*\n))+?\1",
                  lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def shown_text(heading):
    """A heading's text as GitHub shows it: code spans' text, link texts."""
    text = re.sub(r"(`+)((?:(?!\1).)+?)\1", lambda m: m.group(2).strip(), heading)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    return re.sub(r"<[^>]+>", "", text)


def slug(heading):
    text = shown_text(heading).strip().lower()
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def anchors(text):
    """Every anchor a page offers: its headings' slugs and its HTML names."""
    found, counts, previous = set(), {}, None
    for _, line in prose_lines(text):
        heading = None
        m = ATX.match(line)
        if m:
            heading = m.group(2) or ""
        elif previous and SETEXT.match(line) and not previous.lstrip().startswith(("|", ">", "-", "*")):
            heading = previous
        if heading is not None:
            base = slug(heading)
            n = counts.get(base, 0)
            counts[base] = n + 1
            found.add(base if n == 0 else "%s-%d" % (base, n))
        found.update(HTMLANCHOR.findall(line))
        previous = line if line.strip() and not m else None
    return found


def links(text):
    """(line number, target) of every link of a page; a link's text may wrap."""
    kept = dict(prose_lines(text))
    lines = text.split("\n")
    bare = without_code_spans("\n".join(kept.get(n, "") for n in range(1, len(lines) + 1)))
    found = []
    for pattern in (INLINE, HTMLATTR):
        for m in pattern.finditer(bare):
            found.append((bare.count("\n", 0, m.start()) + 1, m.group(1)))
    for number, line in enumerate(bare.split("\n"), 1):
        m = REFDEF.match(line)
        if m:
            found.append((number, m.group(1)))
    return sorted(found)


def resolve(page, target):
    """(path inside the tree or None when it leaves it, anchor) of a link."""
    path, _, anchor = target.partition("#")
    if not path:
        return page, anchor
    base = "" if path.startswith("/") else posixpath.dirname(page)
    joined = posixpath.normpath(posixpath.join(base, path.lstrip("/")))
    if joined == ".":
        joined = ""
    if joined == ".." or joined.startswith("../"):
        return None, anchor
    return joined, anchor


def check(tree):
    errors, edges = [], {}
    for page in sorted(tree.pages):
        edges[page] = set()
        for number, target in links(tree.pages[page]):
            if not target or SCHEME.match(target) or target.startswith("//"):
                continue
            where = "%s:%d" % (page, number)
            path, anchor = resolve(page, target)
            if path is None:
                errors.append("%s: link %r leaves the tree" % (where, target))
                continue
            if not tree.is_file(path) and not tree.is_dir(path):
                errors.append("%s: link %r: no file %s" % (where, target, path))
                continue
            edges[page].add(path)
            if anchor:
                shown = path if tree.is_file(path) else posixpath.join(path, "README.md")
                if shown not in tree.pages:
                    errors.append("%s: link %r: an anchor into %s, which is no Markdown page" %
                                  (where, target, shown))
                elif anchor not in anchors(tree.pages[shown]):
                    errors.append("%s: link %r: %s has no heading #%s" % (where, target, shown, anchor))
    if INDEX not in tree.pages:
        errors.append("%s is missing: the manuals have no index" % INDEX)
        return errors
    if INDEX not in edges.get(ENTRANCE, ()):
        errors.append("%s does not link %s" % (ENTRANCE, INDEX))
    reached, todo = {INDEX}, [INDEX]
    while todo:
        for path in edges.get(todo.pop(), ()):
            if path not in reached:
                reached.add(path)
                todo.append(path)
    for path in sorted(tree.files):
        if path.startswith("docs/") and path not in reached:
            errors.append("%s is not reachable from %s" % (path, INDEX))
    return errors


def self_test(tree):
    def append(path, text):
        return lambda t: t.put(path, t.pages[path] + text)

    planted = [
        # (what, change, a text every report must hold, or None: nothing reported)
        ("a link to a page that does not exist",
         append(ENTRANCE, "\nSee [the lost page](docs/no-such-page.md).\n"), "no file docs/no-such-page.md"),
        ("an anchor that names no heading",
         append(ENTRANCE, "\nSee [nothing](docs/README.md#no-such-heading).\n"), "has no heading #no-such-heading"),
        ("an anchor into the page itself that names no heading",
         append(INDEX, "\nSee [below](#nowhere-below).\n"), "has no heading #nowhere-below"),
        ("a page of docs/ that nothing links",
         lambda t: t.put("docs/orphan.md", "# Orphan\n\nNobody links here.\n"),
         "docs/orphan.md is not reachable"),
        ("an image of docs/ that nothing links",
         lambda t: t.files.add("docs/orphan.png"), "docs/orphan.png is not reachable"),
        ("a link that leaves the tree",
         append(INDEX, "\nSee [outside](../../outside.md).\n"), "leaves the tree"),
        ("a broken reference definition",
         append(INDEX, "\n[gone]: missing-file.md\n"), "no file docs/missing-file.md"),
        ("the index no longer linked from the entrance",
         lambda t: t.put(ENTRANCE, re.sub(r"\]\(docs/README\.md(#[^)]*)?\)", "](docs/)",
                                          t.pages[ENTRANCE])), "does not link docs/README.md"),
        ("a broken link inside a code block is no link",
         append(INDEX, "\n```\n[not a link](no-such-page.md)\n```\n"), None),
        ("a broken link whose text wraps",
         append(INDEX, "\nSee [the lost\npage](no-such-page.md).\n"), "no file docs/no-such-page.md"),
        ("a broken link inside a code span is no link",
         append(INDEX, "\nThe form `[text](no-such-page.md)` is a link.\n"), None),
        ("the second of two equal headings takes -1",
         append(INDEX, "\n## Twice\n\n## Twice\n\nSee [the second](#twice-1).\n"), None),
        ("a heading with code, a link and punctuation",
         append(INDEX, "\n## The `UIGetText` block, [freed](README.md)? Yes: 100%!\n\n"
                       "See [it](#the-uigettext-block-freed-yes-100).\n"), None),
        ("an HTML anchor",
         append(INDEX, '\n<a name="planted-anchor"></a>\n\nSee [it](#planted-anchor).\n'), None),
    ]
    caught = 0
    for what, change, want in planted:
        copy = tree.copy()
        change(copy)
        errors = check(copy)
        if want is None:
            ok = not errors
        else:
            ok = any(want in e for e in errors)
        caught += ok
        print("%s: %s%s" % ("ok" if ok else "MISSED", what,
                            "" if ok else " (%s)" % ("; ".join(errors) or "nothing reported")))
    print("self-test: %d of %d rows as expected" % (caught, len(planted)))
    return 0 if caught == len(planted) else 1


def main(argv):
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args(argv)
    tree = Tree(args.root)
    if check(tree) and args.self_test:
        print("self-test: the tree's own pages do not pass; run without --self-test")
        return 1
    if args.self_test:
        return self_test(tree)
    errors = check(tree)
    for e in errors:
        print(e)
    print("links: %s" % ("%d problems" % len(errors) if errors else
                         "%d pages, every link holds and every file of docs/ is reachable" %
                         len(tree.pages)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
