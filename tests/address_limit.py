"""A Python child whose address space is capped, to show that a computation's memory does not
grow with what it would have to hold otherwise."""

import sys
import textwrap


def python_under_address_limit(setup: str, code: str, headroom: int = 256 << 20) -> list[str]:
    """The command line of a Python child that runs ``setup``, then caps its address space at
    what it maps by then plus ``headroom`` bytes, then runs ``code``.

    The cap counts from the mapped size after ``setup``, so the interpreter, the imported
    modules and whatever ``setup`` built (a model to compare with) are not counted against it.
    """
    cap = textwrap.dedent(
        """
        import resource
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + {headroom}, resource.RLIM_INFINITY))
        """
    ).format(headroom=headroom)
    return [sys.executable, "-c", textwrap.dedent(setup) + cap + textwrap.dedent(code)]
