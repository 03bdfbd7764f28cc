"""Run at start-up by every interpreter of the sanitizer venv (a .pth file
that ./run installs there): each preloaded sanitizer runtime gets its own
report file. Looked up through each library's own handle, the function is
that library's, not the first one loaded."""

import os


def _set_paths():
    spec = os.environ.get("TARN_SANITIZER_REPORTS")
    if not spec:
        return
    import ctypes

    for item in spec.split(":"):
        lib, _, prefix = item.partition("=")
        try:
            ctypes.CDLL(lib).__sanitizer_set_report_path(os.fsencode(prefix))
        except (OSError, AttributeError):
            pass


_set_paths()
