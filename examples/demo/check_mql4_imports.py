#!/usr/bin/env python3
"""Do the MQL4 kit, the demo host and the DLL agree on every import?

Reads three files and reports every disagreement:

  --mqh    examples/MQL4/Include/parambridge.mqh: its #import blocks
  --table  examples/demo/mql4_imports.h: the rows the demo host's function
           pointer types are compile-time checked against
  --def    module/parambridge.def: the DLL's export table

For each import it compares the argument bytes an MQL4 caller pushes (int,
uint, bool, float, colour and the like: 4; double, long, datetime: 8; any
array or reference: a 4-byte address) and where the result comes back
(EAX for int-sized types, the x87 register ST(0) for double and float,
nothing for void) with the table, and for the DLL's own exports the
table's convention and size with the .def (a stdcall export's internal
symbol carries @bytes). Every export of the .def must be either imported
or listed as not importable, with a reason. Every text argument of
parambridge.dll is a uchar array (an MQL4 string is UTF-16, the DLL's text
is 8-bit) and no result is a string; no argument is a bool (how MQL4
widens a 1-byte bool into its 4-byte slot is not documented: flags are
int).

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
IDENT = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


class Fault(Exception):
    pass


def strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def parse_param(param):
    """Argument bytes of one MQL4 parameter declaration, and its type."""
    p = param.strip()
    if "=" in p:
        p = p.split("=", 1)[0].strip()  # a default value
    by_address = "&" in p or "[" in p
    words = [w for w in re.split(r"[\s&\[\]]+", p) if w and w != "const"]
    if len(words) < 1:
        raise Fault("cannot read parameter '%s'" % param.strip())
    ptype = words[0]
    if by_address:
        return 4, ptype, True
    if ptype not in SLOT_BYTES:
        # A struct or enum passed by value is not something the DLL takes.
        raise Fault("parameter '%s' has a type no DLL argument can have" % param.strip())
    return SLOT_BYTES[ptype], ptype, False


def parse_mqh(text):
    """{(module, name): {"bytes", "params", "result"}} from every #import block."""
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
                    module = None  # an .ex4 library: not a DLL
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
        total = 0
        types = []
        if params and params != "void":
            for param in params.split(","):
                n, ptype, by_address = parse_param(param)
                total += n
                types.append((ptype, by_address))
        imports[(module, name)] = {"bytes": total, "params": types, "result": result}


def parse_table(text):
    rows = {}
    for m in re.finditer(r"^\s*X\((\w+),\s*(\w+),\s*(cdecl|stdcall),\s*(\d+),\s*(int|double|void)\)",
                         text, re.M):
        key = (m.group(1), m.group(2))
        if key in rows:
            raise Fault("mql4_imports.h lists %s.dll!%s twice" % key)
        rows[key] = {"conv": m.group(3), "bytes": int(m.group(4)), "result": m.group(5)}
    not_for_mql4 = {}
    for m in re.finditer(r'Y\("([^"]+)",\s*(\w+),\s*(cdecl|stdcall),\s*(-?\d+),[\s\\]*"([^"]*)"',
                         text):
        not_for_mql4[m.group(1)] = {"conv": m.group(3), "bytes": int(m.group(4)),
                                    "reason": m.group(5)}
    if not rows:
        raise Fault("mql4_imports.h holds no X(...) rows")
    return rows, not_for_mql4


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


