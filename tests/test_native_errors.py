"""How failures of the native code reach Python: no memory is a MemoryError
with no C++ words in it, a failed system call an OSError with its errno and
file name, and where a step's errors are handled, a C++ failure is handled as
the Python error it becomes."""

import errno
import os

import pytest

import quorlin
from dialogue import run

# AddressSanitizer reserves its shadow memory at start and reports a failed
# allocation instead of returning it: an address-space limit means nothing there.
sanitized = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                               reason="address-space limits do not hold under AddressSanitizer")

# The child's address space is limited to what it holds plus 256 MB, after its
# imports and after the list it compares is built.
LIMITED = """
import os, resource, dunmora, nestrel
vector = [0.5] * 60_000_000  # 480 MB of items: the native copy cannot be made
def limit():
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
limit()
"""


@sanitized
def test_no_memory_is_a_memory_error_that_names_no_cxx_type():
    code = LIMITED + """
client = dunmora.Dunmora("sk-test", "http://127.0.0.1:9/v1")
try:
    client.calculate_similarity(vector, vector)
except MemoryError as error:
    print("MemoryError", error.args)
"""
    out = run(code)
    assert out.stdout == "MemoryError ()\n", out.stderr
    assert "std::" not in out.stdout + out.stderr


@sanitized
def test_a_file_there_is_no_memory_for_has_no_comments(tmp_path):
    with open(tmp_path / "big.py", "wb") as big:
        big.truncate(1 << 30)  # sparse: 1 GB of NULs that take no room on disk
    out = run(LIMITED + "print(nestrel.Nestrel().extract_comments_from_file('big.py'))\n", cwd=tmp_path)
    assert out.stdout == "None\n", out.stderr


def test_a_failed_listing_keeps_its_errno_and_file_name(tmp_path):
    q = quorlin.Quorlin()
    q.current_dir = str(tmp_path / "gone")
    with pytest.raises(FileNotFoundError) as raised:
        q._generate_project_tree()
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, str(tmp_path / "gone"))
    assert str(raised.value) == f"[Errno 2] No such file or directory: '{tmp_path / 'gone'}'"
