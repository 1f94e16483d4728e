import os

from hypothesis import HealthCheck, settings

# The suite's own profiles, built on Hypothesis's defaults rather than on
# whatever profile it chose at import: it picks another one by itself when it
# sees a CI variable, and a run must not depend on that.  No deadlines
# anywhere (timing belongs to the benchmarks, not to the suite); emulated ARM
# runs about ten times slower, so fewer examples there.
_base = settings.get_profile("default")
settings.register_profile("tavrel", parent=_base, deadline=None, print_blob=True)
settings.register_profile(
    "tavrel-emulated",
    parent=_base,
    deadline=None,
    print_blob=True,
    max_examples=25,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("tavrel-emulated" if os.environ.get("TAVREL_TARGET_ARCH") == "armhf" else "tavrel")