def check(mqh_text, table_text, def_text):
    """The list of disagreements (empty when all agree)."""
    errors = []
    try:
        imports = parse_mqh(mqh_text)
        rows, not_for_mql4 = parse_table(table_text)
        exports = parse_def(def_text)
    except Fault as e:
        return [str(e)]

    for key, imp in sorted(imports.items()):
        row = rows.get(key)
        if row is None:
            errors.append("%s.dll!%s is imported by the .mqh but has no row in mql4_imports.h" % key)
        else:
            if row["bytes"] != imp["bytes"]:
                errors.append("%s.dll!%s: the .mqh pushes %d bytes, mql4_imports.h says %d"
                              % (key[0], key[1], imp["bytes"], row["bytes"]))
            kind = RESULT_KIND.get(imp["result"], "a " + imp["result"])
            if kind != row["result"]:
                errors.append("%s.dll!%s: the .mqh declares the result %s (%s), mql4_imports.h "
                              "says %s%s" % (key[0], key[1], imp["result"], kind, row["result"],
                                             X87_NOTE if {"double", "float"} & {kind, row["result"]} else ""))
        if key[0] == "parambridge":
            errors.extend(check_text_and_flags(key[1], imp))
    for key in sorted(set(rows) - set(imports)):
        errors.append("%s.dll!%s has a row in mql4_imports.h but the .mqh does not import it" % key)

    for (module, name), row in sorted(rows.items()):
        if module != "parambridge":
            continue
        if name not in exports:
            errors.append("parambridge.dll!%s is not in parambridge.def's export table" % name)
            continue
        errors.extend(compare_with_def(name, exports[name], row["conv"], row["bytes"]))

    imported = {name for module, name in rows if module == "parambridge"}
    for name, symbol in sorted(exports.items()):
        if name in imported:
            continue
        entry = not_for_mql4.get(name)
        if entry is None:
            errors.append("parambridge.def exports %s, which the .mqh neither imports nor "
                          "lists as not importable (mql4_imports.h)" % name)
            continue
        if not entry["reason"].strip():
            errors.append("%s is listed as not importable without a reason" % name)
        if entry["bytes"] >= 0:
            errors.extend(compare_with_def(name, symbol, entry["conv"], entry["bytes"]))
    for name in sorted(set(not_for_mql4) - set(exports)):
        errors.append("mql4_imports.h lists %s as not importable, but parambridge.def does "
                      "not export it" % name)
    for name in sorted(set(not_for_mql4) & imported):
        errors.append("%s is both imported and listed as not importable" % name)
    for module, name in imports:
        if module == "parambridge" and not IDENT.match(name):
            errors.append("%s is not an MQL4 identifier" % name)
    return errors


X87_NOTE = ("; a double or float comes back in the x87 register ST(0), and a caller that does not "
            "take it leaves it on the x87 stack at every call")


def check_text_and_flags(name, imp):
    """Faults in how one parambridge.dll import declares text and flags."""
    errors = []
    if imp["result"] == "string" or any(t == "string" for t, _ in imp["params"]):
        errors.append("parambridge.dll!%s: an MQL4 string is UTF-16; 8-bit text is a "
                      "uchar array (argument) or an int address (result)" % name)
    for ptype, by_address in imp["params"]:
        if by_address and ptype != "uchar":
            errors.append("parambridge.dll!%s: a %s array or reference where text goes; "
                          "8-bit text is a uchar array" % (name, ptype))
        if ptype == "bool":
            errors.append("parambridge.dll!%s: a bool argument; how MQL4 widens a 1-byte "
                          "bool is not documented, declare it int (0 or 1)" % name)
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


# (what, file, old, new, a word the report must contain)
FAULTS = [
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
     "  UIGetText\n", "  UIGetText\n  UIShow\n", "UIShow"),
    ("a toolkit export turned stdcall", "def",
     "  UIRun\n", "  UIRun = UIRun@0\n", "UIRun"),
    ("_GetLastErrorCode@0 with arguments", "def",
     "_GetLastErrorCode@0 = GetLastErrorCode@0", "_GetLastErrorCode@0 = GetLastErrorCode@4",
     "_GetLastErrorCode@0"),
]


def self_test(texts):
    failures = 0
    base = check(texts["mqh"], texts["table"], texts["def"])
    print("%-45s %s" % ("unaltered files", "ok" if not base else "FAIL: " + "; ".join(base)))
    failures += bool(base)
    for what, which, old, new, word in FAULTS:
        altered = dict(texts)
        altered[which] = mutate(texts[which], old, new, what)
        errors = check(altered["mqh"], altered["table"], altered["def"])
        caught = any(word in e for e in errors)
        print("%-45s %s" % (what, "caught: " + errors[0] if caught else "NOT CAUGHT " + repr(errors)))
        failures += not caught
    print("self-test: %d of %d cases as expected" % (len(FAULTS) + 1 - failures, len(FAULTS) + 1))
    return 1 if failures else 0


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--mqh", required=True)
    ap.add_argument("--table", required=True)
    ap.add_argument("--def", dest="deffile", required=True)
    ap.add_argument("--self-test", action="store_true")
    args = ap.parse_args(argv)
    texts = {}
    for key, path in (("mqh", args.mqh), ("table", args.table), ("def", args.deffile)):
        with open(path, encoding="utf-8") as f:
            texts[key] = f.read()
    if args.self_test:
        return self_test(texts)
    errors = check(texts["mqh"], texts["table"], texts["def"])
    for e in errors:
        print("mismatch: " + e)
    if errors:
        return 1
    imports = parse_mqh(texts["mqh"])
    print("ok: %d imports agree (%d from parambridge.dll); every export accounted for"
          % (len(imports), sum(1 for m, _ in imports if m == "parambridge")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
