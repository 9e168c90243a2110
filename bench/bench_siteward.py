"""The frame's call cost: siteward with nothing to do, against a pure-Python
function of the same signature that returns at once."""

from common import best, record

from tools.common.siteward import siteward


def py_siteward(file=None, func=None):
    return None


def run():
    ns = {"native": siteward, "python": py_siteward}
    for call in ("{}()", "{}(file=None, func=None)"):
        record(call.format("siteward"), best(call.format("native"), ns), best(call.format("python"), ns),
               "pure-Python def", 0.7)
