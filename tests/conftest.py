import os

from hypothesis import HealthCheck, settings

# Emulated ARM runs about ten times slower: fewer examples there, no deadlines anywhere
# (timing belongs to the benchmarks, not to the suite).
settings.register_profile("default", deadline=None)
settings.register_profile(
    "emulated", deadline=None, max_examples=25, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("emulated" if os.environ.get("TAVREL_TARGET_ARCH") == "armhf" else "default")
