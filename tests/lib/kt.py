"""Helpers shared by the process-level tests: programs, scratch folders,
free loopback ports and bounded waits. Everything stops by itself."""
import os
import socket
import subprocess
import tempfile
import time

APP = os.environ.get("KESTROW_APP", "")
DEMO = os.environ.get("KESTROW_DEMO", "")
TOOLS = os.environ.get("KESTROW_TOOLS", "")
TOOLS_BIN = os.environ.get("KESTROW_TOOLS_BIN", "")
BUILD = os.environ.get("KESTROW_BUILD", "")


def scratch(prefix="kestrow-"):
    """A fresh temporary folder, removed when the object is dropped."""
    return tempfile.TemporaryDirectory(prefix=prefix)


def free_port(kind=socket.SOCK_STREAM):
    """A port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, step=0.05):
    """Polls predicate until it returns a true value or timeout seconds pass."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= end:
            return value
        time.sleep(step)


def read_text(path):
    try:
        with open(path, "r", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def wait_for_text(path, text, timeout):
    """Waits until the file at path contains text; returns the file's text."""
    return wait_for(lambda: text in read_text(path) and read_text(path), timeout) or read_text(path)


def stop(proc, timeout=5):
    """Ends a process that a test started, whatever state it is in."""
    if proc.poll() is None:
        proc.kill()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        pass
