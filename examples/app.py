"""A small application that uses the tools package."""

from tools.common.siteward import siteward

HERE = siteward(func=lambda _: 0)
DATA = HERE / "data"


def main():
    print(f"example data lives in {DATA}")
    print("files:", ", ".join(sorted(p.name for p in DATA.iterdir())))


if __name__ == "__main__":
    main()
