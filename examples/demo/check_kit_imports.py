#!/usr/bin/env python3
"""Do a kit, the demo host and the DLL agree on every import?

Reads three files and reports every disagreement:

  --mqh    the kit's parambridge.mqh: its #import blocks and its MSG record,
           as --lang's compiler sees them (its #ifdef __MQL5__ branches)
  --table  the rows the demo host's function pointer types are compile-time
           checked against (mql4_imports.h, mql5_imports.h)
  --def    module/parambridge.def: the DLL's export table
  --lang   mql4 (parambridge.dll, i686; the default) or mql5
           (parambridge64.dll, x86-64)

MQL4, i686: for each import it compares the argument bytes an MQL4 caller
pushes (int, uint, bool, float, colour and the like: 4; double, long,
datetime: 8; any array or reference: a 4-byte address) and where the result
comes back (EAX for int-sized types, the x87 register ST(0) for double and
float, nothing for void) with the table, and for the DLL's own exports the
table's convention and size with the .def (a stdcall export's internal
symbol carries @bytes).

MQL5, x86-64: every argument fills one 8-byte slot; it compares what the
callee reads of each (i32: the low half, for int-sized types; i64: all of
it, for long, ulong, datetime; f64: an XMM register, for double; ref: an
address, for any array or reference) and where the result comes back (i32,
i64, f64, void) with the table. x86-64 decorates nothing: the 64-bit DLL
exports the .def's names as they stand.

For both: every export of the .def must be either imported or listed as
not importable, with a reason. Every text argument of the DLL is a uchar
array (a string is UTF-16, the DLL's text is 8-bit) and no result is a
string; no argument is a bool (how MQL4 and MQL5 widen a 1-byte bool into
its slot is not documented: flags are int). The .mqh's struct PbMsg must
have the offsets and size of Windows' MSG for that architecture, laid out
as the language lays out structures (field after field, no padding).

--self-test runs the checker on altered copies of the three files, one
fault each, and fails unless every fault is reported (and the unaltered
files pass).

Exit status 0 when everything agrees, 1 otherwise.
"""
import argparse
import re
import sys

SLOT_BYTES = {
    "bool": 4, "char": 4, "uchar": 4, "short": 4, "ushort": 4, "int": 4, "uint": 4,
    "color": 4, "float": 4, "string": 4,
    "long": 8, "ulong": 8, "datetime": 8, "double": 8,
}
# Where a result of each MQL4 type comes back, as the table names it.
RESULT_KIND = {
    "void": "void", "double": "double", "float": "float",
    "bool": "int", "char": "int", "uchar": "int", "short": "int", "ushort": "int",
    "int": "int", "uint": "int", "color": "int",
    "long": "int64", "ulong": "int64", "datetime": "int64", "string": "string",
}
# What an x86-64 callee reads of an argument or result of each MQL5 type.
KIND64 = {
    "bool": "i32", "char": "i32", "uchar": "i32", "short": "i32", "ushort": "i32",
    "int": "i32", "uint": "i32", "color": "i32",
    "long": "i64", "ulong": "i64", "datetime": "i64",
    "double": "f64", "float": "f32", "void": "void", "string": "string",
}
# Bytes of each type inside a structure.
FIELD_BYTES = {
    "char": 1, "uchar": 1, "bool": 1, "short": 2, "ushort": 2, "int": 4, "uint": 4,
    "color": 4, "float": 4, "long": 8, "ulong": 8, "datetime": 8, "double": 8,
}
IDENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


class Dialect:
    """What differs between the MQL4 kit (i686) and the MQL5 kit (x86-64)."""

    def __init__(self, lang, dll, table, msg_layout):
        self.lang = lang            # "MQL4" or "MQL5"
        self.dll = dll              # the DLL's module name, without ".dll"
        self.table = table          # the table's file name, for messages
        self.msg_layout = msg_layout  # [(MSG member, offset)], then ("size", bytes)

    def args(self, params):
        """What the .mqh's parameters amount to, in the table's terms."""
        if self.lang == "MQL4":
            return sum(4 if by_address else SLOT_BYTES[t] for t, by_address in params)
        return " ".join("ref" if by_address else KIND64[t] for t, by_address in params)

    def result(self, rtype):
        table = RESULT_KIND if self.lang == "MQL4" else KIND64
        return table.get(rtype, "a " + rtype)

    def show_args(self, args):
        if self.lang == "MQL4":
            return "pushes %d bytes" % args
        return "passes (%s)" % args


