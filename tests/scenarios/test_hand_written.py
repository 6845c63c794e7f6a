"""Administrators' files written by hand: in UTF-8 with and without its byte-order mark and in the
ANSI code page, a file naming a folder with an accented letter puts the product into that folder
letter for letter, with its settings' letters and a command-line variable's intact; the same file
broken ends the run with 111, logged without /TEST, and changes nothing."""

import xml.etree.ElementTree as ET

import pytest

from setup_runs import PRODUCT, Run, build, lib

FOLDER = "C:\\Programme\\Vesk Süd"
ADMIN = ('<ZORVA>\n <CMDLINE><NODE NAME="TEST" VALUE="1" TYPE="DWORD" /></CMDLINE>\n'
         f' <SETUP INSTALLPATH="{FOLDER}" />\n'
         ' <SETUPINFO><SETTINGS><PLUGIN ID="100"><DATA>\n'
         '  <NODE NAME="Ort" VALUE="Straße" TYPE="STRING" />\n'
         '  <NODE NAME="Abteilung" VALUE="%!DEPT%" TYPE="STRING" />\n'
         ' </DATA></PLUGIN></SETTINGS></SETUPINFO>\n</ZORVA>\n')
# As editors save it; the test prefix's ANSI code page is windows-1252.
FORMS = {
    "utf8-bom": b"\xef\xbb\xbf" + ('<?xml version="1.0" encoding="utf-8"?>\n' + ADMIN).encode(),
    "utf8": ('<?xml version="1.0"?>\r\n' + ADMIN).encode(),
    "ansi": ADMIN.encode("cp1252"),
}


@pytest.mark.parametrize("form", FORMS)
def test_administrators_file_names_a_folder_with_an_accented_letter(bed, form):
    run = Run(bed, build(bed, {"language": "ENGLISH", "components": [
        {"name": "core", "display": "Core", "build": "10000001", "exe": [lib("core.dll")],
         "files": [{"content": "payload", "name": "a.txt"}]}]}))
    admin = run.folder / "zorva.xml"
    before = bed.snapshot()
    admin.write_bytes(FORMS[form][:-9])  # cut short: it no longer parses
    assert run("/SILENTMODE") == 111
    assert run.log() == ["CmdLine: /SILENTMODE",
                         "Error: Couldn't parse Administrator's XML : C:\\pkg\\zorva.xml",
                         "Exitcode: 111 C:\\pkg\\zorva.xml"]
    assert bed.snapshot_diff(before, bed.snapshot()) == []

    admin.write_bytes(FORMS[form])
    # The variable arrives in the ANSI code page, as every command line does.
    assert run("/SILENTMODE", "/$DEPT=Süd", script="core.dll keep C:\\zs\\\n") == 3010
    assert (bed.c / "Programme" / "Vesk Süd" / "a.txt").read_text() == "payload"
    # reg.exe writes the OEM code page, 437 in the test prefix.
    install_dir = bed.reg_query(PRODUCT + r"\Info", "InstallDir").encode("latin-1").decode("cp437")
    assert install_dir == FOLDER + "\\"
    assert "Admins InstallPath accepted" in run.log()
    nodes = ET.parse(run.zs / "global_3.xml").getroot().iter("NODE")
    values = {n.get("NAME"): n.get("VALUE") for n in nodes}
    assert (values["Ort"], values["Abteilung"]) == ("Straße", "Süd")
