import krodan_rl


def test_native_module_imports():
    from krodan_rl import _krodan

    assert _krodan.__name__ == "krodan_rl._krodan"
    assert _krodan.__doc__ == ""
    assert krodan_rl.__doc__