# Windows' MSG: where hwnd, message, wParam, lParam, time and pt lie, and
# its size, on each architecture.
MSG_I686 = [("hwnd", 0), ("message", 4), ("wParam", 8), ("lParam", 12), ("time", 16),
            ("pt", 20), ("size", 28)]
MSG_X64 = [("hwnd", 0), ("message", 8), ("wParam", 16), ("lParam", 24), ("time", 32),
           ("pt", 36), ("size", 48)]

X87_NOTE = ("; a double or float comes back in the x87 register ST(0), and a caller that does not "
            "take it leaves it on the x87 stack at every call")
XMM_NOTE = ("; a double comes back in XMM0 and an integer in RAX: declared as the other, every "
            "call reads a register that holds no value")
HALF_NOTE = "; an int holds only the low half of a handle or an address"

DIALECTS = {
    "mql4": Dialect("MQL4", "parambridge", "mql4_imports.h", MSG_I686),
    "mql5": Dialect("MQL5", "parambridge64", "mql5_imports.h", MSG_X64),
}


class Fault(Exception):
    pass


def select_branch(text, lang):
    """The kit's text as the compiler of `lang` sees it: the lines of the
    #ifdef __MQL5__ / #ifndef __MQL5__ / #ifdef __MQL4__ / #ifndef __MQL4__
    branches that hold for that language (each .mq4 file is compiled with
    __MQL4__ defined, each .mq5 file with __MQL5__), those directives
    themselves left out. Other conditions (the include guard) are kept as
    they stand and count as true."""
    defined = {"__MQL5__"} if lang == "mql5" else {"__MQL4__"}
    out, stack = [], []  # stack: (ours, taking) per open condition
    for line in text.split("\n"):
        m = re.match(r"\s*#\s*(ifdef|ifndef|else|endif)\b\s*(\w*)", line)
        ours = m and (m.group(1) in ("else", "endif") and stack and stack[-1][0]
                      or m.group(2) in ("__MQL4__", "__MQL5__"))
        taking = all(t for _, t in stack)
        if m and m.group(1) in ("ifdef", "ifndef"):
            if ours:
                holds = (m.group(2) in defined) == (m.group(1) == "ifdef")
                stack.append((True, holds))
                continue
            stack.append((False, True))
        elif m and m.group(1) == "else" and stack:
            if stack[-1][0]:
                stack[-1] = (True, not stack[-1][1])
                continue
        elif m and m.group(1) == "endif" and stack:
            if stack.pop()[0]:
                continue
        if taking:
            out.append(line)
    if stack:
        raise Fault("an #ifdef without its #endif")
    return "\n".join(out)


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def parse_param(param):
    """The type of one parameter declaration, and whether it goes by address."""
    p = param.strip()
    if "=" in p:
        p = p.split("=", 1)[0].strip()  # a default value
    by_address = "&" in p or "[" in p
    words = [w for w in re.split(r"[\s&\[\]]+", p) if w and w != "const"]
    if len(words) < 1:
        raise Fault("cannot read parameter '%s'" % param.strip())
    ptype = words[0]
    if not by_address and ptype not in SLOT_BYTES:
        # A struct or enum passed by value is not something the DLL takes.
        raise Fault("parameter '%s' has a type no DLL argument can have" % param.strip())
    return ptype, by_address


def parse_mqh(text):
    """{(module, name): {"params", "result"}} from every #import block."""
    imports = {}
    module = None
    body = []
    for line in strip_comments(text).splitlines():
        m = re.match(r'\s*#import\s*(?:"([^"]*)")?\s*$', line)
        if m:
            if module is not None:
                parse_block(module, " ".join(body), imports)
            module = m.group(1)
            if module is not None:
                module = module.lower()
                if module.endswith(".dll"):
                    module = module[:-4]
                else:
                    module = None  # an .ex4/.ex5 library: not a DLL
            body = []
            continue
        if module is not None:
            body.append(line)
    if module is not None:
        raise Fault("an #import block for %s.dll is not closed" % module)
    return imports


