"""What the built shared objects show the dynamic loader."""

import importlib
import os
import re

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# The C library and its thread and loading companions, the unwinder and the
# loader itself; the interpreter's symbols come from the process, the C++
# runtime is inside, and nothing needs the maths library.
ALLOWED_NEEDED = re.compile(r"(lib(c|pthread|dl|gcc_s)|ld-linux[\w.-]*)\.so(\.\d+)*")
MODULES = [
    "palettra",
    "palettra_tools._engine",
    *(pytest.param(name, marks=pytest.mark.test_modules) for name in ["palettra_twin", "_palettra_testing"]),
]

# A sanitized build shares the sanitizers' C++ runtime with the process.
pytestmark = pytest.mark.skipif(
    bool(os.environ.get("PALETTRA_SANITIZED")), reason="sanitized builds link differently"
)


def dynamic_view(path):
    with open(path, "rb") as file:
        elf = ELFFile(file)
        exported = sorted(
            symbol.name
            for symbol in elf.get_section_by_name(".dynsym").iter_symbols()
            if symbol.name
            and symbol["st_shndx"] != "SHN_UNDEF"
            and symbol["st_info"]["bind"] != "STB_LOCAL"
        )
        needed = [
            tag.needed
            for section in elf.iter_sections()
            if isinstance(section, DynamicSection)
            for tag in section.iter_tags()
            if tag.entry.d_tag == "DT_NEEDED"
        ]
    return exported, needed


@pytest.mark.parametrize("name", MODULES)
def test_only_the_init_function_is_exported(name):
    exported, _ = dynamic_view(importlib.import_module(name).__file__)
    assert exported == [f"PyInit_{name.rpartition('.')[2]}"]


@pytest.mark.parametrize("name", MODULES)
def test_needs_only_system_libraries(name):
    _, needed = dynamic_view(importlib.import_module(name).__file__)
    assert "libc.so.6" in needed
    assert not [library for library in needed if "python" in library or "stdc++" in library]
    assert [library for library in needed if not ALLOWED_NEEDED.fullmatch(library)] == []
