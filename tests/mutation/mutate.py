"""Reads the mutant list and applies one mutant to a tree; used by run.sh.

  mutate.py list MUTANTS_FILE FILTER      name<TAB>file<TAB>equivalent-reason per mutant
  mutate.py apply MUTANTS_FILE NAME TREE  replaces the snippet; keeps FILE.orig; exit 1 if stale
"""
import re
import sys


def parse(path):
    mutants, current = [], None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                current = None
                continue
            key, _, value = line.partition(":")
            value = value[1:] if value.startswith(" ") else value
            if key == "name":
                current = {"name": value}
                mutants.append(current)
            elif current is None:
                sys.exit(f"{path}: '{line}' outside a mutant")
            else:
                current[key] = value
    for m in mutants:
        for key in ("file", "find", "replace", "fault"):
            if key not in m:
                sys.exit(f"{path}: mutant {m['name']} has no {key}")
    return mutants


def unescape(s):
    return s.replace("\\n", "\n").replace("\\t", "\t")


def main():
    command, path = sys.argv[1], sys.argv[2]
    mutants = parse(path)
    if command == "list":
        pattern = re.compile(sys.argv[3])
        for m in mutants:
            if pattern.search(m["name"]):
                print(f"{m['name']}\t{m['file']}\t{m.get('equivalent', '')}")
        return
    name, tree = sys.argv[3], sys.argv[4]
    m = next(m for m in mutants if m["name"] == name)
    target = f"{tree}/{m['file']}"
    with open(target, encoding="utf-8") as f:
        text = f.read()
    find = unescape(m["find"])
    if text.count(find) != 1:
        sys.exit(1)
    with open(target + ".orig", "w", encoding="utf-8") as f:
        f.write(text)
    with open(target, "w", encoding="utf-8") as f:
        f.write(text.replace(find, unescape(m["replace"])))


if __name__ == "__main__":
    main()
