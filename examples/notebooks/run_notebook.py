"""Runs a notebook here, in its own folder, and fails on the first cell that
fails: ctest runs every example notebook this way so that none can rot.

    python3 run_notebook.py NOTEBOOK.ipynb [...]
"""

import os
import sys

import nbclient
import nbformat


def main(paths):
    # The kernel's debugger warns of frozen modules on every start; nothing here debugs.
    os.environ.setdefault("PYDEVD_DISABLE_FILE_VALIDATION", "1")
    for path in paths:
        notebook = nbformat.read(path, as_version=4)
        folder = os.path.dirname(os.path.abspath(path))
        client = nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3",
                                         resources={"metadata": {"path": folder}})
        try:
            client.execute()
        except nbclient.exceptions.CellExecutionError as e:
            sys.stderr.write(f"{path}: {str(e).strip().splitlines()[-1]}\n")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