def parse_block(module, body, imports):
    for decl in body.split(";"):
        decl = decl.strip()
        if not decl:
            continue
        m = re.match(r"^([A-Za-z_][\w\s]*?)\s+([A-Za-z_]\w*)\s*\((.*)\)$", decl, re.S)
        if not m:
            raise Fault("%s.dll: cannot read declaration '%s'" % (module, " ".join(decl.split())))
        result, name, params = m.group(1).split()[-1], m.group(2), m.group(3).strip()
        if (module, name) in imports:
            raise Fault("%s.dll!%s is imported twice" % (module, name))
        types = []
        if params and params != "void":
            types = [parse_param(param) for param in params.split(",")]
        imports[(module, name)] = {"params": types, "result": result}


def parse_struct(text, name):
    """[(field, offset, bytes)] of a structure laid out field after field,
    and its size; None when the text declares no such structure."""
    m = re.search(r"\bstruct\s+%s\b[^{;]*\{(.*?)\}\s*;" % name, strip_comments(text), re.S)
    if not m:
        return None
    fields = []
    offset = 0
    for decl in m.group(1).split(";"):
        words = decl.split()
        if not words:
            continue
        if len(words) != 2 or words[0] not in FIELD_BYTES or not IDENT.match(words[1]):
            raise Fault("struct %s: cannot read field '%s'" % (name, " ".join(words)))
        fields.append((words[1], offset, FIELD_BYTES[words[0]]))
        offset += FIELD_BYTES[words[0]]
    return fields, offset


def parse_table(text, d):
    """The table's import rows and its not-importable rows."""
    rows = {}
    if d.lang == "MQL4":
        pattern = r"^\s*X\((\w+),\s*(\w+),\s*(cdecl|stdcall),\s*(\d+),\s*(int|double|void)\)"
    else:
        pattern = r'^\s*X\((\w+),\s*(\w+),\s*"([a-z0-9 ]*)",\s*(i32|i64|f64|void)\)'
    for m in re.finditer(pattern, text, re.M):
        key = (m.group(1), m.group(2))
        if key in rows:
            raise Fault("%s lists %s.dll!%s twice" % ((d.table,) + key))
        if d.lang == "MQL4":
            rows[key] = {"conv": m.group(3), "args": int(m.group(4)), "result": m.group(5)}
        else:
            rows[key] = {"conv": None, "args": " ".join(m.group(3).split()),
                         "result": m.group(4)}
    not_importable = {}
    if d.lang == "MQL4":
        for m in re.finditer(r'Y\("([^"]+)",\s*(\w+),\s*(cdecl|stdcall),\s*(-?\d+),[\s\\]*"([^"]*)"',
                             text):
            not_importable[m.group(1)] = {"conv": m.group(3), "bytes": int(m.group(4)),
                                          "reason": m.group(5)}
    else:
        for m in re.finditer(r'Y\("([^"]+)",\s*(\w+),[\s\\]*"([^"]*)"', text):
            not_importable[m.group(1)] = {"conv": None, "bytes": -1, "reason": m.group(3)}
    if not rows:
        raise Fault("%s holds no X(...) rows" % d.table)
    return rows, not_importable


def parse_def(text):
    """{exported name: internal symbol} from the EXPORTS section."""
    exports = {}
    in_exports = False
    for line in text.splitlines():
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
            continue
        if re.match(r"^(LIBRARY|NAME|DESCRIPTION|HEAPSIZE|STACKSIZE|SECTIONS|VERSION)\b", line):
            in_exports = False
            continue
        if in_exports:
            m = re.match(r"^(\S+)(?:\s*=\s*(\S+))?", line)
            exports[m.group(1)] = m.group(2) or m.group(1)
    return exports


def def_size(symbol):
    """The argument bytes a decorated stdcall symbol names, or None."""
    m = re.search(r"@(\d+)$", symbol)
    return int(m.group(1)) if m else None


