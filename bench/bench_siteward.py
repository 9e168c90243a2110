"""The frame's call cost: siteward with nothing to do, against a pure-Python
function of the same signature that returns at once."""

from common import paired, record

from tools.common.siteward import siteward


def py_siteward(file=None, func=None):
    return None


def run():
    ns = {"native": siteward, "python": py_siteward}
    for call in ("{}()", "{}(file=None, func=None)"):
        ours, theirs = paired(call.format("native"), call.format("python"), ns)
        record(call.format("siteward"), ours, theirs, "pure-Python def", 0.7)
