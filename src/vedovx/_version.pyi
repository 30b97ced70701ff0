# Type stubs of vedovx._version, which the build writes beside the compiled part.
__version__: str
