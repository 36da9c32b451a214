"""pytest-benchmark entry: every case, as native, twin and floor.

    python -m benchmarks            # all cases, then the table and the plot
    python -m benchmarks --quick    # smallest sizes, one round each (smoke check)
"""
import functools

import pytest

from benchmarks.cases import IMPLS, all_cases

CASES = all_cases()


@functools.lru_cache(maxsize=1)
def _made(name):  # one case's callables at a time: the large conversations are big
    return next(case for case in CASES if case.name == name).make()


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_case(benchmark, case, impl):
    fn = _made(case.name)[impl]
    benchmark.group = case.name
    benchmark.extra_info.update(workload=case.workload, label=case.label, size=case.size,
                                unit=case.unit, impl=impl)
    benchmark(fn)