def check(mqh_text, table_text, def_text, d=DIALECTS["mql4"]):
    """The list of disagreements (empty when all agree)."""
    errors = []
    try:
        mqh_text = select_branch(mqh_text, d.lang.lower())
        imports = parse_mqh(mqh_text)
        rows, not_importable = parse_table(table_text, d)
        exports = parse_def(def_text)
        msg = parse_struct(mqh_text, "PbMsg")
    except Fault as e:
        return [str(e)]

    dll = d.dll
    for key, imp in sorted(imports.items()):
        row = rows.get(key)
        if row is None:
            errors.append("%s.dll!%s is imported by the .mqh but has no row in %s"
                          % (key + (d.table,)))
        else:
            args = d.args(imp["params"])
            if row["args"] != args:
                errors.append("%s.dll!%s: the .mqh %s, %s says %s"
                              % (key[0], key[1], d.show_args(args), d.table,
                                 d.show_args(row["args"]).split(" ", 1)[1]))
            kind = d.result(imp["result"])
            if kind != row["result"]:
                errors.append("%s.dll!%s: the .mqh declares the result %s (%s), %s says %s%s"
                              % (key[0], key[1], imp["result"], kind, d.table, row["result"],
                                 result_note(d, kind, row["result"])))
        if key[0] == dll:
            errors.extend(check_text_and_flags(d, key[1], imp))
    for key in sorted(set(rows) - set(imports)):
        errors.append("%s.dll!%s has a row in %s but the .mqh does not import it"
                      % (key + (d.table,)))

    for (module, name), row in sorted(rows.items()):
        if module != dll:
            continue
        if name not in exports:
            errors.append("%s.dll!%s is not in parambridge.def's export table" % (dll, name))
            continue
        if d.lang == "MQL4":
            errors.extend(compare_with_def(name, exports[name], row["conv"], row["args"]))

    imported = {name for module, name in rows if module == dll}
    for name, symbol in sorted(exports.items()):
        if name in imported:
            continue
        entry = not_importable.get(name)
        if entry is None:
            errors.append("parambridge.def exports %s, which the .mqh neither imports nor "
                          "lists as not importable (%s)" % (name, d.table))
            continue
        if not entry["reason"].strip():
            errors.append("%s is listed as not importable without a reason" % name)
        if entry["bytes"] >= 0:
            errors.extend(compare_with_def(name, symbol, entry["conv"], entry["bytes"]))
    for name in sorted(set(not_importable) - set(exports)):
        errors.append("%s lists %s as not importable, but parambridge.def does "
                      "not export it" % (d.table, name))
    for name in sorted(set(not_importable) & imported):
        errors.append("%s is both imported and listed as not importable" % name)
    for module, name in imports:
        if module == dll and not IDENT.match(name):
            errors.append("%s is not an %s identifier" % (name, d.lang))
    for module, _ in sorted(imports):
        if module.startswith("parambridge") and module != dll:
            errors.append("the .mqh imports %s.dll; the %s kit's DLL is %s.dll"
                          % (module, d.lang, dll))
            break
    errors.extend(check_msg(d, msg))
    return errors


def result_note(d, kind, expected):
    pair = {kind, expected}
    if d.lang == "MQL4":
        return X87_NOTE if {"double", "float"} & pair else ""
    if {"f64", "f32"} & pair:
        return XMM_NOTE
    return HALF_NOTE if pair == {"i32", "i64"} else ""


