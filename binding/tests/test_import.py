import _korvanthel_core


def test_module_imports_with_version():
    assert _korvanthel_core.__version__ == "0.1.0"
