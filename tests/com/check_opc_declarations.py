#!/usr/bin/env python3
"""check_opc_declarations.py IDL HEADER IDS_DUMP: the hand-written Linux OPC declarations (HEADER) agree with
the IDL the Windows build generates its own from: every interface with its id (as the program IDS_DUMP prints
them), its base, its methods in order with their parameter counts; every structure's fields in order; every
enumeration's names and values."""
import pathlib, re, subprocess, sys, unittest

IDL, HEADER, DUMP = sys.argv[1:4]
N, B = r"(?P<name>\w+)", r"(?P<body>.*?)"  # the name and the body of a declaration


def declarations(path, interface, method, struct, enum):
    """{kind: {name: declaration}} of a file, by one pattern for each kind."""
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", pathlib.Path(path).read_text(), flags=re.S)
    found = {"ids": {m[2]: "{%s}" % m[1].upper() for m in re.finditer(
        r"\[[^\]]*uuid\(([0-9A-Fa-f-]+)\)[^\]]*\]\s*interface\s+(\w+)", text)}}
    # Interfaces: the base, and each method with the number of its parameters (attributes in brackets left out).
    found["interfaces"] = {m["name"]: (m["base"], [(name, parameters(arguments)) for name, arguments in
                                                   re.findall(method, m["body"], re.S)])
                           for m in re.finditer(interface, text, re.S)}
    found["structs"] = {m["name"]: [re.findall(r"(\w+)\s*$", field.strip())[0] for field in
                                    re.sub(r"\[[^\]]*\]", "", m["body"]).split(";") if field.strip()]
                        for m in re.finditer(struct, text, re.S)}
    found["enums"] = {m["name"]: [(name, int(value, 0)) for name, value in re.findall(r"(\w+)\s*=\s*(\w+)", m["body"])]
                      for m in re.finditer(enum, text, re.S)}
    return found


def parameters(text):
    text = re.sub(r"\[[^\]]*\]", "", text).strip()
    return 0 if text in ("", "void") else text.count(",") + 1


class DeclarationsAgree(unittest.TestCase):
    def test_every_declaration_agrees(self):
        idl = declarations(IDL, r"interface\s+%s\s*:\s*(?P<base>\w+)\s*\{%s\n\}" % (N, B),
                           r"HRESULT\s+(\w+)\s*\((.*?)\);", r"typedef\s+struct\s+\w+\s*\{%s\}\s*%s\s*;" % (B, N),
                           r"typedef\s+enum\s+\w+\s*\{%s\}\s*%s\s*;" % (B, N))
        header = declarations(HEADER, r"struct\s+%s\s*:\s*(?P<base>\w+)\s*\{%s\n\};" % (N, B),
                              r"virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+(\w+)\s*\((.*?)\)\s*=\s*0;",
                              r"struct\s+%s\s*\{%s\n\};" % (N, B), r"enum\s+%s\s*:\s*int\s*\{%s\};" % (N, B))
        # A parser that finds nothing would let every comparison pass.
        self.assertEqual([len(idl[kind]) for kind in ("ids", "interfaces", "structs", "enums")], [18, 18, 14, 8])
        self.assertEqual(idl["interfaces"]["IOPCServer"][1][1], ("GetErrorString", 3))
        self.assertEqual(idl["interfaces"]["IOPCSyncIO2"][0], "IOPCSyncIO")
        dumped = subprocess.run([DUMP], capture_output=True, text=True, check=True).stdout
        self.assertEqual(dict(line.split() for line in dumped.splitlines()), idl["ids"])
        for kind in ("interfaces", "structs", "enums"):
            self.assertEqual(header[kind], idl[kind], kind)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
