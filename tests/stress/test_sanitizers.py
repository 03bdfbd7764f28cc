"""The sanitizer set-up itself: a fault in native code of a child process
ends that process and leaves its report where the job looks for reports."""

import os
import re
import subprocess
import sys

import pytest

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

FAULTS = r"""
#include <climits>
#include <cstdlib>
extern "C" int freed_read(int v) {
    int* p = static_cast<int*>(std::malloc(4 * sizeof(int)));
    p[0] = v;
    std::free(p);
    return p[0];
}
extern "C" int overflow(volatile int v) { return v * INT_MAX; }
"""


@pytest.fixture(scope="module")
def faulty_library(tmp_path_factory):
    folder = tmp_path_factory.mktemp("faults")
    source = folder / "faults.cpp"
    source.write_text(FAULTS)
    lib = folder / "libfaults.so"
    subprocess.run([os.environ.get("CXX", "c++"), "-shared", "-fPIC", "-O1", "-g",
                    "-fsanitize=address,undefined", "-fno-sanitize-recover=all",
                    str(source), "-o", str(lib)], check=True, capture_output=True)
    return str(lib)


@pytest.mark.skipif(not SANITIZED, reason="only under ./run asan")
@pytest.mark.parametrize("function, report", [
    ("freed_read", r"ERROR: AddressSanitizer: heap-use-after-free"),
    ("overflow", r"runtime error: signed integer overflow"),
])
def test_a_fault_in_a_child_is_reported_to_a_file(tmp_path, faulty_library, function, report):
    env = dict(os.environ)
    # Reports of this test go to its own folder, not the job's.
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env[name] = re.sub(r"log_path=[^:]*", f"log_path={tmp_path}/x", env[name])
    env["TARN_SANITIZER_REPORTS"] = re.sub(r"=[^:]*/(asan|ubsan)", rf"={tmp_path}/\1",
                                           env["TARN_SANITIZER_REPORTS"])
    code = f"import ctypes; ctypes.CDLL({faulty_library!r}).{function}(3)"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode != 0
    texts = [p.read_text() for p in tmp_path.iterdir()]
    assert any(re.search(report, t) for t in texts), (proc.stderr, texts)