def check_msg(d, msg):
    """Faults in the .mqh's struct PbMsg against Windows' MSG."""
    if msg is None:
        return ["the .mqh declares no struct PbMsg (the MSG record PeekMessageA fills)"]
    fields, size = msg
    where = {name: (offset, nbytes) for name, offset, nbytes in fields}
    at = dict(d.msg_layout)
    pointer = at["message"]  # message follows a pointer-sized hwnd
    want = {"hwnd": (0, pointer), "message": (at["message"], 4),
            "wParam": (at["wParam"], pointer), "lParam": (at["lParam"], pointer),
            "time": (at["time"], 4), "ptX": (at["pt"], 4), "ptY": (at["pt"] + 4, 4)}
    errors = []
    for name, (offset, nbytes) in sorted(want.items(), key=lambda kv: kv[1]):
        got = where.get(name)
        if got != (offset, nbytes):
            errors.append("struct PbMsg: %s is %s; the %s MSG record has it at offset %d, "
                          "%d bytes wide (%s lays out structures field after field)"
                          % (name, "missing" if got is None else "at offset %d, %d bytes wide" % got,
                             "x86-64" if pointer == 8 else "i686", offset, nbytes, d.lang))
    if size != at["size"]:
        errors.append("struct PbMsg is %d bytes, MSG is %d: PeekMessageA writes the whole record"
                      % (size, at["size"]))
    return errors


def check_text_and_flags(d, name, imp):
    """Faults in how one import of the DLL declares text and flags."""
    errors = []
    address = "an int" if d.lang == "MQL4" else "a long"
    if imp["result"] == "string" or any(t == "string" for t, _ in imp["params"]):
        errors.append("%s.dll!%s: an %s string is UTF-16; 8-bit text is a "
                      "uchar array (argument) or %s address (result)" % (d.dll, name, d.lang, address))
    for ptype, by_address in imp["params"]:
        if by_address and ptype != "uchar":
            errors.append("%s.dll!%s: a %s array or reference where text goes; "
                          "8-bit text is a uchar array" % (d.dll, name, ptype))
        if ptype == "bool":
            errors.append("%s.dll!%s: a bool argument; how %s widens a 1-byte "
                          "bool is not documented, declare it int (0 or 1)" % (d.dll, name, d.lang))
    return errors


def compare_with_def(name, symbol, conv, nbytes):
    size = def_size(symbol)
    if conv == "stdcall":
        if size is None:
            return ["parambridge.dll!%s: mql4_imports.h says stdcall, but the .def maps it to "
                    "'%s', which carries no @bytes" % (name, symbol)]
        if size != nbytes:
            return ["parambridge.dll!%s: mql4_imports.h says %d bytes, the .def's symbol %s "
                    "removes %d" % (name, nbytes, symbol, size)]
    elif size is not None:
        return ["parambridge.dll!%s: mql4_imports.h says cdecl, but the .def maps it to the "
                "stdcall symbol %s" % (name, symbol)]
    return []


def mutate(text, old, new, what):
    if old not in text:
        raise SystemExit("self-test: the pattern for '%s' is no longer in the file: %r" % (what, old))
    return text.replace(old, new, 1)


