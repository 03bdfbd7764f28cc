"""Naming helpers of the serializer."""

MAIN_STR = "__main__"
_PY_SUFFIX = ".py"


def replace__main__with_real_name(full_name, relative_file_path):
    """Rename a function of the main script after the module its file would be.

    ``__main__.f`` defined in ``pkg/app.py`` becomes ``pkg.app.f``; a name that
    does not start with the main-module name is returned unchanged.
    """
    if not full_name.startswith(MAIN_STR):
        return full_name
    rest = full_name[len(MAIN_STR):]
    if rest and rest[0] != ".":
        return full_name
    path = relative_file_path.replace("\\", "/")
    if path.endswith(_PY_SUFFIX):
        path = path[: -len(_PY_SUFFIX)]
    parts = [p for p in path.split("/") if p and p != "."]
    if parts and parts[-1] == "__init__":
        parts.pop()
    if not parts or any(p == ".." for p in parts):
        return full_name
    return ".".join(parts) + rest
