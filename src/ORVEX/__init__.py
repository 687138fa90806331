"""ORVEX: scalar maths, list files, a recurrent word model and vector classes (native core)."""


def __getattr__(name: str) -> str:
    # The version has one source, the installed package's metadata (pyproject.toml's version). It
    # is read on first use, so `import ORVEX` itself imports nothing. A tree without metadata (a
    # development build on PYTHONPATH) reports "0+unknown" rather than another install's version.
    if name == "__version__":
        from importlib import metadata
        from pathlib import Path
        try:
            dist = metadata.distribution("ORVEX")
            ours = Path(str(dist.locate_file("ORVEX/__init__.py"))).resolve() == Path(__file__).resolve()
            version = dist.version if ours else "0+unknown"
        except metadata.PackageNotFoundError:
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
