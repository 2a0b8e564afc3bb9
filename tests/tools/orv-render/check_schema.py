#!/usr/bin/env python3
"""Checks every scene in a folder against the scene JSON Schema.

Usage: check_schema.py SCHEMA.json SCENES_FOLDER
Exits 77 (skipped) when the jsonschema module is not installed.
"""
import json
import pathlib
import sys

try:
    import jsonschema
except ImportError:
    print("jsonschema is not installed: skipped")
    sys.exit(77)


def main():
    schema = json.loads(pathlib.Path(sys.argv[1]).read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    scenes = sorted(pathlib.Path(sys.argv[2]).glob("*.json"))
    if not scenes:
        print("no scenes found")
        return 1
    failed = 0
    for scene in scenes:
        errors = list(validator.iter_errors(json.loads(scene.read_text())))
        for error in errors:
            print(f"{scene.name}: {error.json_path}: {error.message}")
        failed += bool(errors)
        print(f"{scene.name}: {'fails' if errors else 'matches'}")

    # The schema must also refuse what the tool refuses.
    bad = [
        {"duration": 1, "unknownKey": 1},
        {"duration": 0},
        {"events": [{"time": 0, "sound": "s", "mode": "local", "volme": 1}]},
        {"events": [{"time": 0, "sound": "s", "mode": "world"}]},
        {"sounds": {"s": {"generator": "sine"}}},
        {"sounds": {"s": {"generator": "sine", "duration": 1, "tone": 3}}},
        {"room": [{"time": 0, "reflectivity": 2}]},
    ]
    for scene in bad:
        if validator.is_valid(scene):
            print(f"the schema accepts a scene the tool refuses: {json.dumps(scene)}")
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
