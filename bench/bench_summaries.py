"""Calls per second of the summary renderers, against the plain Python rendering used by the tests.

Run with the package installed: .venv/bin/python bench/bench_summaries.py
"""
import importlib.util
import pathlib
import timeit

from tarnwick import context_packer as cp

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "test_summaries.py"
spec = importlib.util.spec_from_file_location("test_summaries", TESTS)
tests = importlib.util.module_from_spec(spec)
spec.loader.exec_module(tests)

RICH = {
    **tests.WORKED_EXAMPLE,
    "internal_graph": [{"from": "get_orders", "to": "order_to_response"}] * 4,
    "imports": [{"module": "fastapi", "names": ["APIRouter", "Depends"]}, {"module": "sqlalchemy"}],
}

for label, record in [("worked example", tests.WORKED_EXAMPLE), ("all sections", RICH)]:
    for name in ("expand_summary", "condense_summary"):
        ours, python = getattr(cp, name), tests.reference[name]
        assert ours(record) == python(record)
        rates = []
        for function in (ours, python):
            number = 20_000
            best = min(timeit.repeat(lambda: function(record), number=number, repeat=5))
            rates.append(number / best)
        print(f"{name:17} {label:15} extension {rates[0]:>10,.0f}/s   python {rates[1]:>9,.0f}/s"
              f"   x{rates[0] / rates[1]:.1f}")
