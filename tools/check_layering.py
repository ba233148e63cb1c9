#!/usr/bin/env python3
"""Fails on an #include that runs from a lower folder of a module into a higher one.

Usage: tools/check_layering.py [SOURCE_ROOT]

Inside each module listed in LAYERS the folders are stacked bottom to top; a file may include
files of its own folder and of the folders below it, never of one above. A file belongs to the
deepest listed folder its path lies in (the module's top level is ""), whether it is a source
under src/<Module>/ or a public header under one of the module's include roots. Only includes
between files of the same module are checked; the order of the modules themselves is the
build's (CMakeLists.txt, QUILLORA_MODULES).
"""

import os
import re
import sys

# Bottom to top. "" is the module's top level.
LAYERS = {
    # The facade at the top level is the entry point and stands above every stage.
    "RararozUvu": ["results", "audio", "models", "decoding", "transcription", ""],
    # The runtime-support core, the ml model runtime on it, the native Whisper programs on that.
    "VevidoCore": ["", "ml", "ml/whisper"],
}
# The folders of a module's include/ and the layer each stands for.
INCLUDE_ROOTS = {
    "RararozUvu": {"include/rararozuvu": ""},
    "VevidoCore": {"include/vevidocore": "", "include/ml": "ml"},
}
# Parts of a module folder that are libraries of their own, with their own place in the build.
SEPARATE = {
    "VevidoCore": ["downloads"],
}

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]')
SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")


def folder_of(module, rel):
    """The layer of a file given by its path relative to src/<module>/, or None outside it."""
    parts = rel.split("/")
    if parts[0] in SEPARATE.get(module, []):
        return None
    logical = rel
    for root, prefix in INCLUDE_ROOTS[module].items():
        if rel.startswith(root + "/"):
            inner = rel[len(root) + 1:]
            logical = f"{prefix}/{inner}" if prefix else inner
            break
    directory = os.path.dirname(logical)
    best = ""
    for layer in LAYERS[module]:
        if layer and (directory == layer or directory.startswith(layer + "/")):
            if len(layer) > len(best):
                best = layer
    return best


def resolve(source_root, module, including, name):
    """The file an include names, relative to src/<module>/, or None when it is not the
    module's."""
    module_dir = os.path.join(source_root, "src", module)
    candidates = [os.path.join(os.path.dirname(including), name)]
    candidates.append(os.path.join(module_dir, "include", name))
    for candidate in candidates:
        candidate = os.path.normpath(candidate)
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, module_dir)
            return None if rel.startswith("..") else rel
    return None


def check(source_root):
    problems = []
    for module, layers in LAYERS.items():
        rank = {layer: i for i, layer in enumerate(layers)}
        order = " < ".join(layer or "(top)" for layer in layers)
        module_dir = os.path.join(source_root, "src", module)
        for dirpath, _, files in os.walk(module_dir):
            for file in sorted(files):
                if not file.endswith(SUFFIXES):
                    continue
                path = os.path.join(dirpath, file)
                rel = os.path.relpath(path, module_dir)
                here = folder_of(module, rel)
                if here is None:
                    continue
                with open(path, encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE_RE.match(line)
                        if not m:
                            continue
                        target = resolve(source_root, module, path, m.group(1))
                        if target is None:
                            continue
                        there = folder_of(module, target)
                        if there is not None and rank[there] > rank[here]:
                            shown = os.path.relpath(path, source_root)
                            problems.append(
                                f"{shown}:{number}: includes {m.group(1)} from folder "
                                f"'{there or '(top)'}' above its own folder "
                                f"'{here or '(top)'}' ({module}: {order})")
    return problems


def main(argv):
    source_root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = check(os.path.abspath(source_root))
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) from a lower folder into a higher one")
        return 1
    print("every include runs from a folder to itself or one below it")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