# Per language: (what, file, old, new, a word the report must contain)
FAULTS = {"mql4": [
    ("func101 declared with one padding word", "mqh",
     "double func101(int unused1, int unused2);", "double func101(int unused1);", "func101"),
    ("func102 declared with no padding", "mqh",
     "double func102(int unused1, int unused2, int unused3, int unused4);", "double func102();",
     "func102"),
    ("LoadParameters' type as double", "mqh",
     "int    LoadParameters(uchar &account[], int accountType);",
     "int    LoadParameters(uchar &account[], double accountType);", "LoadParameters"),
    ("a text argument as MQL4 string", "mqh",
     "int    UIMakeWindow(uchar &title[],", "int    UIMakeWindow(string title,", "UTF-16"),
    ("UIGetText returning string", "mqh",
     "int    UIGetText(int handle);", "string UIGetText(int handle);", "UTF-16"),
    ("UIAddTextBox without its focus flag", "mqh",
     "int password, int focus);", "int password);", "UIAddTextBox"),
    ("func101 declared int", "mqh",
     "double func101(int unused1, int unused2);", "int    func101(int unused1, int unused2);",
     "x87"),
    ("func103 declared float", "mqh",
     "double func103(int unused1, int unused2, int unused3, int unused4);",
     "float  func103(int unused1, int unused2, int unused3, int unused4);", "func103"),
    ("LoadParameters declared double", "mqh",
     "int    LoadParameters(uchar &account[], int accountType);",
     "double LoadParameters(uchar &account[], int accountType);", "x87"),
    ("UIGetText declared long", "mqh",
     "int    UIGetText(int handle);", "long   UIGetText(int handle);", "UIGetText"),
    ("GetLastErrorDescription returning int", "mqh",
     "void   GetLastErrorDescription(uchar &buffer[]);",
     "int    GetLastErrorDescription(uchar &buffer[]);", "GetLastErrorDescription"),
    ("RtlZeroMemory returning double", "mqh",
     "void   RtlZeroMemory(int address, int length);",
     "double RtlZeroMemory(int address, int length);", "RtlZeroMemory"),
    ("a text argument as a ushort array", "mqh",
     "int    UIAddLabel(uchar &text[],", "int    UIAddLabel(ushort &text[],", "uchar array"),
    ("RefreshParameters not imported", "mqh",
     "   int    RefreshParameters(uchar &account[], int accountType);\n", "", "RefreshParameters"),
    ("RefreshParameters' type as double", "mqh",
     "int    RefreshParameters(uchar &account[], int accountType);",
     "int    RefreshParameters(uchar &account[], double accountType);", "RefreshParameters"),
    ("the table's RefreshParameters as cdecl", "table",
     "X(parambridge, RefreshParameters, stdcall, 8, int)",
     "X(parambridge, RefreshParameters, cdecl, 8, int)", "RefreshParameters"),
    ("a text argument as a char array", "mqh",
     "int    LoadParameters(uchar &account[],", "int    LoadParameters(char &account[],",
     "uchar array"),
    ("a text argument as a reference to one int", "mqh",
     "int    UISetText(int handle, uchar &text[]);", "int    UISetText(int handle, int &text);",
     "uchar array"),
    ("UIAddCheckbox's flag as bool", "mqh",
     "int    UIAddCheckbox(int checked,", "int    UIAddCheckbox(bool checked,", "bool"),
    ("UIAddTextBox's flags as bool", "mqh",
     "int password, int focus);", "bool password, bool focus);", "bool"),
    ("the table's func102 result as int", "table",
     "X(parambridge, func102, stdcall, 16, double)", "X(parambridge, func102, stdcall, 16, int)",
     "func102"),
    ("UIMakeWindow without its callback word", "mqh",
     "int height, int placement, int callback);", "int height, int placement);", "UIMakeWindow"),
    ("UIHide not imported", "mqh", "   int    UIHide(int handle);\n", "", "UIHide"),
    ("an import the DLL does not export", "mqh",
     "   int    UIFinish();\n", "   int    UIFinish();\n   int    GetLastErrorCode();\n",
     "GetLastErrorCode"),
    ("UIRun imported after all", "mqh",
     "   int    UIFinish();\n", "   int    UIFinish();\n   int    UIRun();\n", "UIRun"),
    ("lstrcpynA without its length", "mqh",
     "int    lstrcpynA(uchar &buffer[], int text, int bufferLength);",
     "int    lstrcpynA(uchar &buffer[], int text);", "lstrcpynA"),
    ("the table's UIAddTimer size", "table",
     "X(parambridge, UIAddTimer, cdecl, 8, int)", "X(parambridge, UIAddTimer, cdecl, 4, int)",
     "UIAddTimer"),
    ("the table's LoadParameters convention", "table",
     "X(parambridge, LoadParameters, stdcall, 8, int)",
     "X(parambridge, LoadParameters, cdecl, 8, int)", "LoadParameters"),
    ("a row the .mqh lacks", "table",
     "X(user32, IsWindow, stdcall, 4, int)",
     "X(user32, IsWindow, stdcall, 4, int)              \\\n  X(user32, GetParent, stdcall, 4, int)",
     "GetParent"),
    ("func102's stdcall size in the .def", "def",
     "func102 = func102@16", "func102 = func102@12", "func102"),
    ("a new export nobody imports", "def",
     "EXPORTS\n", "EXPORTS\n  UIShow\n", "UIShow"),
    ("a toolkit export turned stdcall", "def",
     "  UIRun", "  UIRun = UIRun@0", "UIRun"),
    ("_GetLastErrorCode@0 with arguments", "def",
     "_GetLastErrorCode@0 = GetLastErrorCode@0", "_GetLastErrorCode@0 = GetLastErrorCode@4",
     "_GetLastErrorCode@0"),
    ("MSG without its lParam", "mqh",
     "   int               lParam;\n", "", "lParam"),
    ("the 64-bit DLL imported", "mqh",
     '#import "parambridge.dll"', '#import "parambridge64.dll"', "kit's DLL"),
], "mql5": [
    ("UIMakeWindow returning int", "mqh",
     "long   UIMakeWindow(", "int    UIMakeWindow(", "low half"),
    ("UIMakeWindow's callback as int", "mqh",
     "int placement, long callback);", "int placement, int callback);", "UIMakeWindow"),
    ("a window handle argument as int", "mqh",
     "int    UIHide(long handle);", "int    UIHide(int handle);", "UIHide"),
    ("UIGetText returning int", "mqh",
     "long   UIGetText(long handle);", "int    UIGetText(long handle);", "low half"),
    ("UISetText's LRESULT as int", "mqh",
     "long   UISetText(long handle, uchar &text[]);", "int    UISetText(long handle, uchar &text[]);",
     "UISetText"),
    ("a timer id as uint", "mqh",
     "ulong  UIAddTimer(ulong id, int seconds);", "ulong  UIAddTimer(uint id, int seconds);",
     "UIAddTimer"),
    ("func101 declared int", "mqh",
     "double func101(int unused1, int unused2);", "int    func101(int unused1, int unused2);",
     "XMM0"),
    ("func102 without its unused words", "mqh",
     "double func102(int unused1, int unused2, int unused3, int unused4);", "double func102();",
     "func102"),
    ("LoadParameters' type as long", "mqh",
     "int    LoadParameters(uchar &account[], int accountType);",
     "int    LoadParameters(uchar &account[], long accountType);", "LoadParameters"),
    ("RefreshParameters not imported", "mqh",
     "   int    RefreshParameters(uchar &account[], int accountType);\n", "", "RefreshParameters"),
    ("RefreshParameters' type as long", "mqh",
     "int    RefreshParameters(uchar &account[], int accountType);",
     "int    RefreshParameters(uchar &account[], long accountType);", "RefreshParameters"),
    ("a text argument as MQL5 string", "mqh",
     "int    LoadParameters(uchar &account[],", "int    LoadParameters(string account,", "UTF-16"),
    ("a text argument as a ushort array", "mqh",
     "long   UIAddLabel(uchar &text[],", "long   UIAddLabel(ushort &text[],", "uchar array"),
    ("UIAddCheckbox's flag as bool", "mqh",
     "long   UIAddCheckbox(int checked,", "long   UIAddCheckbox(bool checked,", "bool"),
    ("RtlZeroMemory's length as int", "mqh",
     "void   RtlZeroMemory(long address, ulong length);",
     "void   RtlZeroMemory(long address, int length);", "RtlZeroMemory"),
    ("HeapFree's heap and block as int", "mqh",
     "int    HeapFree(long heap, uint flags, long block);",
     "int    HeapFree(int heap, uint flags, int block);", "HeapFree"),
    ("PeekMessageA's window as int", "mqh",
     "int    PeekMessageA(PbMsg &msg, long hwnd,", "int    PeekMessageA(PbMsg &msg, int hwnd,",
     "PeekMessageA"),
    ("GetFocus returning int", "mqh", "long   GetFocus();", "int    GetFocus();", "GetFocus"),
    ("DispatchMessageA's LRESULT as double", "mqh",
     "long   DispatchMessageA(PbMsg &msg);", "double DispatchMessageA(PbMsg &msg);", "XMM0"),
    ("the 32-bit DLL imported", "mqh",
     '#import "parambridge64.dll"', '#import "parambridge.dll"', "kit's DLL"),
    ("UIHide not imported", "mqh", "   int    UIHide(long handle);\n", "", "UIHide"),
    ("UIRun imported after all", "mqh",
     "   int    UIFinish();\n", "   int    UIFinish();\n   int    UIRun();\n", "UIRun"),
    ("an import the DLL does not export", "mqh",
     "   int    UIFinish();\n", "   int    UIFinish();\n   int    GetLastErrorCode();\n",
     "GetLastErrorCode"),
    ("MSG without the gap after message", "mqh",
     "   uint              gap;          // 12: Windows' alignment of wParam\n", "", "wParam"),
    ("MSG without its last 4 bytes", "mqh",
     "   uint              tail;         // 44: rounds MSG up to 48 bytes (lPrivate)\n", "",
     "48"),
    ("MSG's hwnd as int", "mqh",
     "   long              hwnd;         //  0", "   int               hwnd;         //  0", "hwnd"),
    ("MSG's lParam as int", "mqh",
     "   long              lParam;       // 24", "   int               lParam;       // 24",
     "lParam"),
    ("the table's UIAddTimer id as i32", "table",
     'X(parambridge64, UIAddTimer, "i64 i32", i64)', 'X(parambridge64, UIAddTimer, "i32 i32", i64)',
     "UIAddTimer"),
    ("the table's UIGetText result as i32", "table",
     'X(parambridge64, UIGetText, "i64", i64)', 'X(parambridge64, UIGetText, "i64", i32)',
     "UIGetText"),
    ("a row the .mqh lacks", "table",
     'X(user32, IsWindow, "i64", i32)',
     'X(user32, IsWindow, "i64", i32)  \\\n  X(user32, GetParent, "i64", i64)', "GetParent"),
    ("a not-importable export without its reason", "table",
     '"the timer procedure of the toolkit"', '""', "without a reason"),
    ("a new export nobody imports", "def",
     "EXPORTS\n", "EXPORTS\n  UIShow\n", "UIShow"),
]}


