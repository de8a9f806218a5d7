#include "probe/probe_session.h"

namespace {

// Never destroyed: a program that exits with its one probe open leaves the
// channel to the process's end, as before sessions, instead of closing it
// through a driver layer that may already be torn down.
ProbeSession& default_session() {
    static ProbeSession* const session = new ProbeSession;
    return *session;
}

ProbeSession* g_current = nullptr;  // nullptr: the default session

}  // namespace

ProbeSession::~ProbeSession() {
    ProbeSession* const was_current = g_current;
    if (channel.open) {
        g_current = this;
        probe_close();
    }
    g_current = was_current == this ? nullptr : was_current;
}

void probe_use(ProbeSession* session) { g_current = session; }

ProbeSession& probe_session() { return g_current != nullptr ? *g_current : default_session(); }
