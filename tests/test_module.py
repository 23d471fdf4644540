import kest_engine_native as k


def test_version():
    assert k.version() == k.__version__ == "3.1.1"
