// How recipe plans learn that an item changed, chosen per interpreter: dict
// watchers from 3.12 (plan_watched.hpp), dict version tags before
// (plan_snapshot.hpp); none on free-threaded builds, where another thread may
// change a dict between a check and a use, so every item is read afresh.
#pragma once

#include "binding/shims.hpp"

#if defined(Py_GIL_DISABLED)
#define BITLOOM_PLANS_WATCHED 0
#define BITLOOM_PLANS_SNAPSHOT 0
#elif PY_VERSION_HEX >= 0x030C0000
#define BITLOOM_PLANS_WATCHED 1
#define BITLOOM_PLANS_SNAPSHOT 0
#else
#define BITLOOM_PLANS_WATCHED 0
#define BITLOOM_PLANS_SNAPSHOT 1
#endif
