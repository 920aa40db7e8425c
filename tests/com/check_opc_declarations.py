#!/usr/bin/env python3
"""check_opc_declarations.py IDL HEADER IDS_DUMP: the hand-written Linux OPC declarations (HEADER) agree with
the IDL the Windows build generates its own from: every interface with its id (as the program IDS_DUMP prints
them), its base, its methods in order with their parameter counts; every structure's fields in order; every
enumeration's names and values."""
import pathlib
import re
import subprocess
import sys
import unittest

IDL, HEADER, DUMP = sys.argv[1:4]


def strip_comments(text):
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)


def parameters(text):
    """The number of parameters in a parameter list (attributes in brackets left out)."""
    text = re.sub(r"\[[^\]]*\]", "", text).strip()
    return 0 if text in ("", "void") else text.count(",") + 1


def methods(body, pattern):
    return [(m.group(1), parameters(m.group(2))) for m in re.finditer(pattern, body, re.S)]


def idl_declarations():
    text = strip_comments(pathlib.Path(IDL).read_text())
    interfaces, ids = {}, {}
    for m in re.finditer(r"\[([^\]]*uuid\(([0-9A-Fa-f-]+)\)[^\]]*)\]\s*interface\s+(\w+)\s*:\s*(\w+)\s*\{(.*?)\n\}",
                         text, re.S):
        ids[m.group(3)] = "{%s}" % m.group(2).upper()
        interfaces[m.group(3)] = (m.group(4), methods(m.group(5), r"HRESULT\s+(\w+)\s*\((.*?)\);"))
    structs = {m.group(2): fields(m.group(1)) for m in
               re.finditer(r"typedef\s+struct\s+\w+\s*\{(.*?)\}\s*(\w+)\s*;", text, re.S)}
    enums = {m.group(2): enumerators(m.group(1)) for m in
             re.finditer(r"typedef\s+enum\s+\w+\s*\{(.*?)\}\s*(\w+)\s*;", text, re.S)}
    return interfaces, ids, structs, enums


def fields(body):
    body = re.sub(r"\[[^\]]*\]", "", body)
    return [re.findall(r"(\w+)\s*$", field.strip())[0] for field in body.split(";") if field.strip()]


def enumerators(body):
    return [(name, int(value, 0)) for name, value in re.findall(r"(\w+)\s*=\s*(\w+)", body)]


def header_declarations():
    text = strip_comments(pathlib.Path(HEADER).read_text())
    interfaces = {m.group(1): (m.group(2), methods(m.group(3),
                                                   r"virtual\s+HRESULT\s+STDMETHODCALLTYPE\s+(\w+)\s*\((.*?)\)\s*=\s*0;"))
                  for m in re.finditer(r"struct\s+(\w+)\s*:\s*(\w+)\s*\{(.*?)\n\};", text, re.S)}
    structs = {m.group(1): fields(m.group(2)) for m in
               re.finditer(r"struct\s+(\w+)\s*\{(.*?)\n\};", text, re.S)}
    enums = {m.group(1): enumerators(m.group(2)) for m in
             re.finditer(r"enum\s+(\w+)\s*:\s*int\s*\{(.*?)\};", text, re.S)}
    return interfaces, structs, enums


class DeclarationsAgree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.idl_interfaces, cls.idl_ids, cls.idl_structs, cls.idl_enums = idl_declarations()
        cls.interfaces, cls.structs, cls.enums = header_declarations()

    def test_the_idl_was_read(self):
        # A parser that finds nothing would let every comparison pass.
        self.assertEqual(len(self.idl_interfaces), 18)
        self.assertEqual(len(self.idl_structs), 14)
        self.assertEqual(len(self.idl_enums), 8)
        self.assertEqual(self.idl_interfaces["IOPCServer"][1][1], ("GetErrorString", 3))
        self.assertEqual(self.idl_interfaces["IOPCSyncIO2"][0], "IOPCSyncIO")

    def test_interface_ids(self):
        dumped = dict(line.split() for line in subprocess.run([DUMP], capture_output=True, text=True,
                                                              check=True).stdout.splitlines())
        self.assertEqual(dumped, self.idl_ids)

    def test_methods_in_order_with_their_parameter_counts(self):
        self.assertEqual(self.interfaces, self.idl_interfaces)

    def test_structure_fields_in_order(self):
        self.assertEqual(self.structs, self.idl_structs)

    def test_enumerations(self):
        self.assertEqual(self.enums, self.idl_enums)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
