#include "d2xx/abandon.h"

#include <atomic>

namespace {

std::atomic<bool> g_abandon{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set inside a signal handler");

}  // namespace

extern "C" {

void d2xx_abandon_waits(void) { g_abandon.store(true); }

int d2xx_waits_abandoned(void) { return g_abandon.load() ? 1 : 0; }

void d2xx_clear_abandon(void) { g_abandon.store(false); }

}  // extern "C"
