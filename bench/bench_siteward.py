"""The frame's call cost: siteward with nothing to do, against a pure-Python
function of the same signature that returns at once."""

from harness import Case, Row, memo


def py_siteward(file=None, func=None):
    return None


@memo
def names():
    from tools.common.siteward import siteward

    return {"native": siteward, "python": py_siteward}


def rows():
    out = []
    for call in ("{}()", "{}(file=None, func=None)"):
        out.append(Row("siteward", call.format("siteward"), Case(call.format("siteward"), call.format("native"), names,
                                                                   inner=20),
                       Case(call.format("py_siteward"), call.format("python"), names, inner=20), "pure-Python def", 0.7))
    return out