def self_test(texts, lang):
    d = DIALECTS[lang]
    failures = 0
    base = check(texts["mqh"], texts["table"], texts["def"], d)
    print("%-45s %s" % ("unaltered files", "ok" if not base else "FAIL: " + "; ".join(base)))
    failures += bool(base)
    # The faults below are planted in the text this language's compiler
    # sees; a "raw" fault in the file as it stands (its #ifdef branches).
    chosen = dict(texts, mqh=select_branch(texts["mqh"], lang))
    faults = FAULTS[lang] + [
        ("the other language's imports chosen", "raw",
         "#ifdef __MQL5__\n// The x86-64 Win32 MSG record",
         "#ifndef __MQL5__\n// The x86-64 Win32 MSG record",
         "parambridge64.dll;" if lang == "mql4" else "parambridge.dll;"),
        ("an #ifdef __MQL5__ left open", "raw", "#endif\n", "\n", "#endif"),
    ]
    for what, which, old, new, word in faults:
        altered = dict(chosen)
        if which == "raw":
            altered["mqh"] = mutate(texts["mqh"], old, new, what)
        else:
            altered[which] = mutate(chosen[which], old, new, what)
        errors = check(altered["mqh"], altered["table"], altered["def"], d)
        caught = any(word in e for e in errors)
        print("%-45s %s" % (what, "caught: " + errors[0] if caught else "NOT CAUGHT " + repr(errors)))
        failures += not caught
    print("self-test (%s): %d of %d cases as expected"
          % (d.lang, len(faults) + 1 - failures, len(faults) + 1))
    return 1 if failures else 0


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mqh", required=True)
    ap.add_argument("--table", required=True)
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--lang", choices=sorted(DIALECTS), default="mql4")
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args(argv)
    texts = {}
    for key, path in (("mqh", args.mqh), ("table", args.table), ("def", args.deffile)):
        with open(path, encoding="utf-8") as f:
            texts[key] = f.read()
    if args.self_test:
        return self_test(texts, args.lang)
    d = DIALECTS[args.lang]
    errors = check(texts["mqh"], texts["table"], texts["def"], d)
    for e in errors:
        print("mismatch: " + e)
    if errors:
        return 1
    imports = parse_mqh(select_branch(texts["mqh"], args.lang))
    print("ok: %d imports agree (%d from %s.dll); every export accounted for; PbMsg is MSG"
          % (len(imports), sum(1 for m, _ in imports if m == d.dll), d.dll))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
